#include "trafficgenerator.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The receiver looks for ended senders at least this often.
constexpr int POLL_INTERVAL_MS = 10;
// How long the capture goes on after the last sender has been reaped. The capture ring hands a
// block of frames over only when the kernel retires it, at the latest 50 ms (the read time-out)
// after its first frame, so frames sent just before a sender ended may need that long.
constexpr std::int64_t GRACE_PERIOD_US = 75000;
// Frames taken in one go before the clock is looked at again, so that a flood of frames
// cannot hold the receiver.
constexpr int FRAMES_PER_DRAIN = 4096;

std::int64_t monotonicMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
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

struct THandOver {
    bool known = false;
    std::uint32_t sent = 0;
    std::uint32_t refused = 0;
};

// Reads and removes the hand-over file of a sender that ended with status 0. Anything other
// than a regular file of 8 bytes leaves the count unknown.
THandOver collectHandOver(pid_t pid) {
    THandOver handOver;
    char name[32];
    std::snprintf(name, sizeof name, "%ld", static_cast<long>(pid));
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return handOver;
    }
    unsigned char content[8];
    std::size_t got = 0;
    while (got < sizeof content) {
        const ssize_t n = read(fd, content + got, sizeof content - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    unlink(name);
    if (got == sizeof content) {
        handOver.known = true;
        std::memcpy(&handOver.sent, content, 4);
        std::memcpy(&handOver.refused, content + 4, 4);
    }
    return handOver;
}

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

    // Takes the frames that are ready, at most FRAMES_PER_DRAIN of them. Returns false when
    // the capture has ended for good (pcap_next_ex gave -2).
    bool drain(bool& mayHaveMore) {
        mayHaveMore = false;
        for (int taken = 0; taken < FRAMES_PER_DRAIN; ++taken) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int result = pcap_next_ex(device, &header, &data);
            if (result == 1) {
                accountFrame(streams, data, *header);
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

} // namespace

bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header) {
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
    // Wrapping arithmetic: a stray frame with a nonsense time must not overflow.
    const std::int64_t delay = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(header.ts.tv_sec) - static_cast<std::uint64_t>(sentSeconds)) *
            1000000u +
        (static_cast<std::uint64_t>(header.ts.tv_usec) -
         static_cast<std::uint64_t>(sentMicroseconds)));

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

TResult buildResult(int stream, const TStreamState& state, std::uint32_t sent) {
    TResult result;
    result.stream = stream;
    result.received = state.received;
    result.sent = sent;
    // In floating point: more frames received than sent (duplicates on the path) shows as a
    // negative loss instead of wrapping around.
    result.loss =
        sent != 0 ? static_cast<float>((static_cast<double>(sent) - state.received) / sent * 100.0)
                  : 0.0f;
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
    TCapture capture{receivingDevice, state};

    bool capturing = true;
    bool graceStarted = false;
    std::int64_t graceEnd = 0;
    for (;;) {
        bool mayHaveMore = false;
        if (capturing) {
            capturing = capture.drain(mayHaveMore);
        }
        if (!graceStarted && reapSenders(senders) == 0) {
            graceStarted = true;
            graceEnd = monotonicMicroseconds() + GRACE_PERIOD_US;
        }
        const std::int64_t now = monotonicMicroseconds();
        if (graceStarted && (now >= graceEnd || !capturing)) {
            // The last blocks the kernel has handed over by now.
            while (capturing && mayHaveMore) {
                capturing = capture.drain(mayHaveMore);
                if (monotonicMicroseconds() >= graceEnd + GRACE_PERIOD_US) {
                    break;
                }
            }
            break;
        }
        if (mayHaveMore) {
            continue;
        }
        int timeout = POLL_INTERVAL_MS;
        if (graceStarted) {
            const std::int64_t left = (graceEnd - now + 999) / 1000;
            timeout = left < timeout ? static_cast<int>(left) : timeout;
        }
        if (!capturing) {
            // Nothing more will arrive; only the senders are still awaited.
            usleep(static_cast<useconds_t>(timeout) * 1000);
        } else if (fd >= 0) {
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, timeout);
        } else {
            usleep(static_cast<useconds_t>(timeout < 5 ? timeout : 5) * 1000);
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
