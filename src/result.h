#ifndef TRAFFICGEN_RESULT_H
#define TRAFFICGEN_RESULT_H

#include <cstdint>

#include <vector>

#include "histogram.h"
#include "intervals.h"

// The gaps between one stream's departures in one cycle: what it offered the path.
struct TOfferedGaps {
    std::uint32_t gaps = 0;     // departures minus one
    double meanGapUs = 0;       // achieved: from the first to the last departure, per gap
    double drawnMeanGapUs = 0;  // the mean of the drawn (capped) gaps between those departures
    std::uint32_t restarts = 0; // restarts of an absolute schedule
    // How far an absolute schedule's departures fell behind it at most (us): a frame that is
    // due leaves at once, so a sender this late sends what it owes back to back.
    double largestLagUs = 0;
};

// What a stream's sequence numbers told about one cycle (frames numbered on the wire).
struct TSequenceCounts {
    std::uint64_t duplicates = 0;       // frames whose number had already arrived; not received
    std::uint64_t reordered = 0;        // frames numbered below the next expected number
    std::uint32_t reorderExtentMax = 0; // the most arrivals a reordered frame came after
    std::uint64_t late = 0; // too late for the window to tell: received and reordered, not lost
    // Runs of consecutive lost numbers: how many, their lengths summed, the longest.
    std::uint64_t lossEpisodes = 0;
    std::uint64_t lostInEpisodes = 0;
    std::uint64_t longestLossEpisode = 0;
};

// Where the send end of a delay is stamped: by the sender just before it hands the frame to the
// kernel (written into the frame), by the kernel as the frame passes the sending interface, or by
// the sending interface's hardware.
enum class TStampSource { user, kernel, hardware };

// How a stream's send stamps were taken in one cycle, beyond the sender's own.
struct TSendStampFigures {
    TStampSource source = TStampSource::user;
    std::uint32_t every = 0;    // frames numbered a multiple of this carry the stamp; 0: none
    std::uint64_t expected = 0; // received frames that should carry a send stamp
    std::uint64_t missing = 0;  // of those, frames whose send stamp never came: no delay
    CDelayHistogram lags;       // per joined frame: send stamp minus the sender's stamp (ns)
};

// One stream's outcome of one cycle.
struct TResult {
    std::int32_t stream = 0;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    float loss = 0;
    float throughput = 0;
    std::uint32_t minDelay = 0xFFFFFFFFu;
    std::uint32_t maxDelay = 0;
    float avgDelay = 0;
    float delayVariance = 0;

    // Beyond the table: why the numbers above may not all be the path's doing.
    bool sentKnown = true;     // false when the sender's count could not be collected
    std::uint64_t refused = 0; // frames the local system refused to send
    // A benchmark trial's: the frames the sender's schedule held from its first departure to its
    // end (as many as `sent` unless it fell behind); otherwise `sent`.
    std::uint64_t scheduled = 0;
    std::uint64_t captureDropped = 0; // frames the capture itself dropped during the cycle
    std::uint64_t stragglers = 0;     // frames of earlier cycles that came in this one
    TOfferedGaps offered;             // loss-and-delay test: the gaps sent, and those drawn
    bool scheduleKept = true;         // false when an absolute schedule could not be kept
    std::uint32_t seed = 0;           // the seed of the cycle's draws; every stream shows it
    bool numbered = false;            // the frames carried sequence numbers: `sequence` holds
    TSequenceCounts sequence;
    // A stream sent with a VLAN tag: its frames received with and without a tag (a device
    // between may take the tag off).
    bool tagged = false;
    std::uint64_t receivedTagged = 0;
    std::uint64_t receivedUntagged = 0;

    // For the results file: every received frame's delay, and the interarrival jitter (us).
    CDelayHistogram delays; // nanoseconds
    double jitter = 0.0;
    // The delay figures above as measured, in nanoseconds, and how many frames gave one.
    std::uint64_t delayCount = 0;
    std::int64_t minDelayNs = 0;
    std::int64_t maxDelayNs = 0;
    double meanDelayNs = 0;
    double delayVarianceNs = 0; // ns^2
    double jitterNs = 0;
    TSendStampFigures stamps;
    // With per-interval figures: the cycle's intervals, by departure time.
    std::vector<TIntervalFigures> intervals;
};

#endif
