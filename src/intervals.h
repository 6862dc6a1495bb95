#ifndef TRAFFICGEN_INTERVALS_H
#define TRAFFICGEN_INTERVALS_H

// Per-interval figures (--interval MS): a cycle cut into intervals of equal length by the
// departure time of its frames, each with its own counts, rate and delays. The sender counts its
// departures per interval; the receiver bins every frame by the send time it carries, on the same
// clock, so that a frame is counted in the same interval at both ends.
//
// Memory is bounded whatever the number of intervals: only the OPEN_INTERVALS latest intervals of
// a stream keep a delay histogram (a fixed 14 KiB each, reused as the window moves on); an interval
// that falls out of that window is closed into a summary of fixed size (TIntervalFigures, under
// 100 bytes), and the sender keeps one 4-byte count per interval.

#include <array>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "histogram.h"
#include "jitter.h"

// One stream's figures of one interval.
struct TIntervalFigures {
    std::uint32_t index = 0;    // 0-based: departures from index * length to (index + 1) * length
    std::uint64_t startUs = 0;  // index * the intervals' length
    std::uint32_t lengthUs = 0; // the interval's length; the last one of a cycle may be shorter
    bool sentKnown = false;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t bytes = 0; // the frames received, with their 4-byte check sequence
    // Delays (us) of the frames received; without one they are unknown.
    std::uint32_t minDelay = 0;
    std::uint32_t maxDelay = 0;
    double p50 = 0;
    double p99 = 0;
    double jitter = 0;
};

// (sent - received) / sent in percent; NaN when the sent count is unknown or 0.
double intervalLossPercent(const TIntervalFigures& interval);
// The information rate in bit/s: the bits of the frames received (check sequence included) over
// the interval's length.
double intervalRateBps(const TIntervalFigures& interval);

// The intervals of one stream in one cycle, fed frame by frame in arrival order.
class CIntervalRecorder {
  public:
    // Intervals whose delays are still open to frames that arrive late.
    static constexpr std::uint32_t OPEN_INTERVALS = 16;

    // Off (records nothing) until started.
    void start(std::uint32_t lengthUs);
    bool enabled() const { return lengthUs != 0; }

    // A frame that departed `sentAfterStartUs` after the cycle began, `delayUs` on its way,
    // `length` bytes as captured. A frame departing in an interval already closed still counts
    // there, and its delay in that interval's minimum and maximum, not in its percentiles.
    void record(std::int64_t sentAfterStartUs, std::int64_t delayUs, std::uint32_t length);

    // Every interval of a cycle of `durationUs`, with the sender's counts per interval (none
    // known when `sentKnown` is false); at least the intervals that the duration covers.
    std::vector<TIntervalFigures> finish(std::uint32_t durationUs,
                                         const std::vector<std::uint64_t>& sentPerInterval,
                                         bool sentKnown);

  private:
    struct TOpen {
        std::uint32_t index = 0;
        bool used = false;
        TIntervalFigures figures;
        CDelayHistogram delays;
        TJitter jitter;
    };

    void close(TOpen& open);
    TIntervalFigures& closedAt(std::uint32_t index);

    std::uint32_t lengthUs = 0;
    std::uint32_t firstOpen = 0; // the lowest interval index still open
    std::vector<TOpen> window;   // OPEN_INTERVALS slots, index % OPEN_INTERVALS
    std::vector<TIntervalFigures> closed;
};

// The interval a departure `sentAfterStartUs` after the cycle's start falls in (0 before it).
std::uint32_t intervalIndex(std::int64_t sentAfterStartUs, std::uint32_t lengthUs);

// The sender's side: departures counted per interval, handed to the receiver in a file of its own
// beside the sender's counts (the counts in host order, 8 bytes each).
class CDepartureCounter {
  public:
    explicit CDepartureCounter(std::uint32_t lengthUs = 0) : lengthUs(lengthUs) {}
    void departed(std::int64_t sentAfterStartUs);
    const std::vector<std::uint64_t>& counts() const { return perInterval; }

  private:
    std::uint32_t lengthUs;
    std::vector<std::uint64_t> perInterval;
};

// Where the sender `pid` leaves its counts per interval.
std::string intervalHandOverPath(pid_t pid);
// In the sender: false when the counts could not be left whole (nothing is left then).
bool leaveIntervalCounts(const std::vector<std::uint64_t>& counts);
// In the receiver: reads and removes the sender's file; false when there was none to read whole.
bool collectIntervalCounts(pid_t pid, std::vector<std::uint64_t>& counts);

// An interval's length in milliseconds: decimal digits, 10 to 3600000.
constexpr std::uint32_t MIN_INTERVAL_MS = 10;
constexpr std::uint32_t MAX_INTERVAL_MS = 3600000;
extern const char* const INVALID_INTERVAL;
bool readInterval(const std::string& text, std::uint32_t& milliseconds);

// The one line per interval shown on a terminal: "Interval 3 (1.000-1.500 s) tok 1: ...".
std::string intervalLine(std::uint32_t stream, const TIntervalFigures& interval);

#endif
