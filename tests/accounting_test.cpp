// The measurement itself: frames in, per-stream figures out.

#include "accounting.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <pcap/pcap.h>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"
#include "testframe.h"

namespace {

struct TCaptured {
    std::vector<unsigned char> data;
    pcap_pkthdr header;
};

// A test frame of `length` bytes for stream `streamIndex`, captured `delayUs` after it was sent
// at `sent`.
TCaptured frameOf(unsigned int streamIndex, std::size_t length, timeval sent, long delayUs) {
    static const unsigned char headerTemplate[FRAME_HEADER_SIZE] = {};
    TCaptured frame;
    frame.data.resize(length);
    buildTestFrame(frame.data.data(), length, headerTemplate, 0, streamIndex, sent);
    long long captured = static_cast<long long>(sent.tv_sec) * 1000000 + sent.tv_usec + delayUs;
    frame.header.ts.tv_sec = captured / 1000000;
    frame.header.ts.tv_usec = captured % 1000000;
    frame.header.caplen = static_cast<bpf_u_int32>(length);
    frame.header.len = static_cast<bpf_u_int32>(length);
    return frame;
}

bool account(std::vector<TStreamState>& streams, const TCaptured& frame,
             std::int64_t cycleStart = INT64_MIN) {
    const std::int64_t arrivalNs =
        (static_cast<std::int64_t>(frame.header.ts.tv_sec) * 1000000 + frame.header.ts.tv_usec) *
        1000;
    return accountFrame(streams, frame.data.data(), frame.header, arrivalNs, cycleStart);
}

TEST(ReceiverAccounting, ThreeFramesOfStreamTwoGiveTheSpecifiedFigures) {
    std::vector<TStreamState> streams(2);
    const long delays[] = {100, 200, 300};
    for (int k = 0; k < 3; ++k) {
        // Captured at 1000.0, 1000.5 and 1001.0 s.
        const long captured = 1000000000L + k * 500000L;
        const timeval sent{static_cast<time_t>((captured - delays[k]) / 1000000),
                           static_cast<suseconds_t>((captured - delays[k]) % 1000000)};
        EXPECT_TRUE(account(streams, frameOf(1, 1000, sent, delays[k])));
    }
    EXPECT_EQ(streams[0].received, 0u);

    const TResult result = buildResult(2, streams[1], 3);
    EXPECT_EQ(result.stream, 2);
    EXPECT_EQ(result.received, 3u);
    EXPECT_EQ(result.sent, 3u);
    EXPECT_EQ(result.loss, 0.0f);
    EXPECT_EQ(result.minDelay, 100u);
    EXPECT_EQ(result.maxDelay, 300u);
    EXPECT_FLOAT_EQ(result.avgDelay, 200.0f);
    EXPECT_NEAR(result.delayVariance, 20000.0 / 3, 0.01);
    EXPECT_NEAR(result.throughput, 3000.0 / 1.0 / 1048576, 1e-7);
    EXPECT_TRUE(result.sentKnown);
    // The results file's figures: transit changes of 100 and 100 us, the median 200 us.
    EXPECT_DOUBLE_EQ(result.jitter, 100.0 / 16 + (100 - 100.0 / 16) / 16);
    EXPECT_EQ(result.delays.count(), 3u);
    EXPECT_NEAR(result.delays.percentiles().p50, 200000.0, 2000.0);
}

TEST(ReceiverAccounting, OneFrameSetsEveryDelayFigureAndSpansNoTime) {
    std::vector<TStreamState> streams(1);
    ASSERT_TRUE(account(streams, frameOf(0, 59, timeval{5000, 999900}, 250)));
    const TResult result = buildResult(1, streams[0], 1);
    EXPECT_EQ(result.minDelay, 250u);
    EXPECT_EQ(result.maxDelay, 250u);
    EXPECT_FLOAT_EQ(result.avgDelay, 250.0f);
    EXPECT_EQ(result.delayVariance, 0.0f);
    // A single arrival has no duration to divide by.
    EXPECT_TRUE(std::isinf(result.throughput) && result.throughput > 0);
}

TEST(ReceiverAccounting, LossComparesSentWithReceived) {
    TStreamState state;
    state.received = 990;
    EXPECT_FLOAT_EQ(buildResult(1, state, 1000).loss, 1.0f);

    TStreamState nothing;
    EXPECT_EQ(buildResult(1, nothing, 0).loss, 0.0f);
    EXPECT_EQ(buildResult(1, nothing, 7).loss, 100.0f);

    // Single precision decides the half-way case: 47 / 80 * 100 is 58.7499962, not 58.75.
    state.received = 33;
    EXPECT_EQ(buildResult(1, state, 80).loss, 58.7499962f);
    std::ostringstream shown;
    printCycleRow(shown, 1, buildResult(1, state, 80));
    EXPECT_NE(shown.str().find("|           58.7 |"), std::string::npos) << shown.str();

    // Duplicates on the path: shown as a negative loss, not wrapped to a huge one.
    TStreamState duplicated;
    duplicated.received = 102;
    EXPECT_FLOAT_EQ(buildResult(1, duplicated, 100).loss, -2.0f);
    duplicated.received = 5;
    EXPECT_FLOAT_EQ(buildResult(1, duplicated, 1).loss, -400.0f);
}

TEST(ReceiverAccounting, FramesThatAreNotThisRunsTestFramesAreIgnored) {
    std::vector<TStreamState> streams(2);
    const timeval sent{1000, 0};

    TCaptured shortFrame = frameOf(0, 59, sent, 10);
    shortFrame.header.caplen = 58;
    shortFrame.header.len = 58;
    EXPECT_FALSE(account(streams, shortFrame));

    // Stream letters just outside the run's two streams, and far outside.
    EXPECT_FALSE(account(streams, frameOf(2, 100, sent, 10)));
    for (unsigned char letter :
         {static_cast<unsigned char>('A' - 1), static_cast<unsigned char>('a'),
          static_cast<unsigned char>(0), static_cast<unsigned char>(0xFF)}) {
        TCaptured foreign = frameOf(0, 100, sent, 10);
        foreign.data[STREAM_LETTER_OFFSET] = letter;
        EXPECT_FALSE(account(streams, foreign)) << int(letter);
    }
    for (const TStreamState& state : streams) {
        EXPECT_EQ(state.received, 0u);
        EXPECT_EQ(state.bytes, 0u);
        EXPECT_EQ(state.delays.count(), 0u);
    }

    std::vector<TStreamState> none;
    EXPECT_FALSE(account(none, frameOf(0, 100, sent, 10)));
}

TEST(ReceiverAccounting, StrayFrameWithNonsenseSendTimeIsHarmless) {
    std::vector<TStreamState> streams(1);
    TCaptured stray = frameOf(0, 100, timeval{0, 0}, 0);
    std::memset(stray.data.data() + SEND_TIME_OFFSET, 0x80, 16);
    stray.header.ts = timeval{1700000000, 0};
    EXPECT_TRUE(account(streams, stray));
    EXPECT_EQ(streams[0].received, 1u);
}

TEST(ReceiverAccounting, FramesSentBeforeTheCycleBeganAreStragglersOnly) {
    std::vector<TStreamState> streams(2);
    const std::int64_t cycleStart = 2000000000LL * 1000000 + 500000;
    const timeval justBefore{2000000000, 499999};
    const timeval atStart{2000000000, 500000};
    EXPECT_FALSE(account(streams, frameOf(1, 100, justBefore, 900000), cycleStart));
    EXPECT_FALSE(account(streams, frameOf(1, 100, timeval{1999999999, 0}, 10), cycleStart));
    EXPECT_TRUE(account(streams, frameOf(1, 100, atStart, 40), cycleStart));
    // Not one of the run's streams: neither counted nor a straggler.
    EXPECT_FALSE(account(streams, frameOf(2, 100, justBefore, 10), cycleStart));

    const TResult result = buildResult(2, streams[1], 1);
    EXPECT_EQ(result.stragglers, 2u);
    EXPECT_EQ(result.received, 1u);
    EXPECT_EQ(result.loss, 0.0f);
    EXPECT_EQ(result.maxDelay, 40u);
    EXPECT_EQ(streams[0].stragglers + streams[0].received, 0u);
}

TEST(CaptureEnd, QuietAfterTheSendersAndTheLastArrivalOrTheLongestWait) {
    const std::int64_t quiet = 50000;
    const std::int64_t wait = 2000000;
    const std::int64_t ended = 10000000;
    const std::int64_t none = INT64_MIN;
    // {senders ended, last arrival, seen through, now} -> complete?
    const std::pair<TCaptureTimes, bool> cases[] = {
        // Direct pair: the last frame came before the senders ended.
        {{ended, ended - 3000, ended + 49999, ended + 60000}, false},
        {{ended, ended - 3000, ended + 50000, ended + 60000}, true},
        {{ended, none, ended + 50000, ended + 50000}, true},
        // Frames still in flight after the senders ended: quiet counts from the last one.
        {{ended, ended + 300000, ended + 349999, ended + 420000}, false},
        {{ended, ended + 300000, ended + 350000, ended + 420000}, true},
        // A device that never goes quiet holds the capture for the longest wait only.
        {{ended, ended + 1999000, ended + 1990000, ended + 1999999}, false},
        {{ended, ended + 1999000, ended + 1990000, ended + 2000000}, true},
    };
    for (const auto& [times, complete] : cases) {
        EXPECT_EQ(captureComplete(times, quiet, wait), complete)
            << times.lastArrival - ended << " " << times.seenThrough - ended << " "
            << times.now - ended;
    }
    EXPECT_TRUE(captureComplete({ended, ended, ended, ended + 1000}, quiet, 1000));
}

TEST(CaptureEnd, RingIsDrainedWhenEveryTakenFrameIsHandedOverOrNeverWillBe) {
    CRingBalance ring;
    EXPECT_TRUE(ring.drained(0, 0, 0));
    EXPECT_FALSE(ring.drained(40, 12, 10000));
    EXPECT_TRUE(ring.drained(40, 40, 20000));
    // Three frames the library keeps to itself: waiting, until nothing moves for a block's
    // retirement.
    EXPECT_FALSE(ring.drained(43, 40, 30000));
    EXPECT_FALSE(ring.drained(43, 40, 30000 + BLOCK_RETIREMENT_US - 1));
    EXPECT_TRUE(ring.drained(43, 40, 30000 + BLOCK_RETIREMENT_US));
    // They stay known; new frames must be handed over again. The counters wrap.
    EXPECT_FALSE(ring.drained(50, 44, 160000));
    EXPECT_TRUE(ring.drained(50, 47, 170000));
    EXPECT_TRUE(ring.drained(2u, 0xFFFFFFFFu, 180000));
}

TEST(ReceiverAccounting, LongCyclesKeepTheirPrecisionAndCountEveryByte) {
    // Three million full-size frames: more bytes than 32 bits hold, delays around 10^8 us whose
    // spread a single-precision running mean would lose entirely.
    std::vector<TStreamState> streams(1);
    const long frames = 3000000;
    TCaptured frame = frameOf(0, 1500, timeval{1000, 0}, 100000000);
    const timeval firstCapture = frame.header.ts;
    for (long k = 0; k < frames; ++k) {
        // Capture times 1 us apart; delays alternate between 10^8 and 10^8 + 1.
        long long captured =
            static_cast<long long>(firstCapture.tv_sec) * 1000000 + firstCapture.tv_usec + k;
        frame.header.ts.tv_sec = captured / 1000000;
        frame.header.ts.tv_usec = captured % 1000000;
        const long long sentAt = captured - 100000000 - (k % 2);
        const timeval sent{static_cast<time_t>(sentAt / 1000000),
                           static_cast<suseconds_t>(sentAt % 1000000)};
        stampSendTime(frame.data.data(), sent);
        ASSERT_TRUE(account(streams, frame));
    }
    const TResult result = buildResult(1, streams[0], frames);
    EXPECT_EQ(streams[0].bytes, 1500ull * frames);
    EXPECT_EQ(result.minDelay, 100000000u);
    EXPECT_EQ(result.maxDelay, 100000001u);
    EXPECT_NEAR(streams[0].meanDelay, 100000000500.0, 1e-3);
    EXPECT_NEAR(result.delayVariance, 0.25, 1e-6);
    const double span = (frames - 1) / 1e6;
    EXPECT_NEAR(result.throughput, 1500.0 * frames / span / 1048576, 1e-3);
    EXPECT_EQ(result.loss, 0.0f);
}

// ---------------------------------------------------------------- sequence numbers

// A numbered frame of stream 1 (60 bytes asked, grown to hold its number, or `length` bytes),
// sent at `sentUs`.
TCaptured numberedFrame(std::uint32_t number, long sentUs = 1000000000L,
                        std::size_t length = frameLengthForSize(60, true)) {
    const timeval sent{static_cast<time_t>(sentUs / 1000000),
                       static_cast<suseconds_t>(sentUs % 1000000)};
    TCaptured frame = frameOf(0, length, sent, 100);
    stampSequenceNumber(frame.data.data(), length, number);
    return frame;
}

std::vector<TStreamState> numberedStreams() {
    std::vector<TStreamState> streams(1);
    streams[0].sequence.enable();
    return streams;
}

TEST(SequenceAccounting, CopiesReorderingEpisodesAndForeignNumbersAreToldApart) {
    std::vector<TStreamState> streams = numberedStreams();
    // 14 sent; 8, 9, 10 and 12, 13 lost; 2 twice; 2 and 4 reordered; 20 was never sent.
    for (std::uint32_t number : {0u, 1u, 3u, 2u, 2u, 5u, 6u, 7u, 4u, 11u, 20u}) {
        EXPECT_TRUE(account(streams, numberedFrame(number)));
    }
    const TResult result = buildResult(1, streams[0], 14);
    ASSERT_TRUE(result.numbered);
    EXPECT_EQ(result.received, 9u);
    EXPECT_FLOAT_EQ(result.loss, 5.0f / 14.0f * 100.0f);
    EXPECT_EQ(result.sequence.duplicates, 1u);
    EXPECT_EQ(result.sequence.reordered, 2u);
    // 4 arrived three arrivals after 5, the first frame numbered above it.
    EXPECT_EQ(result.sequence.reorderExtentMax, 3u);
    EXPECT_EQ(result.sequence.late, 0u);
    EXPECT_EQ(result.sequence.lossEpisodes, 2u);
    EXPECT_EQ(result.sequence.lostInEpisodes, 5u);
    EXPECT_EQ(result.sequence.longestLossEpisode, 3u);
    // The copy's delay is not a second delay of the frame.
    EXPECT_EQ(result.delays.count(), 10u);
}

TEST(SequenceAccounting, AFrameOlderThanTheWindowIsReceivedAndLateNeverLost) {
    std::vector<TStreamState> streams = numberedStreams();
    const std::uint32_t size = CSequenceWindow::SIZE;
    for (std::uint32_t number : {0u, size + 5, 1u}) {
        EXPECT_TRUE(account(streams, numberedFrame(number)));
    }
    const TResult result = buildResult(1, streams[0], size + 6);
    EXPECT_EQ(result.received, 3u);
    EXPECT_EQ(result.sent - result.received, size + 3);
    EXPECT_EQ(result.sequence.late, 1u);
    EXPECT_EQ(result.sequence.reordered, 1u);
    EXPECT_EQ(result.sequence.duplicates, 0u);
    // Its number had left the window as lost: the one episode still holds it.
    EXPECT_EQ(result.sequence.lossEpisodes, 1u);
    EXPECT_EQ(result.sequence.lostInEpisodes, size + 4);
}

TEST(SequenceAccounting, TheWindowSlidesOverLongStreamsAndTheirTrailingLoss) {
    std::vector<TStreamState> streams = numberedStreams();
    // Three windows' worth in order, every 1000th number lost, then the last 7 lost.
    const std::uint32_t sent = 3 * CSequenceWindow::SIZE;
    std::uint32_t lost = 0;
    for (std::uint32_t number = 0; number < sent - 7; ++number) {
        if (number % 1000 == 999) {
            ++lost;
            continue;
        }
        account(streams, numberedFrame(number));
    }
    const TResult result = buildResult(1, streams[0], sent);
    EXPECT_EQ(result.received, sent - 7 - lost);
    EXPECT_EQ(result.sequence.reordered, 0u);
    EXPECT_EQ(result.sequence.lossEpisodes, lost + 1);
    EXPECT_EQ(result.sequence.lostInEpisodes, lost + 7);
    EXPECT_EQ(result.sequence.longestLossEpisode, 7u);
}

// Numbers are 32 bits wide on the wire: past 2^32 frames they start again at 0 and still count
// as new frames, not as late ones or copies; a copy after the wrap is still a copy.
TEST(SequenceAccounting, NumberingGoesOnPastTwoToTheThirtyTwoFrames) {
    std::vector<TStreamState> streams = numberedStreams();
    for (std::uint32_t number : {0xFFFFFFFDu, 0xFFFFFFFFu, 0u, 0xFFFFFFFEu, 1u, 1u}) {
        EXPECT_TRUE(account(streams, numberedFrame(number)));
    }
    const std::uint64_t sent = (std::uint64_t{1} << 32) + 2;
    const TResult result = buildResult(1, streams[0], sent);
    EXPECT_EQ(result.sent, sent);
    EXPECT_EQ(result.received, 5u);
    EXPECT_EQ(result.sequence.duplicates, 1u);
    EXPECT_EQ(result.sequence.reordered, 1u);
    EXPECT_EQ(result.sequence.late, 0u);
    EXPECT_EQ(result.sequence.lossEpisodes, 1u);
    EXPECT_EQ(result.sequence.lostInEpisodes, 0xFFFFFFFDu);
}

// The benchmark's 64-byte frames (60 bytes here) carry their numbers in the send time's upper
// bytes: a copy is told apart, the delay is read from the lower bytes alone, and the straggler
// rule still holds.
TEST(SequenceAccounting, ShortNumberedFramesCountOnceAndKeepTheStragglerRule) {
    std::vector<TStreamState> streams = numberedStreams();
    EXPECT_TRUE(account(streams, numberedFrame(70000, 1000000000L, 60)));
    EXPECT_TRUE(account(streams, numberedFrame(70000, 1000000000L, 60)));
    // Sent before the cycle began: a straggler, whose number is not this cycle's.
    EXPECT_FALSE(account(streams, numberedFrame(5, 1000, 60), 2000));
    const TResult result = buildResult(1, streams[0], 70001);
    EXPECT_EQ(result.received, 1u);
    EXPECT_EQ(result.sequence.duplicates, 1u);
    EXPECT_EQ(result.stragglers, 1u);
    EXPECT_EQ(result.maxDelay, 100u);
    // Without numbering a frame is not read for a number: the same frames count as before.
    std::vector<TStreamState> plain(1);
    account(plain, numberedFrame(0));
    account(plain, numberedFrame(0));
    EXPECT_EQ(buildResult(1, plain[0], 2).received, 2u);
    EXPECT_FALSE(buildResult(1, plain[0], 2).numbered);
}

} // namespace

