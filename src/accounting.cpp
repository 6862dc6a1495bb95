#include "accounting.h"

#include <cstddef>
#include <limits>
#include <pcap/pcap.h>

#include "utils.h"

namespace {

std::int64_t readLittleEndian64(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return static_cast<std::int64_t>(value);
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

std::int64_t wrappingMicroseconds(std::int64_t seconds, std::int64_t microseconds) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(seconds) * 1000000u +
                                     static_cast<std::uint64_t>(microseconds));
}

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
    const std::int64_t sentAt = wrappingMicroseconds(sentSeconds, sentMicroseconds);
    if (sentAt < cycleStart) {
        ++stream.stragglers;
        return false;
    }
    const std::int64_t delay = static_cast<std::int64_t>(
        static_cast<std::uint64_t>(wrappingMicroseconds(header.ts.tv_sec, header.ts.tv_usec)) -
        static_cast<std::uint64_t>(sentAt));

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
    stream.delays.record(delay);
    stream.jitter.update(delay);
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
    result.delays = state.delays;
    result.jitter = state.jitter.value;
    return result;
}
