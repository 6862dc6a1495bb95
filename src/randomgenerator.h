#ifndef TRAFFICGEN_RANDOMGENERATOR_H
#define TRAFFICGEN_RANDOMGENERATOR_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CConfig;

double bound(double x);

// Rounds, clamps and converts a drawn real value to the unsigned 32-bit result;
// NaN and negatives give 0, values of 2^32 or more give 4294967295.
std::uint32_t finishValue(double r);

// A distribution as the configuration file names it: for the keys "size exponential mean =
// 200", the name "exponential" and the parameter ("mean", 200).
struct TDistributionDescription {
    std::string name;
    std::vector<std::pair<std::string, double>> parameters;
};

// The seed of cycle `cycle` (1 for the first) of a run given `seed`: seed + cycle - 1, wrapping
// at 2^32, so a given seed and configuration repeat the draws of every cycle.
std::uint32_t seedForCycle(std::uint32_t seed, std::uint32_t cycle);

// Reads a seed: decimal digits only, 0 to 4294967295.
bool readSeed(const std::string& text, std::uint32_t& seed);
extern const char* const INVALID_SEED;

class CRandomGenerator {
  public:
    virtual std::uint32_t generate() = 0;
    virtual void getParamsFromUser(const char* label) = 0;
    virtual void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                                     std::string section) = 0;
    virtual TDistributionDescription describe() const = 0;
};

class CConstantDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_value = 0;
};

class CUniformDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_mean = 0;
};

class CNormalDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_mean = 0;
    std::uint32_t m_variance = 0;
};

class CExponentialDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_mean = 0;
};

class CHyperExponentialDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    double m_s = 0;
    double m_x = 0;
};

class CParetoDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_k = 0;
    std::uint32_t m_xm = 0;
};

class CWeibullDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    double m_scale = 0;
    double m_shape = 0;
};

class CErlangDistribution final : public CRandomGenerator {
  public:
    std::uint32_t generate() override;
    void getParamsFromUser(const char* label) override;
    void getParamsFromConfig(const CConfig& config, std::string keyPrefix,
                             std::string section) override;
    TDistributionDescription describe() const override;
    std::uint32_t m_scale = 0;
    double m_shape = 0;
};

#endif