// ---------------------------------------------------------------- kernel send stamps

TEST(SendStampJoin, DelaysRunFromTheKernelsStampWhicheverComesFirstAndMissingOnesAreCounted) {
    std::vector<TStreamState> streams(2);
    for (TStreamState& stream : streams) {
        stream.sequence.enable();
        stream.sendStamps.enable(2); // numbers 0, 2, 4... carry a stamp
    }
    const timeval sent{1000, 0}; // the sender's stamp: 1000 s
    auto arrive = [&streams, &sent](unsigned stream, std::uint32_t number, long delayUs) {
        TCaptured frame = frameOf(stream, 100, sent, delayUs);
        stampSequenceNumber(frame.data.data(), frame.data.size(), number);
        return account(streams, frame);
    };
    const std::int64_t sentNs = 1000000000000;
    // Frame 0: stamp first, 1500 ns after the sender's, arrival 10 us after the sender's.
    acceptSendStamp(streams, 0, 0, sentNs + 1500);
    EXPECT_TRUE(arrive(0, 0, 10));
    // Frame 2: arrival first, then the stamp 2500 ns after the sender's.
    EXPECT_TRUE(arrive(0, 2, 20));
    acceptSendStamp(streams, 0, 2, sentNs + 2500);
    // Frame 1 carries no stamp and gives no delay; frame 4 never gets its stamp.
    EXPECT_TRUE(arrive(0, 1, 30));
    EXPECT_TRUE(arrive(0, 4, 40));
    // Stamps of numbers that carry none, of a stream the run lacks, and a departure of an
    // earlier cycle are ignored.
    acceptSendStamp(streams, 0, 3, sentNs);
    acceptSendStamp(streams, 7, 0, sentNs);
    TCaptured old = frameOf(0, 100, timeval{999, 0}, 0);
    stampSequenceNumber(old.data.data(), old.data.size(), 4);
    takeDeparture(streams, old.data.data(), old.header, sentNs, 1000000000);

    const TResult result = buildResult(1, streams[0], 5);
    EXPECT_EQ(result.received, 4u);
    EXPECT_EQ(result.delayCount, 2u);
    EXPECT_EQ(result.minDelayNs, 10000 - 1500);
    EXPECT_EQ(result.maxDelayNs, 20000 - 2500);
    EXPECT_EQ(result.minDelay, 8u); // 8500 ns in whole microseconds
    EXPECT_EQ(result.stamps.every, 2u);
    EXPECT_EQ(result.stamps.expected, 3u);
    EXPECT_EQ(result.stamps.missing, 1u);
    EXPECT_EQ(result.stamps.lags.count(), 2u);
    EXPECT_EQ(result.stamps.lags.maximum(), 2500u);
    EXPECT_EQ(streams[1].received, 0u);
}

TEST(SendStampJoin, StampsOfLostFramesAreForgottenAndArrivalsWithoutOneStayCounted) {
    CStampJoin join;
    join.enable(4);
    // Hours of a lossy path: every frame's stamp comes, every second frame is lost, every
    // eighth arrival never gets its stamp (numbers wrap on the way).
    std::uint32_t arrivalsWithoutStamp = 0;
    for (std::uint32_t k = 0; k < 600000; ++k) {
        const std::uint32_t number = 0xFFF00000u + 4 * k;
        const bool arrives = k % 2 == 0;
        const bool stamped = k % 16 != 0;
        arrivalsWithoutStamp += arrives && !stamped ? 1 : 0;
        if (stamped) {
            join.stamped(number, 1000);
        }
        if (arrives) {
            ASSERT_EQ(join.arrived(number, 5000, 0).has_value(), stamped) << k;
        }
    }
    EXPECT_LE(join.entriesKept(), 70000u);
    EXPECT_EQ(join.arrivalsWaiting(), arrivalsWithoutStamp);
}
