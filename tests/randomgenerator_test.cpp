#include "randomgenerator.h"

#include "config.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The distributions draw through rand(). This program defines its own rand() in front of the
// C library's: it hands out scripted draws when a test queued some (to reach the ends 0 and
// 2147483647, which a seeded sequence practically never yields) and otherwise passes through to
// the library, so srand() keeps working. Every call is counted.
namespace {
std::deque<int> scriptedDraws;
long randCalls = 0;

int libraryRand() {
    using TRandFunction = int (*)();
    static const TRandFunction function = reinterpret_cast<TRandFunction>(dlsym(RTLD_NEXT, "rand"));
    return function();
}
} // namespace

extern "C" int rand() noexcept {
    ++randCalls;
    if (scriptedDraws.empty())
        return libraryRand();
    const int draw = scriptedDraws.front();
    scriptedDraws.pop_front();
    return draw;
}

namespace {

constexpr int RAND_TOP = 2147483647;
constexpr std::uint32_t MAX_RESULT = 4294967295u;
constexpr unsigned SEED = 20240611;

double unit(int draw) {
    return draw / 2147483647.0;
}

// Rounds halves away from zero and clamps to 0..2^32-1, written independently of finishValue.
std::uint32_t rounded(double r) {
    if (std::isnan(r) || r < 0)
        return 0;
    const double n = std::floor(r + 0.5);
    return n >= 4294967296.0 ? MAX_RESULT : static_cast<std::uint32_t>(n);
}

// The library's draws after srand(SEED); reseeds so that the generator under test sees the same.
std::vector<int> seededDraws(std::size_t count) {
    std::srand(SEED);
    std::vector<int> draws;
    for (std::size_t i = 0; i < count; ++i)
        draws.push_back(libraryRand());
    std::srand(SEED);
    return draws;
}

// Checks `count` consecutive values against `expected`, which gets the uniform draws of one value.
void expectSequence(CRandomGenerator& generator, std::size_t drawsPerValue,
                    const std::function<std::uint32_t(const std::vector<double>&)>& expected,
                    std::size_t count = 1000) {
    const std::vector<int> draws = seededDraws(count * drawsPerValue);
    const long callsBefore = randCalls;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<double> u;
        for (std::size_t j = 0; j < drawsPerValue; ++j)
            u.push_back(unit(draws[i * drawsPerValue + j]));
        ASSERT_EQ(generator.generate(), expected(u)) << "value " << i;
    }
    EXPECT_EQ(randCalls - callsBefore, static_cast<long>(count * drawsPerValue));
}

std::vector<std::uint32_t> scripted(CRandomGenerator& generator, std::vector<int> draws,
                                    std::size_t values) {
    scriptedDraws.assign(draws.begin(), draws.end());
    std::vector<std::uint32_t> result;
    for (std::size_t i = 0; i < values; ++i)
        result.push_back(generator.generate());
    EXPECT_TRUE(scriptedDraws.empty()) << "draws left over";
    scriptedDraws.clear();
    return result;
}

// Runs getParamsFromUser with `input` on std::cin and returns what it wrote to std::cout.
std::string askUser(CRandomGenerator& generator, const std::string& input,
                    const char* label = "velikosti paketu toku [B]") {
    std::istringstream in(input);
    std::ostringstream out;
    std::streambuf* oldIn = std::cin.rdbuf(in.rdbuf());
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    generator.getParamsFromUser(label);
    std::cin.rdbuf(oldIn);
    std::cout.rdbuf(oldOut);
    std::cin.clear();
    return out.str();
}

// The parameters a distribution holds, as "name=value" pairs.
std::string params(const CRandomGenerator& generator) {
    std::ostringstream text;
    for (const auto& [name, value] : generator.describe().parameters)
        text << name << "=" << value << " ";
    return text.str();
}

} // namespace

// --- value sequences from a fixed seed --------------------------------------------------------

TEST(Sequence, UniformIsTheDrawModuloTwiceTheMean) {
    CUniformDistribution uniform;
    uniform.m_mean = 750;
    const std::vector<int> draws = seededDraws(1000);
    for (int draw : draws)
        ASSERT_EQ(uniform.generate(), static_cast<std::uint32_t>(draw % 1500));
    // Twice the mean wraps in 32 bits: 6000000000 - 2^32.
    uniform.m_mean = 3000000000u;
    for (int draw : seededDraws(1000))
        ASSERT_EQ(uniform.generate(), static_cast<std::uint32_t>(draw % 1705032704));
}

