#include "trafficgenerator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <limits>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "accounting.h"
#include "fail.h"
#include "handover.h"
#include "interfaces.h"
#include "intervals.h"
#include "progress.h"
#include "sendstamps.h"

namespace {

// The receiver looks for ended senders, and for the end of the capture, at least this often.
constexpr int POLL_INTERVAL_MS = 10;
// The cycle's frames count as all arrived after this long without one.
constexpr std::int64_t QUIET_PERIOD_US = 50000;
// A frame is stamped on arrival a moment before the ring's counter takes it in.
constexpr std::int64_t STAMP_TO_COUNT_US = 10000;
// Frames taken in one go before the clock is looked at again, so that a flood of frames
// cannot hold the receiver.
constexpr int FRAMES_PER_DRAIN = 4096;

std::int64_t monotonicMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t realtimeMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct TSender {
    pid_t pid = -1;
    bool ended = false;
    bool reported = false; // ended by exit status 0, so its hand-over file is its own
};

// Reaps every ended child without blocking. Returns the number of senders still running.
std::size_t reapSenders(std::vector<TSender>& senders) {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == 0) {
            break;
        }
        if (pid < 0) {
            if (errno == EINTR) {
                continue;
            }
            // No child left to wait for: whatever was not reaped here never will be.
            for (TSender& sender : senders) {
                sender.ended = true;
            }
            break;
        }
        for (TSender& sender : senders) {
            if (sender.pid == pid && !sender.ended) {
                sender.ended = true;
                sender.reported = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
        }
    }
    std::size_t running = 0;
    for (const TSender& sender : senders) {
        if (!sender.ended) {
            ++running;
        }
    }
    return running;
}

// Passes an interrupt that reached the program alone on to the senders still running (their
// processes are not reaped yet, so the ids are still theirs).
void stopSenders(const std::vector<TSender>& senders) {
    for (const TSender& sender : senders) {
        if (!sender.ended) {
            kill(sender.pid, SIGTERM);
        }
    }
}

// What one drain of the capture found.
enum class TDrain {
    caughtUp,   // every frame that was ready has been taken
    framesLeft, // stopped after FRAMES_PER_DRAIN frames: more may be ready
    ended       // the capture has ended for good (pcap_next_ex gave -2)
};

struct TCapture {
    pcap_t* device;
    std::int64_t unitNs; // of the stamps' fraction of a second
    std::vector<TStreamState>& streams;
    std::int64_t cycleStart;
    std::uint32_t& handedOver;
    CProgressLine* progressLine;
    // Arrivals (time of day, microseconds) of the latest frame counted in the cycle and of the
    // latest frame handed over at all.
    std::int64_t lastArrival = INT64_MIN;
    std::int64_t lastHanded = INT64_MIN;

    // Takes the frames that are ready, at most FRAMES_PER_DRAIN of them.
    TDrain drain() {
        for (int taken = 0; taken < FRAMES_PER_DRAIN; ++taken) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int result = pcap_next_ex(device, &header, &data);
            if (result == 1) {
                ++handedOver;
                const auto arrivalNs = static_cast<std::int64_t>(
                    static_cast<std::uint64_t>(header->ts.tv_sec) * 1000000000u +
                    static_cast<std::uint64_t>(header->ts.tv_usec) *
                        static_cast<std::uint64_t>(unitNs));
                const std::int64_t arrival = arrivalNs / 1000;
                lastHanded = std::max(lastHanded, arrival);
                if (accountFrame(streams, data, *header, arrivalNs, cycleStart)) {
                    lastArrival = std::max(lastArrival, arrival);
                }
                continue;
            }
            if (result == 0) {
                return TDrain::caughtUp;
            }
            if (result == -2) {
                return TDrain::ended;
            }
            // The message gets a line of its own, not the rest of the progress line's.
            if (progressLine != nullptr) {
                progressLine->clear();
            }
            fail(std::string("Error reading the packets: ") + pcap_geterr(device));
        }
        return TDrain::framesLeft;
    }
};

