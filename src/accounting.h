#ifndef TRAFFICGEN_ACCOUNTING_H
#define TRAFFICGEN_ACCOUNTING_H

// The measurement of a cycle without the capture itself: captured frames accounted per stream,
// each stream's result built from its account, and the rules that end a cycle's capture.

#include <cstdint>
#include <optional>
#include <sys/time.h>
#include <unordered_map>
#include <vector>

#include "intervals.h"
#include "jitter.h"
#include "result.h"

struct pcap_pkthdr;

// The capture ring hands a block of frames over only when the kernel retires it. Its retire
// timer (the 50-ms read time-out) closes only a block that was already open when it last fired,
// so a block opened just after a firing (its predecessor full) waits two time-outs: up to 100 ms
// after its first frame arrived; with timer slack and scheduling, this long.
constexpr std::int64_t BLOCK_RETIREMENT_US = 125000;

// Which of a stream's sequence numbers have arrived, over the SIZE numbers below the next
// expected one (one above the highest number seen), in fixed memory: a bit and an arrival
// position per number of the window, whatever the number of frames. A number leaves the window
// as lost or arrived once the stream has moved SIZE numbers beyond it; a frame older than the
// window is counted as arrived and `late`.
class CSequenceWindow {
  public:
    // 65536 numbers: 0.2 s of frames at 300000 frames/s; 264 KiB per stream.
    static constexpr std::uint32_t SIZE = 65536;
    enum class TArrival { first, duplicate, late };

    // Numbering is off until enabled (which allocates the window).
    void enable();
    bool enabled() const { return !seenBits.empty(); }
    // `number` as the frame carries it, 32 bits wide: taken as the number nearest the next
    // expected one that has those low 32 bits, so that numbering goes on past 2^32 frames.
    TArrival arrive(std::uint32_t number);
    // The counts once the stream's sender has sent `sent` frames (numbers 0..sent-1): the
    // numbers still in the window and those never seen up to `sent` are decided; `foreign`
    // gets the frames seen with a number the stream never sent.
    TSequenceCounts counts(std::uint64_t sent, std::uint64_t& foreign) const;
    // One above the highest number seen: a sent count when none is known.
    std::uint64_t numbersSeen() const { return nextExpected; }

  private:
    std::uint64_t lowestInWindow() const;
    bool seen(std::uint64_t number) const;
    void advanceTo(std::uint64_t next);
    void retire(std::uint64_t slotNumber);

    std::vector<std::uint64_t> seenBits;
    // Per number of the window: the distinct arrival at which the highest number first reached it.
    std::vector<std::uint32_t> coveredAt;
    std::uint64_t nextExpected = 0;
    std::uint32_t arrivals = 0; // distinct arrivals so far
    TSequenceCounts tally;
    std::uint64_t lostRun = 0; // consecutive numbers lost since the last one that arrived
};

// The send stamps the kernel took of a stream's frames, joined to the frames' arrivals by the
// frames' numbers: frame n carries a kernel stamp when n is a multiple of `every`. Whichever of
// the two comes second gives the frame's delay (arrival minus kernel stamp) and the sender's lag
// (kernel stamp minus the stamp the sender wrote into the frame).
class CStampJoin {
  public:
    struct TJoined {
        std::int64_t delayNs;
        std::int64_t lagNs;
    };
    void enable(std::uint32_t stampEvery) { every = stampEvery; }
    bool enabled() const { return every != 0; }
    std::uint32_t stampEvery() const { return every; }
    // Whether frame `number` carries a kernel stamp.
    bool expects(std::uint32_t number) const { return enabled() && number % every == 0; }
    // A stamped frame arrived at `arrivalNs` with the sender's stamp `userNs`.
    std::optional<TJoined> arrived(std::uint32_t number, std::int64_t arrivalNs,
                                   std::int64_t userNs);
    // The kernel's send stamp of frame `number`.
    std::optional<TJoined> stamped(std::uint32_t number, std::int64_t stampNs);
    // Stamped frames that arrived without their send stamp (so far).
    std::uint64_t arrivalsWaiting() const;
    std::size_t entriesKept() const { return pending.size(); }

  private:
    struct TPending {
        bool arrived = false;
        bool stamped = false;
        std::int64_t arrivalNs = 0;
        std::int64_t userNs = 0;
        std::int64_t stampNs = 0;
    };
    std::optional<TJoined> joinIfComplete(std::uint32_t key, const TPending& pending);
    TPending& entryFor(std::uint32_t number);
    void forgetStale();

    std::uint32_t every = 0;
    std::unordered_map<std::uint32_t, TPending> pending;
    // A frame lost on the path leaves its send stamp waiting for ever: entries this many stamped
    // frames behind the newest are dropped (whole seconds at the highest stamping rate), an
    // arrival among them counted as one without its stamp.
    static constexpr std::uint32_t STALE_AFTER = 32768;
    std::uint32_t newest = 0;
    std::uint64_t arrivalsForgotten = 0;
};

