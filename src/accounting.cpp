#include "accounting.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <pcap/pcap.h>

#include "frames.h"
#include "sendstamps.h"
#include "testframe.h"

namespace {

std::int64_t readLittleEndian64(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return static_cast<std::int64_t>(value);
}

std::uint32_t readLittleEndian32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The send time a test frame carries (microseconds since the epoch). A short numbered frame
// keeps its number in the upper half of the microseconds.
std::int64_t sendTimeOf(const unsigned char* data, bool numbered, std::size_t numberOffset) {
    const std::int64_t seconds = readLittleEndian64(data + SEND_TIME_OFFSET);
    const std::int64_t microseconds =
        numbered && numberOffset == SHORT_SEQUENCE_NUMBER_OFFSET
            ? static_cast<std::int64_t>(readLittleEndian32(data + SEND_TIME_OFFSET + 8))
            : readLittleEndian64(data + SEND_TIME_OFFSET + 8);
    return wrappingMicroseconds(seconds, microseconds);
}

constexpr std::uint32_t WINDOW_MASK = CSequenceWindow::SIZE - 1;
static_assert((CSequenceWindow::SIZE & WINDOW_MASK) == 0, "the window is a power of two");

// The 64-bit number whose low 32 bits are `wireNumber`, nearest to `nextExpected` (at most 2^31
// below it or less than 2^31 above it); never below 0.
std::uint64_t unwrapped(std::uint32_t wireNumber, std::uint64_t nextExpected) {
    constexpr std::uint64_t WRAP = std::uint64_t{1} << 32;
    constexpr std::uint64_t HALF = WRAP / 2;
    const std::uint64_t candidate = (nextExpected & ~(WRAP - 1)) | wireNumber;
    if (candidate + HALF < nextExpected) {
        return candidate + WRAP;
    }
    if (candidate >= nextExpected + HALF && candidate >= WRAP) {
        return candidate - WRAP;
    }
    return candidate;
}

// A number that arrived ends the run of lost numbers before it.
void closeLossEpisode(TSequenceCounts& counts, std::uint64_t& lostRun) {
    if (lostRun == 0) {
        return;
    }
    ++counts.lossEpisodes;
    counts.lostInEpisodes += lostRun;
    counts.longestLossEpisode = std::max(counts.longestLossEpisode, lostRun);
    lostRun = 0;
}

// A number decided: lost (extends the run) or arrived (ends it).
void decideNumber(TSequenceCounts& counts, std::uint64_t& lostRun, bool arrived) {
    if (arrived) {
        closeLossEpisode(counts, lostRun);
    } else {
        ++lostRun;
    }
}

// (sent - received) / sent * 100; 0 when nothing was sent.
float lossPercent(std::uint64_t sent, std::uint64_t received) {
    if (sent == 0) {
        return 0.0f;
    }
    // The difference is taken in integers, exact at any count: more frames received than sent
    // (duplicates on the path) shows as a negative loss instead of wrapping around. Quotient and
    // product are single precision, which decides the last printed digit at half-way cases.
    const float missing =
        static_cast<float>(static_cast<std::int64_t>(sent) - static_cast<std::int64_t>(received));
    return missing / static_cast<float>(sent) * 100.0f;
}

// Nanoseconds as whole microseconds, rounded down, within what the table's column holds.
std::uint32_t microsecondsOf(std::int64_t nanoseconds) {
    const std::int64_t whole = nanoseconds >= 0 ? nanoseconds / 1000 : (nanoseconds - 999) / 1000;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(whole, 0, UINT32_MAX));
}

} // namespace

std::int64_t wrappingMicroseconds(std::int64_t seconds, std::int64_t microseconds) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(seconds) * 1000000u +
                                     static_cast<std::uint64_t>(microseconds));
}

void CSequenceWindow::enable() {
    seenBits.assign(SIZE / 64, 0);
    coveredAt.assign(SIZE, 0);
}

std::uint64_t CSequenceWindow::lowestInWindow() const {
    return nextExpected > SIZE ? nextExpected - SIZE : 0;
}

bool CSequenceWindow::seen(std::uint64_t number) const {
    return (seenBits[(number & WINDOW_MASK) / 64] >> (number % 64) & 1u) != 0;
}