// How many frames the kernel had put into the capture ring, and not dropped, at one moment
// (monotonic microseconds); counted from the opening of the capture, wrapping.
struct TRingReading {
    bool known = false;
    std::int64_t at = 0;
    std::uint32_t taken = 0;
};

TRingReading readRing(pcap_t* device) {
    TRingReading reading;
    reading.at = monotonicMicroseconds();
    pcap_stat stats{};
    if (pcap_stats(device, &stats) == 0) {
        reading.known = true;
        reading.taken = static_cast<std::uint32_t>(stats.ps_recv - stats.ps_drop);
    }
    return reading;
}

// The steady-clock time of an arrival stamped with the time of day (INT64_MIN stays).
std::int64_t steadyTimeOf(std::int64_t arrival, std::int64_t steadyNow) {
    if (arrival == INT64_MIN) {
        return INT64_MIN;
    }
    return arrival - (realtimeMicroseconds() - steadyNow);
}

// The moments of captureComplete after a drain that followed `reading` (`drainedAll`: the drain
// took every frame that was ready).
TCaptureTimes captureTimes(std::int64_t sendersEnded, const TCapture& capture,
                           const TRingReading& reading, bool drainedAll, CRingBalance& ring) {
    TCaptureTimes times{sendersEnded, INT64_MIN, INT64_MIN, monotonicMicroseconds()};
    times.lastArrival = steadyTimeOf(capture.lastArrival, times.now);
    // The ring hands frames over in the order they arrived: all before the last one handed
    // over have been seen, even while the receiver is behind.
    const std::int64_t lastHanded = steadyTimeOf(capture.lastHanded, times.now);
    if (lastHanded != INT64_MIN) {
        times.seenThrough = lastHanded - STAMP_TO_COUNT_US;
    }
    if (drainedAll) {
        // Caught up: every frame whose block the kernel must have retired by now has been
        // seen, and with nothing left in the ring every frame stamped before the reading.
        times.seenThrough = std::max(times.seenThrough, times.now - BLOCK_RETIREMENT_US);
        if (reading.known && ring.drained(reading.taken, capture.handedOver, times.now)) {
            times.seenThrough = std::max(times.seenThrough, reading.at - STAMP_TO_COUNT_US);
        }
    }
    return times;
}

// Redraws the progress line when it is due: once per pass of the capture loop (a drain or a
// poll of at most POLL_INTERVAL_MS), never per frame; the frames are counted only to draw.
void showProgress(CProgressLine& line, const std::vector<TStreamState>& streams) {
    const std::int64_t now = monotonicMicroseconds();
    if (!line.due(now)) {
        return;
    }
    std::uint64_t captured = 0;
    for (const TStreamState& stream : streams) {
        captured += stream.received;
    }
    line.update(now, captured);
}

} // namespace

void CTrafficGenerator::takeSendStamps(std::vector<TStreamState>& streams) {
    if (departures == nullptr) {
        return;
    }
    const std::int64_t unitNs = captureUnitNs(departures);
    for (int taken = 0; taken < FRAMES_PER_DRAIN; ++taken) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        if (pcap_next_ex(departures, &header, &data) != 1) {
            break;
        }
        takeDeparture(streams, data, *header,
                      static_cast<std::int64_t>(header->ts.tv_sec) * 1000000000 +
                          static_cast<std::int64_t>(header->ts.tv_usec) * unitNs,
                      cycleStart);
    }
}