// Per-stream measurement state of one cycle, fed frame by frame. Delays in nanoseconds.
struct TStreamState {
    std::uint64_t received = 0;
    std::int64_t minDelay = INT64_MAX;
    std::int64_t maxDelay = INT64_MIN;
    double meanDelay = 0;  // running mean of the delays recorded
    double sumSquares = 0; // running sum of squared deviations (Welford)
    std::uint64_t bytes = 0;
    std::int64_t firstArrival = 0; // nanoseconds since the epoch
    std::int64_t lastArrival = 0;
    std::uint64_t stragglers = 0; // frames sent before the cycle began, left out of the figures
    CDelayHistogram delays;
    TJitter jitter;
    CSequenceWindow sequence;    // enabled when the frames carry sequence numbers
    CStampJoin sendStamps;       // enabled when the delays start at the kernel's send stamps
    CDelayHistogram lags;        // the sender's lag behind the kernel's stamp, per joined frame
    CIntervalRecorder intervals; // started when the run asks for per-interval figures
    // Of the frames counted in `received`, those that arrived with a VLAN tag.
    std::uint64_t receivedTagged = 0;
};

// Records one frame's delay (nanoseconds) into its stream's figures.
void recordDelay(TStreamState& stream, std::int64_t delayNs);

// Takes a kernel send stamp of frame `number` of stream `streamIndex`; one of a stream the run
// does not have, or not enabled for stamps, is ignored.
void acceptSendStamp(std::vector<TStreamState>& streams, std::uint32_t streamIndex,
                     std::uint32_t number, std::int64_t stampNs);

// Takes a frame seen leaving the sending interface at `departureNs` as the send stamp of its
// stream's frame of that number; anything but a numbered test frame of the cycle is ignored.
void takeDeparture(std::vector<TStreamState>& streams, const unsigned char* data,
                   const pcap_pkthdr& header, std::int64_t departureNs, std::int64_t cycleStart);

// Seconds and microseconds as microseconds, in wrapping arithmetic: a stray frame with a
// nonsense time must not overflow.
std::int64_t wrappingMicroseconds(std::int64_t seconds, std::int64_t microseconds);

// Accounts one captured frame, plain or tagged or IPv6 (its payload found from its EtherTypes),
// which arrived `arrivalNs` (nanoseconds since the epoch); frames that are not this run's test
// frames
// (too short, stream letter outside the run's streams) are ignored, and a test frame sent
// before `cycleStart` (microseconds since the epoch) is only counted as its stream's straggler.
// With the stream's sequence window enabled, a frame too short for a number is not a test
// frame, and a frame whose number has already arrived only counts as a duplicate.
// With the stream's send stamps enabled, the delay of a stamped frame waits for its send stamp,
// and the other frames give none.
// Returns true when the frame was accounted to a stream's figures.
bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header, std::int64_t arrivalNs, std::int64_t cycleStart);

// The moments that decide when a cycle's capture ends, in microseconds on one clock.
struct TCaptureTimes {
    std::int64_t sendersEnded; // the last sender of the cycle was found ended
    std::int64_t lastArrival;  // the cycle's last counted frame arrived (INT64_MIN: none yet)
    std::int64_t seenThrough;  // every frame that arrived before this has been handed over
    std::int64_t now;
};

// The capture of a cycle is complete once the cycle's frames have been quiet for
// `quietPeriod` after the later of the senders' end and the last arrival, as far as the
// capture has seen, or once `longestWait` has passed since the senders' end.
bool captureComplete(const TCaptureTimes& times, std::int64_t quietPeriod,
                     std::int64_t longestWait);

// Builds a stream's result from its measurement state and its sender's count. With sequence
// numbers, frames numbered `sent` or above are left out of the received count as foreign.
TResult buildResult(int stream, const TStreamState& state, std::uint64_t sent);

// Tells from the capture's counters whether every frame the kernel has put into the capture
// ring has reached the program. The library takes some frames from the ring without ever
// handing them over (frames the receiving interface sends itself, frames taken before the
// filter was set); their number is learnt whenever the ring has been idle long enough for the
// kernel to hand over every frame in it.
class CRingBalance {
  public:
    // One reading at monotonic time `now` (microseconds): `taken` frames put into the ring and
    // not dropped, then `handed` frames handed over by the end of the drain that followed,
    // both counted from the opening of the capture (wrapping). True when no frame taken by the
    // reading is still waiting in the ring.
    bool drained(std::uint32_t taken, std::uint32_t handed, std::int64_t now);

  private:
    std::uint32_t neverHanded = 0;
    bool haveReading = false;
    std::uint32_t lastTaken = 0;
    std::uint32_t lastHanded = 0;
    std::int64_t unchangedSince = 0;
};

#endif