// The slot of `slotNumber` is taken over by it: the number SIZE below it leaves the window.
void CSequenceWindow::retire(std::uint64_t slotNumber) {
    if (slotNumber >= SIZE) {
        decideNumber(tally, lostRun, seen(slotNumber));
    }
    seenBits[(slotNumber & WINDOW_MASK) / 64] &= ~(std::uint64_t{1} << (slotNumber % 64));
    coveredAt[slotNumber & WINDOW_MASK] = arrivals;
}

void CSequenceWindow::advanceTo(std::uint64_t next) {
    if (next - nextExpected <= SIZE) {
        for (std::uint64_t number = nextExpected; number < next; ++number) {
            retire(number);
        }
    } else {
        // A jump beyond the window: every number in it is decided, and those jumped over,
        // which never entered it, are lost.
        for (std::uint64_t number = lowestInWindow(); number < nextExpected; ++number) {
            decideNumber(tally, lostRun, seen(number));
        }
        lostRun += next - SIZE - nextExpected;
        std::fill(seenBits.begin(), seenBits.end(), 0);
        std::fill(coveredAt.begin(), coveredAt.end(), arrivals);
    }
    nextExpected = next;
}

CSequenceWindow::TArrival CSequenceWindow::arrive(std::uint32_t wireNumber) {
    const std::uint64_t number = unwrapped(wireNumber, nextExpected);
    if (number >= nextExpected) {
        advanceTo(number + 1);
    } else if (nextExpected - number > SIZE) {
        ++tally.late;
        ++tally.reordered;
        ++arrivals;
        return TArrival::late;
    } else if (seen(number)) {
        ++tally.duplicates;
        return TArrival::duplicate;
    } else {
        // Reordered: the extent counts the arrivals since the first one numbered above it.
        ++tally.reordered;
        const std::uint32_t after = arrivals - coveredAt[(number + 1) & WINDOW_MASK];
        tally.reorderExtentMax = std::max(tally.reorderExtentMax, after);
    }
    seenBits[(number & WINDOW_MASK) / 64] |= std::uint64_t{1} << (number % 64);
    ++arrivals;
    return TArrival::first;
}

TSequenceCounts CSequenceWindow::counts(std::uint64_t sent, std::uint64_t& foreign) const {
    TSequenceCounts result = tally;
    std::uint64_t run = lostRun;
    foreign = 0;
    for (std::uint64_t number = lowestInWindow(); number < nextExpected; ++number) {
        if (number < sent) {
            decideNumber(result, run, seen(number));
        } else if (seen(number)) {
            ++foreign;
        }
    }
    if (sent > nextExpected) {
        run += sent - nextExpected;
    }
    closeLossEpisode(result, run);
    return result;
}

std::optional<CStampJoin::TJoined> CStampJoin::joinIfComplete(std::uint32_t key,
                                                              const TPending& entry) {
    if (!entry.arrived || !entry.stamped) {
        return std::nullopt;
    }
    const TJoined joined{entry.arrivalNs - entry.stampNs, entry.stampNs - entry.userNs};
    pending.erase(key);
    return joined;
}

CStampJoin::TPending& CStampJoin::entryFor(std::uint32_t number) {
    // Wrapping arithmetic: the numbers wrap at 2^32.
    if (pending.empty() || static_cast<std::int32_t>(number - newest) > 0) {
        newest = number;
    }
    if (pending.size() >= 2 * STALE_AFTER) {
        forgetStale();
    }
    return pending[number];
}

void CStampJoin::forgetStale() {
    const std::uint64_t window = std::uint64_t{STALE_AFTER} * every;
    for (auto entry = pending.begin(); entry != pending.end();) {
        if (std::uint32_t(newest - entry->first) > window) {
            arrivalsForgotten += entry->second.arrived ? 1 : 0;
            entry = pending.erase(entry);
        } else {
            ++entry;
        }
    }
}

std::optional<CStampJoin::TJoined> CStampJoin::arrived(std::uint32_t number, std::int64_t arrivalNs,
                                                       std::int64_t userNs) {
    TPending& entry = entryFor(number);
    entry.arrived = true;
    entry.arrivalNs = arrivalNs;
    entry.userNs = userNs;
    return joinIfComplete(number, entry);
}

