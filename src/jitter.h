#ifndef TRAFFICGEN_JITTER_H
#define TRAFFICGEN_JITTER_H

#include <cmath>
#include <cstdint>

// Interarrival jitter as RTP receivers estimate it (RFC 3550, 6.4.1): for consecutive frames of
// a stream in arrival order, D is the change of the transit time (capture time minus send time),
// and J moves by (|D| - J) / 16. In microseconds; 0 until the second frame.
struct TJitter {
    double value = 0.0;
    std::int64_t lastTransit = 0;
    bool started = false;

    void update(std::int64_t transit) {
        if (started) {
            const double change = static_cast<double>(transit - lastTransit);
            value += (std::fabs(change) - value) * 0.0625; // exactly / 16
        }
        started = true;
        lastTransit = transit;
    }
};

#endif
