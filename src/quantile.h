#ifndef TRAFFICGEN_QUANTILE_H
#define TRAFFICGEN_QUANTILE_H

#include <map>

// Quantiles of the standard normal distribution, interpolated from a fixed table.
class CQuantile {
  public:
    CQuantile();
    ~CQuantile();
    void insert(float probability, float quantile);
    static float getQuantile(float probability);

    static CQuantile m_instance;

  private:
    std::map<float, float> m_table;
};

#endif
