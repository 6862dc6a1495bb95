#include "xdpsender.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(XdpKick, WhatEachAnswerMeansForTheQueuedFrames) {
    // A dropped frame must be counted once and the rest sent; "more pending" must not be taken
    // for a refusal; an interface that cannot send must not be kicked forever.
    const struct {
        int result;
        int error;
        TKickOutcome outcome;
    } cases[] = {
        {0, 0, TKickOutcome::done},
        {-1, EAGAIN, TKickOutcome::morePending},
        {-1, ENOBUFS, TKickOutcome::morePending},
        {-1, EINTR, TKickOutcome::morePending},
        {-1, EBUSY, TKickOutcome::oneDropped},
        {-1, ENETDOWN, TKickOutcome::failed},
        {-1, ENXIO, TKickOutcome::failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kickOutcome(c.result, c.error), c.outcome) << "errno " << c.error;
    }
}
