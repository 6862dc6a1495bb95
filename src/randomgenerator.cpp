#include "randomgenerator.h"

#include "answers.h"
#include "config.h"
#include "fail.h"
#include "textparsing.h"

#include <cmath>
#include <cstdlib>

namespace {

// Largest result; anything at or above 2^32 is pinned to it.
constexpr double RESULT_LIMIT = 4294967296.0;
constexpr std::uint32_t RESULT_MAX = 4294967295u;

// One uniform draw from the closed range 0..1 (rand() runs from 0 to 2147483647).
double drawUniform() {
    return std::rand() / 2147483647.0;
}

// Clamps and truncates without rounding. Converting NaN, a negative or an out-of-range double
// to an integer is undefined, so every such value is settled before the cast.
std::uint32_t truncateValue(double r) {
    if (std::isnan(r))
        return 0;
    r = bound(r);
    if (r >= RESULT_LIMIT)
        return RESULT_MAX;
    return static_cast<std::uint32_t>(r);
}

// Asks for one parameter: the question, then what the values measure (the caller's label).
template <typename T> void askFor(const char* question, const char* label, T& field) {
    prompt(std::string(question) + label + ": ");
    field = readAnswer<T>();
}

// The uniform class takes a value modulo twice its mean; in 32 bits that is 0 for 0 and 2^31.
bool uniformModulusIsZero(std::uint32_t mean) {
    return static_cast<std::uint32_t>(2u * mean) == 0;
}
// Names exactly the two means refused: every other 32-bit mean gives a usable modulus.
const char* const UNIFORM_MEAN_REFUSED = "Stredni hodnota nesmi byt 0 ani 2147483648";

} // namespace

double bound(double x) {
    return x < 0 ? 0.0 : x;
}

std::uint32_t finishValue(double r) {
    return truncateValue(std::round(r));
}

std::uint32_t seedForCycle(std::uint32_t seed, std::uint32_t cycle) {
    return seed + cycle - 1u;
}

const char* const INVALID_SEED = "Neplatna hodnota seed! Rozsah pouze 0 - 4294967295";

bool readSeed(const std::string& text, std::uint32_t& seed) {
    return readDecimal(text, 0, UINT32_MAX, seed);
}

// 0: constant

std::uint32_t CConstantDistribution::generate() {
    return m_value;
}

void CConstantDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte hodnotu ", label, m_value);
}

void CConstantDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                                std::string section) {
    m_value = static_cast<std::uint32_t>(config.getInt(keyPrefix + "constant value", section));
}

TDistributionDescription CConstantDistribution::describe() const {
    return {"constant", {{"value", static_cast<double>(m_value)}}};
}

// 1: uniform

std::uint32_t CUniformDistribution::generate() {
    const std::uint32_t modulus = 2u * m_mean;
    // Set-up rejects such a mean; never divide by zero even if a caller skipped it.
    if (modulus == 0)
        return 0;
    return static_cast<std::uint32_t>(std::rand()) % modulus;
}

void CUniformDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte stredni hodnotu ", label, m_mean);
    if (uniformModulusIsZero(m_mean))
        fail(std::string(UNIFORM_MEAN_REFUSED) + " !");
}

void CUniformDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                               std::string section) {
    m_mean = static_cast<std::uint32_t>(config.getInt(keyPrefix + "uniform mean", section));
    if (uniformModulusIsZero(m_mean))
        fail(std::string(UNIFORM_MEAN_REFUSED) + " v sekci " + section + "!");
}

TDistributionDescription CUniformDistribution::describe() const {
    return {"uniform", {{"mean", static_cast<double>(m_mean)}}};
}

// 2: normal

std::uint32_t CNormalDistribution::generate() {
    const double u1 = drawUniform();
    const double u2 = drawUniform();
    // Deliberately 6.283184 and -ln u2 (not -2 ln u2): the deviation is m_variance / sqrt(2).
    const double t = static_cast<double>(m_variance) * std::cos(6.283184 * u1);
    const double r = std::sqrt(-std::log(u2)) * t + static_cast<double>(m_mean);
    return finishValue(r);
}

void CNormalDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte stredni hodnotu ", label, m_mean);
    askFor("Zadejte rozptyl ", label, m_variance);
}

void CNormalDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                              std::string section) {
    m_mean = static_cast<std::uint32_t>(config.getInt(keyPrefix + "normal mean", section));
    m_variance = static_cast<std::uint32_t>(config.getInt(keyPrefix + "normal variance", section));
}

TDistributionDescription CNormalDistribution::describe() const {
    return {"normal",
            {{"mean", static_cast<double>(m_mean)}, {"variance", static_cast<double>(m_variance)}}};
}

// 3: exponential

std::uint32_t CExponentialDistribution::generate() {
    const double u = drawUniform();
    const double r = -static_cast<double>(m_mean) * std::log(u);
    // Truncated, not rounded: the average sits about 0.5 below m_mean.
    return truncateValue(r);
}

void CExponentialDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte stredni hodnotu ", label, m_mean);
}

void CExponentialDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                                   std::string section) {
    m_mean = static_cast<std::uint32_t>(config.getInt(keyPrefix + "exponential mean", section));
}

TDistributionDescription CExponentialDistribution::describe() const {
    return {"exponential", {{"mean", static_cast<double>(m_mean)}}};
}

// 4: hyperexponential (two stages with balanced means)

std::uint32_t CHyperExponentialDistribution::generate() {
    const double c = m_s / m_x;
    const double q = std::sqrt((c * c - 1) / (c * c + 1));
    const double p = (1 - q) * 0.5;
    const double u1 = drawUniform();
    const double m = u1 > p ? m_x / (1 - p) : m_x / p;
    const double u2 = drawUniform();
    return finishValue(std::log(u2) * (m * -0.5));
}

void CHyperExponentialDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte parametr s hyperexponecialniho rozdeleni ", label, m_s);
    askFor("Zadejte parametr x hyperexponecialniho rozdeleni (x < s) ", label, m_x);
    if (!(m_x < m_s))
        fail("Musi platit x < s !");
}

void CHyperExponentialDistribution::getParamsFromConfig(const CConfig& config,
                                                        std::string keyPrefix,
                                                        std::string section) {
    m_s = config.getDouble(keyPrefix + "hyperexponential s", section);
    m_x = config.getDouble(keyPrefix + "hyperexponential x", section);
    if (!(m_x < m_s))
        fail("Musi platit x < s v sekci " + section + "!");
}

TDistributionDescription CHyperExponentialDistribution::describe() const {
    return {"hyperexponential", {{"s", m_s}, {"x", m_x}}};
}

// 5: Pareto

std::uint32_t CParetoDistribution::generate() {
    const double e = 1.0 / static_cast<double>(m_k);
    const double xm = static_cast<double>(m_xm);
    const double u = drawUniform();
    const double v = 1 - u;
    // x_m stays inside the power: the minimum is x_m^(1/k), as the traffic model has it.
    return finishValue(std::pow(xm / v, e));
}

void CParetoDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte parametr k pro Pareto rozdeleni  ", label, m_k);
    askFor("Zadejte parametr x_m pro Pareto rozdeleni  ", label, m_xm);
}

void CParetoDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                              std::string section) {
    m_k = static_cast<std::uint32_t>(config.getInt(keyPrefix + "pareto k", section));
    m_xm = static_cast<std::uint32_t>(config.getInt(keyPrefix + "pareto xm", section));
}

TDistributionDescription CParetoDistribution::describe() const {
    return {"pareto", {{"k", static_cast<double>(m_k)}, {"xm", static_cast<double>(m_xm)}}};
}

// 6: Weibull

std::uint32_t CWeibullDistribution::generate() {
    const double u = drawUniform();
    return finishValue(m_scale * std::pow(-std::log(u), 1 / m_shape));
}

void CWeibullDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte parametr scale pro Weibullovo rozdeleni  ", label, m_scale);
    askFor("Zadejte parametr shape pro Weibullovo rozdeleni ", label, m_shape);
}

void CWeibullDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                               std::string section) {
    m_scale = config.getDouble(keyPrefix + "weibull scale", section);
    m_shape = config.getDouble(keyPrefix + "weibull shape", section);
}

TDistributionDescription CWeibullDistribution::describe() const {
    return {"weibull", {{"scale", m_scale}, {"shape", m_shape}}};
}

// 7: Erlang (m_scale stages of mean m_shape each)

std::uint32_t CErlangDistribution::generate() {
    double product = 1.0;
    for (std::uint32_t stage = 0; stage < m_scale; ++stage)
        product *= drawUniform();
    return finishValue(std::log(product) * -m_shape);
}

void CErlangDistribution::getParamsFromUser(const char* label) {
    askFor("Zadejte parametr scale pro Enlangovo rozdeleni  ", label, m_scale);
    askFor("Zadejte parametr shape pro Enlangovo rozdeleni (shape < scale) ", label, m_shape);
    if (!(m_shape < static_cast<double>(m_scale)))
        fail("Musi platit shape < scale !");
}

void CErlangDistribution::getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                              std::string section) {
    m_scale = static_cast<std::uint32_t>(config.getInt(keyPrefix + "erlang scale", section));
    m_shape = config.getDouble(keyPrefix + "erlang shape", section);
    if (!(m_shape < static_cast<double>(m_scale)))
        fail("Musi platit shape < scale v sekci " + section + "!");
}

TDistributionDescription CErlangDistribution::describe() const {
    return {"erlang", {{"scale", static_cast<double>(m_scale)}, {"shape", m_shape}}};
}
