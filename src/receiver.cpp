#include "trafficgenerator.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "handover.h"

namespace {

// The receiver looks for ended senders, and for the end of the capture, at least this often.
constexpr int POLL_INTERVAL_MS = 10;
// The cycle's frames count as all arrived after this long without one.
constexpr std::int64_t QUIET_PERIOD_US = 50000;
// The capture ring hands a block of frames over only when the kernel retires it, at the latest
// 50 ms (the read time-out) after a frame arrived; with timer ticks and scheduling, this long.
constexpr std::int64_t BLOCK_RETIREMENT_US = 75000;
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

// Wrapping arithmetic: a stray frame with a nonsense time must not overflow.
std::int64_t wrappingMicroseconds(std::int64_t seconds, std::int64_t microseconds) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(seconds) * 1000000u +
                                     static_cast<std::uint64_t>(microseconds));
}

std::int64_t readLittleEndian64(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return static_cast<std::int64_t>(value);
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

struct TCapture {
    pcap_t* device;
    std::vector<TStreamState>& streams;
    std::int64_t cycleStart;
    std::uint32_t& handedOver;
    // Arrivals (time of day, microseconds) of the latest frame counted in the cycle and of the
    // latest frame handed over at all.
    std::int64_t lastArrival = INT64_MIN;
    std::int64_t lastHanded = INT64_MIN;

    // Takes the frames that are ready, at most FRAMES_PER_DRAIN of them. Returns false when
    // the capture has ended for good (pcap_next_ex gave -2).
    bool drain(bool& mayHaveMore) {
        mayHaveMore = false;
        for (int taken = 0; taken < FRAMES_PER_DRAIN; ++taken) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int result = pcap_next_ex(device, &header, &data);
            if (result == 1) {
                ++handedOver;
                const std::int64_t arrival =
                    wrappingMicroseconds(header->ts.tv_sec, header->ts.tv_usec);
                lastHanded = std::max(lastHanded, arrival);
                if (accountFrame(streams, data, *header, cycleStart)) {
                    lastArrival = std::max(lastArrival, arrival);
                }
                continue;
            }
            if (result == 0) {
                return true;
            }
            if (result == -2) {
                return false;
            }
            fail(std::string("Error reading the packets: ") + pcap_geterr(device));
        }
        mayHaveMore = true;
        return true;
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

// (sent - received) / sent * 100; 0 when nothing was sent.
float lossPercent(std::uint32_t sent, std::uint32_t received) {
    if (sent == 0) {
        return 0.0f;
    }
    // The difference is taken in integers, exact at any count: more frames received than sent
    // (duplicates on the path) shows as a negative loss instead of wrapping around. Quotient and
    // product are single precision, which decides the last printed digit at half-way cases.
    const float missing = static_cast<float>(static_cast<std::int64_t>(sent) - received);
    return missing / static_cast<float>(sent) * 100.0f;
}

} // namespace

bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header, std::int64_t cycleStart) {
    if (header.caplen < MIN_FRAME_LENGTH) {
        return false;
    }
    const unsigned char letter = data[STREAM_LETTER_OFFSET];
    if (letter < 'A' || static_cast<std::size_t>(letter - 'A') >= streams.size()) {
        return false;
    }
    TStreamState& stream = streams[letter - 'A'];

    const std::int64_t sentSeconds = readLittleEndian64(data + SEND_TIME_OFFSET);
    const std::int64_t sentMicroseconds = readLittleEndian64(data + SEND_TIME_OFFSET + 8);
    // Left over from an earlier cycle (held up on the path): it would count twice, and its
    // delay belongs to that cycle.
    if (wrappingMicroseconds(sentSeconds, sentMicroseconds) < cycleStart) {
        ++stream.stragglers;
        return false;
    }
    const std::int64_t delay = static_cast<std::int64_t>(
        static_cast<std::uint64_t>(wrappingMicroseconds(header.ts.tv_sec, header.ts.tv_usec)) -
        static_cast<std::uint64_t>(wrappingMicroseconds(sentSeconds, sentMicroseconds)));

    if (stream.received == 0) {
        stream.firstArrival = header.ts;
    }
    stream.lastArrival = header.ts;
    if (delay < static_cast<std::int64_t>(stream.minDelay)) {
        stream.minDelay = static_cast<std::uint32_t>(delay);
    }
    if (delay > static_cast<std::int64_t>(stream.maxDelay)) {
        stream.maxDelay = static_cast<std::uint32_t>(delay);
    }
    // Welford's update: mean and spread without keeping every delay.
    const double value = static_cast<double>(delay);
    const double count = static_cast<double>(stream.received) + 1.0;
    const double deviation = value - stream.meanDelay;
    stream.meanDelay += deviation / count;
    stream.sumSquares += deviation * (value - stream.meanDelay);
    stream.bytes += header.len;
    ++stream.received;
    return true;
}

bool captureComplete(const TCaptureTimes& times, std::int64_t quietPeriod,
                     std::int64_t longestWait) {
    if (times.now - times.sendersEnded >= longestWait) {
        return true;
    }
    const std::int64_t quietFrom =
        times.lastArrival > times.sendersEnded ? times.lastArrival : times.sendersEnded;
    return times.seenThrough - quietFrom >= quietPeriod;
}

