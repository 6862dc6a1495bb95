#ifndef TRAFFICGEN_QUANTILE_H
#define TRAFFICGEN_QUANTILE_H

#include <cstddef>
#include <map>

// Quantiles of the standard normal distribution, interpolated from a fixed table.
class CQuantile {
  public:
    CQuantile();
    ~CQuantile();
    void insert(float probability, float quantile);
    // Interpolated quantile for a probability in 0.5..1; outside that range (or NaN) the
    // quantile of the nearest end of the table (NaN counts as the low end).
    static float getQuantile(float probability);
    // Number of distinct probabilities in the table.
    std::size_t size() const;

    static CQuantile m_instance;

  private:
    std::map<float, float> m_table;
};

#endif