TEST(Sequence, NormalTakesTheAngleFirstAndTheRadiusSecond) {
    // A wide spread makes the exact angle factor 6.283184 (not 2 pi) visible after rounding.
    CNormalDistribution normal;
    normal.m_mean = 10000000;
    normal.m_variance = 3000000;
    expectSequence(normal, 2, [](const std::vector<double>& u) {
        return rounded(1e7 + 3e6 * std::cos(6.283184 * u[0]) * std::sqrt(-std::log(u[1])));
    });
}

TEST(Sequence, ExponentialTruncates) {
    CExponentialDistribution exponential;
    exponential.m_mean = 100;
    expectSequence(exponential, 1, [](const std::vector<double>& u) {
        return static_cast<std::uint32_t>(std::floor(-100.0 * std::log(u[0])));
    });
}

TEST(Sequence, HyperexponentialPicksAStageThenDrawsFromIt) {
    CHyperExponentialDistribution hyper;
    hyper.m_s = 300;
    hyper.m_x = 100;
    // c = 3: q = sqrt(8/10), the short stage is taken with probability 1 - p.
    const double p = (1 - std::sqrt(0.8)) / 2;
    expectSequence(hyper, 2, [p](const std::vector<double>& u) {
        const double stageMean = u[0] > p ? 100 / (2 * (1 - p)) : 100 / (2 * p);
        return rounded(-stageMean * std::log(u[1]));
    });
}

TEST(Sequence, ParetoKeepsTheMinimumInsideThePower) {
    CParetoDistribution pareto;
    pareto.m_k = 3;
    pareto.m_xm = 8000;
    expectSequence(pareto, 1, [](const std::vector<double>& u) {
        return rounded(std::cbrt(8000.0 / (1 - u[0])));
    });
    pareto.m_k = 1;
    expectSequence(pareto, 1,
                   [](const std::vector<double>& u) { return rounded(8000.0 / (1 - u[0])); });
}

TEST(Sequence, Weibull) {
    CWeibullDistribution weibull;
    weibull.m_scale = 250;
    weibull.m_shape = 2;
    expectSequence(weibull, 1, [](const std::vector<double>& u) {
        return rounded(250 * std::sqrt(-std::log(u[0])));
    });
}

TEST(Sequence, ErlangMultipliesOneDrawPerStage) {
    CErlangDistribution erlang;
    erlang.m_scale = 4;
    erlang.m_shape = 2.5;
    expectSequence(erlang, 4, [](const std::vector<double>& u) {
        return rounded(-2.5 * (std::log(u[0]) + std::log(u[1]) + std::log(u[2]) + std::log(u[3])));
    });
}

// --- draws at the ends of the range -----------------------------------------------------------

TEST(Ends, ExponentialOfAZeroDrawIsPinnedToTheTop) {
    CExponentialDistribution exponential;
    exponential.m_mean = 100;
    EXPECT_EQ(scripted(exponential, {0, RAND_TOP}, 2), (std::vector<std::uint32_t>{MAX_RESULT, 0}));
    exponential.m_mean = 0;
    EXPECT_EQ(scripted(exponential, {0, 1, RAND_TOP}, 3), (std::vector<std::uint32_t>{0, 0, 0}));
    // With the largest mean every draw below 1/e overflows; the others stay in range.
    exponential.m_mean = MAX_RESULT;
    const double half = -4294967295.0 * std::log(unit(RAND_TOP / 2));
    EXPECT_EQ(scripted(exponential, {1, RAND_TOP / 2}, 2),
              (std::vector<std::uint32_t>{MAX_RESULT, static_cast<std::uint32_t>(half)}));
}

TEST(Ends, NormalWithoutVarianceGivesTheMean) {
    CNormalDistribution normal;
    normal.m_mean = 640;
    normal.m_variance = 0;
    EXPECT_EQ(scripted(normal, {0, 1, RAND_TOP, RAND_TOP, 12345, 1 << 30}, 3),
              (std::vector<std::uint32_t>{640, 640, 640}));
    // ln 0 makes the radius infinite: 0 times infinity is not a number, which finishes to 0.
    EXPECT_EQ(scripted(normal, {5, 0}, 1), (std::vector<std::uint32_t>{0}));
    normal.m_variance = 10;
    // An infinite radius at angle 0 (cos 1) and at half a turn (cos -1).
    EXPECT_EQ(scripted(normal, {0, 0, RAND_TOP / 2, 0}, 2),
              (std::vector<std::uint32_t>{MAX_RESULT, 0}));
}

