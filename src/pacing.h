#ifndef TRAFFICGEN_PACING_H
#define TRAFFICGEN_PACING_H

#include <csignal>
#include <cstdint>
#include <string>

#include "result.h"

// How a loss-and-delay sender spaces its departures.
//   relative: after each frame it sleeps for the drawn gap, so the time to build and send the
//             frame and every sleep's overshoot add to the gaps.
//   absolute: departure k is due at departure 0 plus the sum of the first k drawn gaps;
//             what the earlier departures cost does not move the later ones.
enum class TPacing { relative, absolute };

// Reads a pacing by its name, "relative" or "absolute".
bool readPacing(const std::string& text, TPacing& pacing);
extern const char* const INVALID_PACING;

// A drawn gap longer than this is cut to it.
constexpr std::uint32_t LONGEST_GAP_US = 10000000;

std::uint32_t cappedGap(std::uint32_t drawnUs);

// Bounded catch-up. A sender behind its schedule sends at once, so short stalls (a late wake-up,
// a preemption) cost nothing on average. After a long stall it would have to send every frame it
// missed back to back; instead it never lags more than the catch-up bound, the larger of
// CATCH_UP_LIMIT_NS and CATCH_UP_GAPS mean drawn gaps: a sender further behind restarts the
// schedule that far behind the present instant, giving up only the rest of the delay. The burst
// after a stall therefore holds at most about 1 ms worth of frames, or CATCH_UP_GAPS frames when
// the gaps are long.
constexpr std::int64_t CATCH_UP_LIMIT_NS = 1000000;
constexpr std::int64_t CATCH_UP_GAPS = 4;

// The departure times of one stream on a monotonic clock, in nanoseconds.
class CDepartureSchedule {
  public:
    explicit CDepartureSchedule(std::int64_t startNs) : start(startNs), due(startNs) {}

    // The next departure is due one drawn gap (capped) after the previous one was due.
    void advance(std::uint32_t drawnGapUs);
    // The same for a gap in nanoseconds (a scaled gap is no longer a whole microsecond).
    void advanceNanoseconds(std::int64_t gapNs);

    // When the next departure should leave, seen at `nowNs`: its due time, which may already have
    // passed (the frame then leaves at once). A sender further behind than the catch-up bound
    // restarts the schedule at `nowNs` minus the bound instead and counts the restart.
    std::int64_t nextDeparture(std::int64_t nowNs);

    std::uint32_t restarts() const { return restartCount; }
    // How far behind its due time a departure was seen at most (restarts included).
    std::int64_t largestLagNs() const { return largestLag; }
    // The departures the schedule, as first drawn (restarts do not move it), still holds before
    // `endNs` from the next one on: what a sender that stops now owes it. Counted at the mean
    // gap drawn so far; none without gaps (back to back there is no schedule to owe).
    std::uint64_t departuresOwed(std::int64_t endNs) const;

  private:
    std::int64_t catchUpLimitNs() const;

    std::int64_t start;
    std::int64_t due;
    std::int64_t drawnSumNs = 0;
    std::uint64_t drawnCount = 0;
    std::uint32_t restartCount = 0;
    std::int64_t largestLag = 0;
};

// Keeps the figures of TOfferedGaps as the sender goes.
class CGapTally {
  public:
    // A frame left at `stampUs` (the send stamp, microseconds).
    void departed(std::int64_t stampUs);
    // The gap drawn after the latest departure, already capped. The gap drawn after the last
    // departure of a cycle leads to no frame and is left out of the drawn mean.
    void drew(std::uint32_t gapUs) { drewNanoseconds(static_cast<std::int64_t>(gapUs) * 1000); }
    void drewNanoseconds(std::int64_t gapNs) { pendingGapNs = gapNs; }

    TOfferedGaps offered(std::uint32_t restarts, std::int64_t largestLagNs = 0) const;

  private:
    std::uint32_t departures = 0;
    std::int64_t firstUs = 0;
    std::int64_t lastUs = 0;
    std::int64_t drawnSumNs = 0;
    std::int64_t pendingGapNs = 0;
};

// Whether a stream's achieved mean gap is at most 1 % above the mean of its drawn gaps.
bool gapsKeptPace(const TOfferedGaps& offered);

// A stream kept its schedule unless its gaps fell behind the drawn ones (gapsKeptPace) or its
// schedule had to be restarted.
bool keptSchedule(const TOfferedGaps& offered);

// Where a sender's wait for its next departure ends (monotonic nanoseconds): at the departure,
// or at the end of the sender's duration when the departure would fall at or after it, since
// the sender sends nothing then. A long drawn gap does not stretch the cycle.
struct TWaitEnd {
    std::int64_t at;
    bool durationOver;
};
TWaitEnd waitEnd(std::int64_t departureNs, std::int64_t durationEndNs);

// ------------------------------------------------------------------ waiting for a deadline

std::int64_t monotonicNanoseconds();

// Asks the kernel not to delay this process's timer wake-ups for its own convenience (the default
// slack of 50 us would add to every sleep).
void sharpenTimers();

// Puts this process before every ordinary one (SCHED_FIFO at the lowest real-time priority), so
// that other work on the machine does not stall it for milliseconds; the kernel's real-time
// throttling still leaves ordinary processes their share of every core. Nothing changes when the
// system refuses.
void runBeforeOrdinaryProcesses();

// The processors this process may run on.
unsigned usableCores();

// How long before each deadline a sender stops sleeping and spins on the clock instead: a
// wake-up from sleep comes tens of microseconds late, a spin does not. Spinning holds a core for
// that time, so it is done only when every stream can have a core of its own, with one left (and
// the sender gives it up once a stall shows that it competes for its core after all).
std::int64_t spinWindowNs(unsigned streams, unsigned cores);

// Waits until `deadlineNs` on the monotonic clock: sleeps until `spinNs` before it, then spins.
// Returns early as soon as `stop` is set (by a signal handler); a signal that arrives just before
// a sleep begins is noticed within MAX_SLEEP_NS.
constexpr std::int64_t MAX_SLEEP_NS = 2000000;
void waitUntil(std::int64_t deadlineNs, std::int64_t spinNs,
               const volatile std::sig_atomic_t& stop);

// Sleeps for `durationNs` (waitUntil without spinning), ended early as soon as `stop` is set.
void sleepUnlessStopped(std::int64_t durationNs, const volatile std::sig_atomic_t& stop);

#endif