bool CRingBalance::drained(std::uint32_t taken, std::uint32_t handed, std::int64_t now) {
    const std::uint32_t waiting = taken - handed;
    if (!haveReading || taken != lastTaken || handed != lastHanded) {
        haveReading = true;
        lastTaken = taken;
        lastHanded = handed;
        unchangedSince = now;
    } else if (now - unchangedSince >= BLOCK_RETIREMENT_US) {
        // Nothing arrived and nothing was handed over for longer than a block stays in the
        // ring: the frames still counted as waiting will never be handed over.
        neverHanded = waiting;
    }
    // The frames counted as waiting are never fewer than those that will never come.
    if (static_cast<std::int32_t>(waiting - neverHanded) < 0) {
        neverHanded = waiting;
    }
    return waiting == neverHanded;
}

TResult buildResult(int stream, const TStreamState& state, std::uint32_t sent) {
    TResult result;
    result.stream = stream;
    result.received = state.received;
    result.sent = sent;
    result.stragglers = state.stragglers;
    result.loss = lossPercent(sent, state.received);
    if (state.received == 0) {
        result.throughput = 0.0f;
        result.delayVariance = std::numeric_limits<float>::quiet_NaN();
    } else {
        const double span =
            static_cast<double>(state.lastArrival.tv_sec - state.firstArrival.tv_sec) +
            static_cast<double>(state.lastArrival.tv_usec - state.firstArrival.tv_usec) / 1000000.0;
        // One frame spans no time: the quotient is +infinity, as for any zero span.
        result.throughput = static_cast<float>(static_cast<double>(state.bytes) / span / 1048576.0);
        result.delayVariance = static_cast<float>(state.sumSquares / state.received);
    }
    result.minDelay = state.minDelay;
    result.maxDelay = state.maxDelay;
    result.avgDelay = static_cast<float>(state.meanDelay);
    return result;
}

std::vector<TResult> CTrafficGenerator::catchPacket() {
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    std::vector<TResult> results;
    if (count == 0) {
        return results;
    }
    std::vector<TStreamState> state(count);
    std::vector<TSender> senders(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        senders[i].pid = senderPids[i];
        // A sender that was never started has nothing to wait for.
        senders[i].ended = senderPids[i] <= 0;
    }

    pcap_stat before{};
    const bool haveStatsBefore = pcap_stats(receivingDevice, &before) == 0;
    const int fd = pcap_get_selectable_fd(receivingDevice);
    TCapture capture{receivingDevice, state, cycleStart, framesHandedOver};

    bool capturing = true;
    bool sendersEnded = false;
    std::int64_t sendersEndedAt = 0;
    for (;;) {
        // Read before the drain: if the drain then takes everything the ring had, every frame
        // that arrived before the reading has been seen.
        const TRingReading reading = sendersEnded ? readRing(receivingDevice) : TRingReading{};
        bool mayHaveMore = false;
        if (capturing) {
            capturing = capture.drain(mayHaveMore);
        }
        if (!sendersEnded && reapSenders(senders) == 0) {
            sendersEnded = true;
            sendersEndedAt = monotonicMicroseconds();
        }
        if (sendersEnded &&
            (!capturing || captureComplete(captureTimes(sendersEndedAt, capture, reading,
                                                        !mayHaveMore, ringBalance),
                                           QUIET_PERIOD_US, lossTimeout))) {
            // The blocks the kernel has handed over by now still count.
            const std::int64_t drainEnd = monotonicMicroseconds() + BLOCK_RETIREMENT_US;
            while (capturing && mayHaveMore && monotonicMicroseconds() < drainEnd) {
                capturing = capture.drain(mayHaveMore);
            }
            break;
        }
        if (mayHaveMore) {
            continue;
        }
        if (!capturing) {
            // Nothing more will arrive; only the senders are still awaited.
            usleep(static_cast<useconds_t>(POLL_INTERVAL_MS) * 1000);
        } else if (fd >= 0) {
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, POLL_INTERVAL_MS);
        } else {
            usleep(5000);
        }
    }

    pcap_stat after{};
    std::uint64_t dropped = 0;
    if (haveStatsBefore && pcap_stats(receivingDevice, &after) == 0) {
        // The counter is 32 bits wide in the library; a wrap still gives the right difference.
        dropped = static_cast<std::uint32_t>(after.ps_drop - before.ps_drop);
    }

    results.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        THandOver handOver;
        if (senders[i].reported) {
            handOver = collectHandOver(senders[i].pid);
        }
        TResult result = buildResult(static_cast<int>(i) + 1, state[i], handOver.sent);
        result.refused = handOver.refused;
        // The capture's drops cannot be told apart by stream; every stream shows them.
        result.captureDropped = dropped;
        if (!handOver.known) {
            result.sentKnown = false;
            result.sent = 0;
            result.loss = std::numeric_limits<float>::quiet_NaN();
        }
        results.push_back(result);
    }
    return results;
}
