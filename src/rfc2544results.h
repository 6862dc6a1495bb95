#ifndef TRAFFICGEN_RFC2544RESULTS_H
#define TRAFFICGEN_RFC2544RESULTS_H

// What the benchmark's further tests found for one frame size (rfc2544tests.h runs them): the
// frame loss rate, the back-to-back frames and the system recovery.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The top rate the frame loss rate and the back-to-back frames start from: the line's, or the
// tester's maximum when the line rate is unknown.
struct TTopRate {
    double fps = 0;
    bool lineRate = true; // false: the tester's maximum
};

// One step of the frame loss rate.
struct TFrameLossStep {
    double percent = 100; // of the top rate
    double offeredFps = 0;
    double achievedFps = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double lossPercent = 0;
    bool valid = true; // false: the tester could not offer the load (the loss is not the device's)
};

struct TFrameLossResult {
    TTopRate top;
    std::uint32_t durationUs = 0;
    std::vector<TFrameLossStep> steps;
    double seconds = 0;
};

// The back-to-back frames: per repetition the longest burst at the top rate that the device
// forwarded without loss, their mean, and the buffer time they imply.
struct TBackToBackResult {
    TTopRate top;
    double throughputFps = 0; // the non-drop rate the correction used (0: none found)
    std::vector<std::uint64_t> bursts;
    double averageBurst = 0;
    double impliedBufferS = 0;
    double correctedBufferS = 0;
    bool longestPassed = false;     // some repetition passed the longest burst tried
    std::uint64_t longestBurst = 0; // the longest burst a search tries
    bool testerLimited = false;     // the tester could not send a burst at the top rate
    std::uint32_t trials = 0;
    double seconds = 0;
};

// The system recovery: an overload, then a lower load, and how long after the drop the device
// still lost frames, by the departure time of the frames lost (intervals of `resolutionUs`).
struct TRecoveryResult {
    double throughputFps = 0;
    double overloadFps = 0;
    bool overloadCapped = false; // 110 % of the throughput was above the top rate: the top rate
    double lowFps = 0;
    std::uint32_t overloadUs = 0;
    std::uint32_t lowUs = 0;
    std::uint32_t resolutionUs = 0;
    std::uint64_t lostInOverload = 0;
    std::uint64_t lostAfterDrop = 0;
    bool recovered = false;
    double recoveryS = 0; // with recovered false: at least this long
    bool valid = true;    // the tester offered both loads
    std::string note;     // why it did not run, when it did not
};

#endif