std::vector<TResult> CTrafficGenerator::catchPacket() {
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    std::vector<TResult> results;
    if (count == 0) {
        return results;
    }
    std::vector<TStreamState> state(count);
    for (TStreamState& stream : state) {
        if (sequenceNumbers) {
            stream.sequence.enable();
        }
        stream.intervals.start(intervalUs);
    }
    std::vector<TSender> senders(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        senders[i].pid = senderPids[i];
        // A sender that was never started has nothing to wait for.
        senders[i].ended = senderPids[i] <= 0;
    }

    pcap_stat before{};
    const bool haveStatsBefore = pcap_stats(receivingDevice, &before) == 0;
    const int fd = pcap_get_selectable_fd(receivingDevice);
    if (cycleStamps != TStampSource::user) {
        for (TStreamState& stream : state) {
            stream.sendStamps.enable(cycleStampEvery);
        }
    }
    TCapture capture{
        receivingDevice, captureUnitNs(receivingDevice), state, cycleStart, framesHandedOver,
        progressLine};

    TDrain drained = TDrain::caughtUp;
    bool stopPassedOn = false;
    bool sendersEnded = false;
    std::int64_t sendersEndedAt = 0;
    for (;;) {
        // Read before the drain: if the drain then takes everything the ring had, every frame
        // that arrived before the reading has been seen.
        const TRingReading reading = sendersEnded ? readRing(receivingDevice) : TRingReading{};
        if (drained != TDrain::ended) {
            drained = capture.drain();
        }
        takeSendStamps(state);
        if (progressLine != nullptr) {
            showProgress(*progressLine, state);
        }
        if (!sendersEnded && reapSenders(senders) == 0) {
            sendersEnded = true;
            sendersEndedAt = monotonicMicroseconds();
        }
        if (interruptedAlone && !stopPassedOn && !sendersEnded) {
            stopSenders(senders);
            stopPassedOn = true;
        }
        // A cycle that sent nothing has no frames to wait for; what is already in from earlier
        // cycles is still taken (as stragglers).
        if (sendersEnded && (sendersSkipped || drained == TDrain::ended ||
                             captureComplete(captureTimes(sendersEndedAt, capture, reading,
                                                          drained == TDrain::caughtUp, ringBalance),
                                             QUIET_PERIOD_US, lossTimeout))) {
            // The blocks the kernel has handed over by now still count.
            const std::int64_t drainEnd = monotonicMicroseconds() + BLOCK_RETIREMENT_US;
            while (drained == TDrain::framesLeft && monotonicMicroseconds() < drainEnd) {
                drained = capture.drain();
            }
            break;
        }
        if (drained == TDrain::framesLeft) {
            continue;
        }
        if (drained == TDrain::ended) {
            // Nothing more will arrive; only the senders are still awaited.
            usleep(static_cast<useconds_t>(POLL_INTERVAL_MS) * 1000);
        } else if (fd >= 0) {
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, POLL_INTERVAL_MS);
        } else {
            usleep(5000);
        }
    }

    // Every stamp was queued as its frame passed the sending interface, before it arrived.
    takeSendStamps(state);
    closeDepartures();

    pcap_stat after{};
    std::uint64_t dropped = 0;
    if (haveStatsBefore && pcap_stats(receivingDevice, &after) == 0) {
        // The counter is 32 bits wide in the library; a wrap still gives the right difference.
        dropped = static_cast<std::uint32_t>(after.ps_drop - before.ps_drop);
    }

    results.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        THandOver handOver;
        // A sender that was not started sent nothing, for certain.
        handOver.known = sendersSkipped;
        std::vector<std::uint64_t> sentPerInterval;
        bool intervalsKnown = sendersSkipped;
        if (senders[i].reported) {
            handOver = collectHandOver(senders[i].pid);
            intervalsKnown =
                intervalUs != 0 && collectIntervalCounts(senders[i].pid, sentPerInterval);
        }
        // Without the sender's count, the numbers seen stand for what was sent.
        const std::uint64_t sent = handOver.known ? handOver.sent : state[i].sequence.numbersSeen();
        TResult result = buildResult(static_cast<int>(i) + 1, state[i], sent);
        result.refused = handOver.refused;
        result.scheduled = std::max(sent, handOver.scheduled);
        result.offered = handOver.offered;
        result.scheduleKept = pacing != TPacing::absolute || keptSchedule(handOver.offered);
        result.seed = cycleSeed;
        result.stamps.source = cycleStamps;
        result.tagged = streamFrames[i].layout().tags > 0;
        // The capture's drops cannot be told apart by stream; every stream shows them.
        result.captureDropped = dropped;
        result.intervals = state[i].intervals.finish(duration, sentPerInterval, intervalsKnown);
        if (!handOver.known) {
            result.sentKnown = false;
            result.sent = 0;
            result.loss = std::numeric_limits<float>::quiet_NaN();
        }
        results.push_back(result);
    }
    return results;
}
