#include "quantile.h"

#include <cfloat>
#include <cmath>
#include <cstddef>

namespace {

// (Phi(z), z) for the standard normal distribution, ascending in z; the key is Phi rounded to
// 3 decimals up to z = 1.96, then to 4, 5, 6 and 7 decimals as the tail flattens out. At 7
// decimals z = 5.2 and z = 5.3 share the key 0.9999999; insert() keeps the first of them.
struct TQuantileRow {
    float probability;
    float quantile;
};

const TQuantileRow QUANTILE_ROWS[] = {
    {0.500f, 0.00f},    {0.516f, 0.04f},    {0.532f, 0.08f},    {0.548f, 0.12f},
    {0.564f, 0.16f},    {0.579f, 0.20f},    {0.595f, 0.24f},    {0.610f, 0.28f},
    {0.626f, 0.32f},    {0.641f, 0.36f},    {0.655f, 0.40f},    {0.670f, 0.44f},
    {0.684f, 0.48f},    {0.698f, 0.52f},    {0.712f, 0.56f},    {0.726f, 0.60f},
    {0.739f, 0.64f},    {0.752f, 0.68f},    {0.764f, 0.72f},    {0.776f, 0.76f},
    {0.788f, 0.80f},    {0.800f, 0.84f},    {0.811f, 0.88f},    {0.821f, 0.92f},
    {0.831f, 0.96f},    {0.841f, 1.00f},    {0.851f, 1.04f},    {0.860f, 1.08f},
    {0.869f, 1.12f},    {0.877f, 1.16f},    {0.885f, 1.20f},    {0.893f, 1.24f},
    {0.900f, 1.28f},    {0.907f, 1.32f},    {0.913f, 1.36f},    {0.919f, 1.40f},
    {0.925f, 1.44f},    {0.931f, 1.48f},    {0.936f, 1.52f},    {0.941f, 1.56f},
    {0.945f, 1.60f},    {0.949f, 1.64f},    {0.954f, 1.68f},    {0.957f, 1.72f},
    {0.961f, 1.76f},    {0.964f, 1.80f},    {0.967f, 1.84f},    {0.970f, 1.88f},
    {0.973f, 1.92f},    {0.975f, 1.96f},    {0.9772f, 2.00f},   {0.9793f, 2.04f},
    {0.9812f, 2.08f},   {0.9830f, 2.12f},   {0.9846f, 2.16f},   {0.9861f, 2.20f},
    {0.9875f, 2.24f},   {0.9887f, 2.28f},   {0.9898f, 2.32f},   {0.9909f, 2.36f},
    {0.9918f, 2.40f},   {0.9927f, 2.44f},   {0.9934f, 2.48f},   {0.9941f, 2.52f},
    {0.9948f, 2.56f},   {0.9953f, 2.60f},   {0.9959f, 2.64f},   {0.9963f, 2.68f},
    {0.9967f, 2.72f},   {0.9971f, 2.76f},   {0.9974f, 2.80f},   {0.9977f, 2.84f},
    {0.9980f, 2.88f},   {0.9982f, 2.92f},   {0.9985f, 2.96f},   {0.99865f, 3.00f},
    {0.999032f, 3.1f},  {0.999313f, 3.2f},  {0.999517f, 3.3f},  {0.999663f, 3.4f},
    {0.999767f, 3.5f},  {0.999841f, 3.6f},  {0.999892f, 3.7f},  {0.999928f, 3.8f},
    {0.999952f, 3.9f},  {0.999968f, 4.0f},  {0.999979f, 4.1f},  {0.9999867f, 4.2f},
    {0.9999915f, 4.3f}, {0.9999946f, 4.4f}, {0.9999966f, 4.5f}, {0.9999979f, 4.6f},
    {0.9999987f, 4.7f}, {0.9999992f, 4.8f}, {0.9999995f, 4.9f}, {0.9999997f, 5.0f},
    {0.9999998f, 5.1f}, {0.9999999f, 5.2f}, {0.9999999f, 5.3f}, {1.0f, 5.4f}};

} // namespace

CQuantile CQuantile::m_instance;

CQuantile::CQuantile() {
    for (const TQuantileRow& row : QUANTILE_ROWS)
        insert(row.probability, row.quantile);
}

CQuantile::~CQuantile() {}

void CQuantile::insert(float probability, float quantile) {
    // emplace leaves an existing key untouched, so the first row with a key wins.
    m_table.emplace(probability, quantile);
}

float CQuantile::getQuantile(float probability) {
    const std::map<float, float>& table = m_instance.m_table;
    if (table.empty())
        return 0.0f;

    // Outside the keys there is no bracketing pair: answer with the nearest end of the table,
    // and treat a probability that is not a number like the lowest one.
    if (std::isnan(probability) || probability < table.begin()->first)
        return table.begin()->second;
    if (probability > table.rbegin()->first)
        return table.rbegin()->second;

    const std::pair<const float, float>* upper = nullptr;
    const std::pair<const float, float>* lower = nullptr;
    float upperDistance = FLT_MAX;
    float lowerDistance = FLT_MAX;
    for (const auto& entry : table) {
        if (entry.first >= probability && upperDistance > entry.first - probability) {
            upper = &entry;
            upperDistance = entry.first - probability;
        }
        if (probability >= entry.first && lowerDistance > probability - entry.first) {
            lower = &entry;
            lowerDistance = probability - entry.first;
        }
    }

    const float keyDifference = upper->first - lower->first;
    if (keyDifference == 0.0f)
        return lower->second;
    const float valueDifference = upper->second - lower->second;
    const float slope = valueDifference / keyDifference;
    return lower->second + (probability - lower->first) * slope;
}

std::size_t CQuantile::size() const {
    return m_table.size();
}
