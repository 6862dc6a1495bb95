#include "batchsender.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A kernel that answers each sendmmsg call with the next scripted result (frames taken, or -1
// with the scripted errno) and remembers which frame each call began with.
struct TScriptedKernel {
    std::vector<int> results;
    std::vector<int> errors;
    std::vector<std::size_t> firsts;

    int operator()(std::size_t first, std::size_t) {
        const std::size_t call = firsts.size();
        firsts.push_back(first);
        errno = errors[call];
        return results[call];
    }
};

} // namespace

TEST(HandOver, APartialSendGoesOnWithTheRestAndARefusedFrameIsSkippedAndCounted) {
    // 8 frames: the kernel takes 3, refuses the fourth, takes 2, is interrupted, takes the rest.
    TScriptedKernel kernel{{3, -1, 2, -1, 2}, {0, ENOBUFS, 0, EINTR, 0}, {}};
    EXPECT_EQ(handOverFrames(8, [&](std::size_t f, std::size_t n) { return kernel(f, n); }), 1u);
    EXPECT_EQ(kernel.firsts, (std::vector<std::size_t>{0, 3, 4, 6, 6}));
}

TEST(HandOver, EveryFrameRefusedIsEveryFrameCountedAndNothingWhenEmpty) {
    TScriptedKernel kernel{{-1, -1, -1}, {ENETDOWN, ENETDOWN, ENETDOWN}, {}};
    EXPECT_EQ(handOverFrames(3, [&](std::size_t f, std::size_t n) { return kernel(f, n); }), 3u);
    TScriptedKernel idle{{}, {}, {}};
    EXPECT_EQ(handOverFrames(0, [&](std::size_t f, std::size_t n) { return idle(f, n); }), 0u);
    EXPECT_TRUE(idle.firsts.empty());
}

TEST(HandOver, APacedFrameJoinsAStartedBatchOnlyWhenDueWithinTheWindow) {
    CBatchSender batch(-1);
    EXPECT_FALSE(batch.joins(0)); // nothing to join
    batch.add(60);
    EXPECT_TRUE(batch.joins(-5)); // already late
    EXPECT_TRUE(batch.joins(BATCH_WINDOW_NS));
    EXPECT_FALSE(batch.joins(BATCH_WINDOW_NS + 1));
}
