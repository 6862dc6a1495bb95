#include "pacing.h"

#include <algorithm>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>

namespace {

constexpr std::int64_t NS_PER_US = 1000;
constexpr std::int64_t NS_PER_S = 1000000000;
// Measured on a virtual machine: a wake-up from clock_nanosleep with 1 ns of slack comes
// 30-60 us late when the machine is quiet.
constexpr std::int64_t SPIN_WINDOW_NS = 60000;

timespec toTimespec(std::int64_t ns) {
    timespec t;
    t.tv_sec = static_cast<time_t>(ns / NS_PER_S);
    t.tv_nsec = static_cast<long>(ns % NS_PER_S);
    return t;
}

} // namespace

const char* const INVALID_PACING = "Neplatna hodnota pacing! Pouze relative nebo absolute";

bool readPacing(const std::string& text, TPacing& pacing) {
    if (text == "relative") {
        pacing = TPacing::relative;
    } else if (text == "absolute") {
        pacing = TPacing::absolute;
    } else {
        return false;
    }
    return true;
}

std::uint32_t cappedGap(std::uint32_t drawnUs) {
    return drawnUs > LONGEST_GAP_US ? LONGEST_GAP_US : drawnUs;
}

void CDepartureSchedule::advance(std::uint32_t drawnGapUs) {
    advanceNanoseconds(static_cast<std::int64_t>(cappedGap(drawnGapUs)) * NS_PER_US);
}

void CDepartureSchedule::advanceNanoseconds(std::int64_t gapNs) {
    due += gapNs;
    drawnSumNs += gapNs;
    ++drawnCount;
}

std::int64_t CDepartureSchedule::catchUpLimitNs() const {
    if (drawnCount == 0) {
        return CATCH_UP_LIMIT_NS;
    }
    const std::int64_t gapsNs = static_cast<std::int64_t>(
        static_cast<double>(drawnSumNs) / static_cast<double>(drawnCount) * CATCH_UP_GAPS);
    return gapsNs > CATCH_UP_LIMIT_NS ? gapsNs : CATCH_UP_LIMIT_NS;
}

std::int64_t CDepartureSchedule::nextDeparture(std::int64_t nowNs) {
    const std::int64_t limit = catchUpLimitNs();
    largestLag = std::max(largestLag, nowNs - due);
    if (nowNs - due > limit) {
        due = nowNs - limit;
        ++restartCount;
    }
    return due;
}

std::uint64_t CDepartureSchedule::departuresOwed(std::int64_t endNs) const {
    const std::int64_t nextAsDrawn = start + drawnSumNs;
    if (drawnCount == 0 || drawnSumNs <= 0 || nextAsDrawn >= endNs) {
        return 0;
    }
    const double meanGapNs = static_cast<double>(drawnSumNs) / static_cast<double>(drawnCount);
    return static_cast<std::uint64_t>(static_cast<double>(endNs - nextAsDrawn - 1) / meanGapNs) + 1;
}

void CGapTally::departed(std::int64_t stampUs) {
    if (departures == 0) {
        firstUs = stampUs;
    } else {
        drawnSumNs += pendingGapNs;
    }
    lastUs = stampUs;
    ++departures;
}

TOfferedGaps CGapTally::offered(std::uint32_t restarts, std::int64_t largestLagNs) const {
    TOfferedGaps result;
    result.restarts = restarts;
    result.largestLagUs = static_cast<double>(largestLagNs) / NS_PER_US;
    if (departures < 2) {
        return result;
    }
    result.gaps = departures - 1;
    result.meanGapUs = static_cast<double>(lastUs - firstUs) / result.gaps;
    result.drawnMeanGapUs = static_cast<double>(drawnSumNs) / NS_PER_US / result.gaps;
    return result;
}

bool gapsKeptPace(const TOfferedGaps& offered) {
    return offered.meanGapUs <= offered.drawnMeanGapUs * 1.01;
}

bool keptSchedule(const TOfferedGaps& offered) {
    return offered.restarts == 0 && gapsKeptPace(offered);
}

TWaitEnd waitEnd(std::int64_t departureNs, std::int64_t durationEndNs) {
    if (departureNs >= durationEndNs) {
        return {durationEndNs, true};
    }
    return {departureNs, false};
}

std::int64_t monotonicNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

void sharpenTimers() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void runBeforeOrdinaryProcesses() {
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
    sched_setscheduler(0, SCHED_FIFO, &parameters);
}

unsigned usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

std::int64_t spinWindowNs(unsigned streams, unsigned cores) {
    return streams < cores ? SPIN_WINDOW_NS : 0;
}

void waitUntil(std::int64_t deadlineNs, std::int64_t spinNs,
               const volatile std::sig_atomic_t& stop) {
    const std::int64_t wakeNs = deadlineNs - spinNs;
    // clock_nanosleep is never restarted after a signal handler has run, so SIGINT ends a sleep
    // at once. A signal that arrives between the look at `stop` and the start of the sleep is
    // caught by the next look, because no single sleep is longer than MAX_SLEEP_NS.
    for (std::int64_t now = monotonicNanoseconds(); now < wakeNs && !stop;
         now = monotonicNanoseconds()) {
        const std::int64_t until = wakeNs - now > MAX_SLEEP_NS ? now + MAX_SLEEP_NS : wakeNs;
        const timespec when = toTimespec(until);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
    }
    while (!stop && monotonicNanoseconds() < deadlineNs) {
    }
}

void sleepUnlessStopped(std::int64_t durationNs, const volatile std::sig_atomic_t& stop) {
    waitUntil(monotonicNanoseconds() + durationNs, 0, stop);
}