TEST(Ends, HyperexponentialOfAZeroDrawIsPinnedToTheTop) {
    CHyperExponentialDistribution hyper;
    hyper.m_s = 300;
    hyper.m_x = 100;
    EXPECT_EQ(scripted(hyper, {RAND_TOP, 0, 0, RAND_TOP}, 2),
              (std::vector<std::uint32_t>{MAX_RESULT, 0}));
}

TEST(Ends, ParetoWithATopDrawDividesByZero) {
    CParetoDistribution pareto;
    pareto.m_k = 2;
    pareto.m_xm = 100;
    EXPECT_EQ(scripted(pareto, {RAND_TOP, 0}, 2), (std::vector<std::uint32_t>{MAX_RESULT, 10}));
    pareto.m_xm = 0;
    EXPECT_EQ(scripted(pareto, {RAND_TOP, 0}, 2), (std::vector<std::uint32_t>{0, 0}));
    // k = 0 makes the exponent infinite.
    pareto.m_k = 0;
    pareto.m_xm = 100;
    EXPECT_EQ(scripted(pareto, {0}, 1), (std::vector<std::uint32_t>{MAX_RESULT}));
}

TEST(Ends, WeibullOfAZeroDrawOrZeroShape) {
    CWeibullDistribution weibull;
    weibull.m_scale = 100;
    weibull.m_shape = 1;
    EXPECT_EQ(scripted(weibull, {0, RAND_TOP}, 2), (std::vector<std::uint32_t>{MAX_RESULT, 0}));
    weibull.m_shape = 0;
    // -ln u above 1 grows without bound, below 1 vanishes.
    EXPECT_EQ(scripted(weibull, {1000, RAND_TOP - 1000}, 2),
              (std::vector<std::uint32_t>{MAX_RESULT, 0}));
}

TEST(Ends, ErlangUnderflowAndZeroStages) {
    CErlangDistribution erlang;
    erlang.m_scale = 40;
    erlang.m_shape = 1;
    // (1 / 2147483647)^40 underflows to 0, whose logarithm is minus infinity.
    EXPECT_EQ(scripted(erlang, std::vector<int>(40, 1), 1),
              (std::vector<std::uint32_t>{MAX_RESULT}));
    erlang.m_scale = 0;
    erlang.m_shape = -2;
    const long before = randCalls;
    EXPECT_EQ(erlang.generate(), 0u);
    EXPECT_EQ(erlang.generate(), 0u);
    EXPECT_EQ(randCalls, before);
}

TEST(Ends, UniformWithAZeroModulusDoesNotDivide) {
    CUniformDistribution uniform;
    uniform.m_mean = 0;
    EXPECT_EQ(uniform.generate(), 0u);
    uniform.m_mean = 2147483648u;
    EXPECT_EQ(uniform.generate(), 0u);
}

// --- parameters from the dialogue and the configuration file ------------------------------

// One distribution of every kind, with its answers to the dialogue, its prompts, the keys of a
// configuration file and the parameters both must give.
struct TParameterCase {
    std::function<std::unique_ptr<CRandomGenerator>()> make;
    const char* answers;
    std::vector<std::string> prompts;
    const char* keys;
    const char* stored;
};

template <typename T> std::unique_ptr<CRandomGenerator> make() {
    return std::make_unique<T>();
}