std::optional<CStampJoin::TJoined> CStampJoin::stamped(std::uint32_t number, std::int64_t stampNs) {
    TPending& entry = entryFor(number);
    entry.stamped = true;
    entry.stampNs = stampNs;
    return joinIfComplete(number, entry);
}

std::uint64_t CStampJoin::arrivalsWaiting() const {
    std::uint64_t waiting = arrivalsForgotten;
    for (const auto& entry : pending) {
        waiting += entry.second.arrived ? 1 : 0;
    }
    return waiting;
}

void recordDelay(TStreamState& stream, std::int64_t delayNs) {
    stream.minDelay = std::min(stream.minDelay, delayNs);
    stream.maxDelay = std::max(stream.maxDelay, delayNs);
    // Welford's update: mean and spread without keeping every delay.
    const double value = static_cast<double>(delayNs);
    const double count = static_cast<double>(stream.delays.count()) + 1.0;
    const double deviation = value - stream.meanDelay;
    stream.meanDelay += deviation / count;
    stream.sumSquares += deviation * (value - stream.meanDelay);
    stream.delays.record(delayNs);
    stream.jitter.update(delayNs);
}

namespace {

void recordJoined(TStreamState& stream, const std::optional<CStampJoin::TJoined>& joined) {
    if (joined) {
        recordDelay(stream, joined->delayNs);
        stream.lags.record(joined->lagNs);
    }
}

} // namespace

void acceptSendStamp(std::vector<TStreamState>& streams, std::uint32_t streamIndex,
                     std::uint32_t number, std::int64_t stampNs) {
    if (streamIndex >= streams.size() || !streams[streamIndex].sendStamps.expects(number)) {
        return;
    }
    TStreamState& stream = streams[streamIndex];
    recordJoined(stream, stream.sendStamps.stamped(number, stampNs));
}

void takeDeparture(std::vector<TStreamState>& streams, const unsigned char* data,
                   const pcap_pkthdr& header, std::int64_t departureNs, std::int64_t cycleStart) {
    // Tags and IPv6 move the payload, as in an arriving frame.
    const std::size_t shift = layoutOfFrame(data, header.caplen).payloadShift();
    if (header.caplen < MIN_FRAME_LENGTH + shift) {
        return;
    }
    data += shift;
    const std::size_t numberOffset = sequenceNumberOffset(header.caplen - shift);
    if (sendTimeOf(data, true, numberOffset) < cycleStart) {
        return;
    }
    acceptSendStamp(streams, static_cast<std::uint32_t>(data[STREAM_LETTER_OFFSET] - 'A'),
                    readLittleEndian32(data + numberOffset), departureNs);
}

bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header, std::int64_t arrivalNs, std::int64_t cycleStart) {
    // Tags and IPv6 move the payload: from there on the plain frame's offsets hold.
    const TFrameLayout layout = layoutOfFrame(data, header.caplen);
    const std::size_t shift = layout.payloadShift();
    if (header.caplen < MIN_FRAME_LENGTH + shift) {
        return false;
    }
    data += shift;
    const std::size_t captured = header.caplen - shift;
    const unsigned char letter = data[STREAM_LETTER_OFFSET];
    if (letter < 'A' || static_cast<std::size_t>(letter - 'A') >= streams.size()) {
        return false;
    }
    TStreamState& stream = streams[letter - 'A'];
    const bool numbered = stream.sequence.enabled();
    const std::size_t numberOffset = sequenceNumberOffset(captured);

    // Left over from an earlier cycle (held up on the path): it would count twice, and its
    // delay belongs to that cycle.
    const std::int64_t sentAt = sendTimeOf(data, numbered, numberOffset);
    if (sentAt < cycleStart) {
        ++stream.stragglers;
        return false;
    }
    const std::uint32_t number = numbered ? readLittleEndian32(data + numberOffset)
                                          : static_cast<std::uint32_t>(stream.received);
    // A second copy tells nothing of the path's delay; only the copies are counted.
    if (numbered && stream.sequence.arrive(number) == CSequenceWindow::TArrival::duplicate) {
        return true;
    }
    const auto sentNs = static_cast<std::int64_t>(static_cast<std::uint64_t>(sentAt) * 1000u);
    // The sender's stamp has whole microseconds: the arrival is taken to the same resolution,
    // so that the two truncations cancel on average instead of adding half a microsecond to
    // every delay.
    const std::int64_t arrivalUs = arrivalNs / 1000 - (arrivalNs % 1000 < 0 ? 1 : 0);
    const auto userDelayUs = static_cast<std::int64_t>(static_cast<std::uint64_t>(arrivalUs) -
                                                       static_cast<std::uint64_t>(sentAt));
    // The intervals keep the sender's stamps, as their figures always have.
    // Wrapping, like the delay: until the first cycle begins, cycleStart is the lowest value.
    const auto sentAfterStartUs = static_cast<std::int64_t>(static_cast<std::uint64_t>(sentAt) -
                                                            static_cast<std::uint64_t>(cycleStart));
    stream.intervals.record(sentAfterStartUs, userDelayUs, header.len);
    if (!stream.sendStamps.enabled()) {
        // A nonsense send time gives a delay beyond any clock: it saturates instead of wrapping.
        constexpr std::int64_t LIMIT_US = std::numeric_limits<std::int64_t>::max() / 1000;
        recordDelay(stream, std::clamp(userDelayUs, -LIMIT_US, LIMIT_US) * 1000);
    } else if (stream.sendStamps.expects(number)) {
        recordJoined(stream, stream.sendStamps.arrived(number, arrivalNs, sentNs));
    }
    if (stream.received == 0) {
        stream.firstArrival = arrivalNs;
    }
    stream.lastArrival = arrivalNs;
    stream.bytes += header.len;
    ++stream.received;
    if (layout.tags > 0) {
        ++stream.receivedTagged;
    }
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

TResult buildResult(int stream, const TStreamState& state, std::uint64_t sent) {
    TResult result;
    result.stream = stream;
    result.received = state.received;
    if (state.sequence.enabled()) {
        std::uint64_t foreign = 0;
        result.numbered = true;
        result.sequence = state.sequence.counts(sent, foreign);
        result.received -= foreign;
    }
    result.sent = sent;
    result.scheduled = sent;
    result.stragglers = state.stragglers;
    result.receivedTagged = state.receivedTagged;
    result.receivedUntagged = state.received - state.receivedTagged;
    result.loss = lossPercent(sent, result.received);
    if (state.received == 0) {
        result.throughput = 0.0f;
    } else {
        const double span = static_cast<double>(state.lastArrival - state.firstArrival) / 1e9;
        // One frame spans no time: the quotient is +infinity, as for any zero span.
        result.throughput = static_cast<float>(static_cast<double>(state.bytes) / span / 1048576.0);
    }
    result.delayCount = state.delays.count();
    if (result.delayCount == 0) {
        result.delayVariance = std::numeric_limits<float>::quiet_NaN();
        result.delayVarianceNs = std::numeric_limits<double>::quiet_NaN();
    } else {
        result.minDelayNs = state.minDelay;
        result.maxDelayNs = state.maxDelay;
        result.meanDelayNs = state.meanDelay;
        result.delayVarianceNs = state.sumSquares / static_cast<double>(result.delayCount);
        // The table's microseconds: whole ones rounded down, as the stamps of a microsecond
        // clock would give them.
        result.minDelay = microsecondsOf(state.minDelay);
        result.maxDelay = microsecondsOf(state.maxDelay);
        result.avgDelay = static_cast<float>(state.meanDelay / 1000.0);
        result.delayVariance = static_cast<float>(result.delayVarianceNs / 1e6);
    }
    result.delays = state.delays;
    result.jitterNs = state.jitter.value;
    result.jitter = state.jitter.value / 1000.0;
    if (state.sendStamps.enabled()) {
        result.stamps.every = state.sendStamps.stampEvery();
        result.stamps.lags = state.lags;
        result.stamps.missing = state.sendStamps.arrivalsWaiting();
        result.stamps.expected =
            static_cast<std::uint64_t>(state.lags.count()) + result.stamps.missing;
    }
    return result;
}