const TParameterCase PARAMETER_CASES[] = {
    {make<CConstantDistribution>,
     "1500",
     {"Zadejte hodnotu "},
     "constant value=1500",
     "value=1500 "},
    {make<CUniformDistribution>,
     "750",
     {"Zadejte stredni hodnotu "},
     "uniform mean=750",
     "mean=750 "},
    {make<CNormalDistribution>,
     "1000\n200",
     {"Zadejte stredni hodnotu ", "Zadejte rozptyl "},
     "normal mean=1000\ntime normal variance=200",
     "mean=1000 variance=200 "},
    {make<CExponentialDistribution>,
     "800",
     {"Zadejte stredni hodnotu "},
     "exponential mean=800",
     "mean=800 "},
    {make<CHyperExponentialDistribution>,
     "300.5 100.25",
     {"Zadejte parametr s hyperexponecialniho rozdeleni ",
      "Zadejte parametr x hyperexponecialniho rozdeleni (x < s) "},
     "hyperexponential s=300.5\ntime hyperexponential x=100.25",
     "s=300.5 x=100.25 "},
    {make<CParetoDistribution>,
     "2 10000",
     {"Zadejte parametr k pro Pareto rozdeleni  ", "Zadejte parametr x_m pro Pareto rozdeleni  "},
     "pareto k=2\ntime pareto xm=10000",
     "k=2 xm=10000 "},
    {make<CWeibullDistribution>,
     "250 1.5",
     {"Zadejte parametr scale pro Weibullovo rozdeleni  ",
      "Zadejte parametr shape pro Weibullovo rozdeleni "},
     "weibull scale=250\ntime weibull shape=1.5",
     "scale=250 shape=1.5 "},
    {make<CErlangDistribution>,
     "4 2.5",
     {"Zadejte parametr scale pro Enlangovo rozdeleni  ",
      "Zadejte parametr shape pro Enlangovo rozdeleni (shape < scale) "},
     "erlang scale=4\ntime erlang shape=2.5",
     "scale=4 shape=2.5 "},
};

TEST(Parameters, DialogueAndConfigurationFileFillEveryDistribution) {
    const std::string label = "velikosti paketu toku [B]: ";
    for (const TParameterCase& c : PARAMETER_CASES) {
        SCOPED_TRACE(c.keys);
        std::string prompts;
        for (const std::string& prompt : c.prompts)
            prompts += prompt + label;
        const std::unique_ptr<CRandomGenerator> asked = c.make();
        EXPECT_EQ(askUser(*asked, c.answers), prompts);
        EXPECT_EQ(params(*asked), c.stored);
        const std::unique_ptr<CRandomGenerator> read = c.make();
        read->getParamsFromConfig(
            CConfig::fromText(std::string("[STREAM 2]\ntime ") + c.keys + "\n"), "time ",
            "STREAM 2");
        EXPECT_EQ(params(*read), c.stored);
    }
    // getInt is signed: -1 is stored modulo 2^32.
    CConstantDistribution constant;
    constant.getParamsFromConfig(CConfig::fromText("[S]\nsize constant value=-1\n"), "size ", "S");
    EXPECT_EQ(constant.m_value, MAX_RESULT);
}

// Parameters the distributions refuse, in the dialogue and in a file, where the message names
// the section; a value that is not a number does not pass as below s.
TEST(ParametersDeathTest, OrderRulesAndAZeroModulusEndTheProcess) {
    const struct {
        std::function<std::unique_ptr<CRandomGenerator>()> make;
        const char* answers;
        const char* keys;
        std::string rule;
    } refused[] = {
        {make<CHyperExponentialDistribution>, "100 100",
         "hyperexponential s=100\nsize hyperexponential x=100", "Musi platit x < s"},
        {make<CHyperExponentialDistribution>, "100 250",
         "hyperexponential s=1\nsize hyperexponential x=nan", "Musi platit x < s"},
        {make<CErlangDistribution>, "3 3", "erlang scale=3\nsize erlang shape=3",
         "Musi platit shape < scale"},
        {make<CErlangDistribution>, "0 0", "erlang scale=0\nsize erlang shape=0",
         "Musi platit shape < scale"},
        {make<CUniformDistribution>, "0", "uniform mean=0",
         "Stredni hodnota nesmi byt 0 ani 2147483648"},
        {make<CUniformDistribution>, "2147483648", "uniform mean=-2147483648",
         "Stredni hodnota nesmi byt 0 ani 2147483648"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.keys);
        EXPECT_EXIT(askUser(*c.make(), c.answers), testing::ExitedWithCode(1),
                    "^" + c.rule + " !\n$");
        const CConfig config = CConfig::fromText(std::string("[STREAM 4]\nsize ") + c.keys + "\n");
        EXPECT_EXIT(c.make()->getParamsFromConfig(config, "size ", "STREAM 4"),
                    testing::ExitedWithCode(1), "^" + c.rule + " v sekci STREAM 4!\n$");
    }
    // Zero stages pass with a negative shape; a mean above 2^31 is taken: no range is named.
    CErlangDistribution erlang;
    askUser(erlang, "0 -1");
    EXPECT_EQ(erlang.m_scale, 0u);
    CUniformDistribution uniform;
    askUser(uniform, "3000000000");
    EXPECT_EQ(uniform.m_mean, 3000000000u);
}
