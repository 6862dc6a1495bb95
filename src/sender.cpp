#include "testframe.h"
#include "trafficgenerator.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/prctl.h>
#include <sys/time.h>
#include <unistd.h>

#include "batchsender.h"
#include "benchmark.h"
#include "handover.h"
#include "interfaces.h"
#include "intervals.h"
#include "pacing.h"
#include "randomgenerator.h"
#include "sendstamps.h"
#include "xdpsender.h"

namespace {

constexpr std::uint32_t THROUGHPUT_FRAME_SIZE = 1500;
// Exit status of a sender that could not leave its hand-over file.
constexpr int SENDER_CANNOT_REPORT = 2;

struct TSenderPlan {
    pcap_t* device;
    const unsigned char* frameHeader;
    unsigned int streamIndex;
    unsigned char tos;
    std::int32_t operation;
    std::uint32_t duration;
    CRandomGenerator* sizeGenerator;
    CRandomGenerator* timeGenerator;
    TPacing pacing;
    std::int64_t spinNs;          // see spinWindowNs
    bool numbered;                // each frame carries its number within the stream and cycle
    CFrameBatch* batch = nullptr; // null: one frame at a time through libpcap
    TTrialPlan trial{};
    std::uint32_t intervalUs = 0;           // per-interval counts of departures; 0: none
    std::int64_t cycleStart = 0;            // time of day the cycle began, microseconds
    bool silent = false;                    // the trial leaves this stream out: it sends nothing
    const TFrameTemplate* frames = nullptr; // null: the plain frames of frameHeader
    std::uint32_t seed = 0;                 // the cycle's, for a random order of flows
    // AF_XDP's frames pass no capture on the sending interface: with the kernel's send stamps,
    // the frames that carry one (numbers a multiple of stampEvery) leave through this packet
    // socket beside the ring instead. -1: none.
    int besideFd = -1;
    std::uint32_t stampEvery = 0;
};

// Whether frame `number` leaves through the packet socket beside the batch.
bool leavesBeside(const TSenderPlan& plan, std::uint64_t number) {
    return plan.besideFd >= 0 && plan.stampEvery != 0 && number % plan.stampEvery == 0;
}

// Hands the frame over: to the batch, or beside it (the batch's earlier frames have left
// already). False when the kernel refused it at once.
bool handOverFrame(const TSenderPlan& plan, const unsigned char* frame, std::size_t length,
                   bool beside) {
    if (beside) {
        return send(plan.besideFd, frame, length, 0) == static_cast<ssize_t>(length);
    }
    if (plan.batch != nullptr) {
        plan.batch->add(length);
        return true;
    }
    return pcap_sendpacket(plan.device, frame, static_cast<int>(length)) == 0;
}

// The length of the next frame: the trial's, or the one the drawn size gives the stream.
std::size_t nextFrameLength(const TSenderPlan& plan, std::uint32_t size) {
    if (plan.trial.frameLength != 0) {
        return plan.trial.frameLength;
    }
    if (plan.frames == nullptr) {
        return frameLengthForSize(size, plan.numbered);
    }
    return streamFrameLength(size, plan.numbered, plan.frames->layout);
}

// Builds the stream's frame number `number` of the cycle, without its send time.
void buildNextFrame(const TSenderPlan& plan, unsigned char* frame, std::size_t length,
                    std::uint32_t number) {
    if (plan.frames == nullptr) {
        const timeval unstamped{0, 0};
        buildTestFrame(frame, length, plan.frameHeader, plan.tos, plan.streamIndex, unstamped);
        return;
    }
    buildFlowFrame(frame, length, *plan.frames, plan.tos, plan.streamIndex,
                   flowOfFrame(*plan.frames, plan.seed, plan.streamIndex, number));
}

// Stamps the send time and then the number (in a short frame the number shares the send
// time's field); for a frame of a template the IPv6 checksum last.
void stampDeparture(const TSenderPlan& plan, unsigned char* frame, std::size_t length,
                    const timeval& now, std::uint32_t number) {
    const std::size_t shift = plan.frames != nullptr ? plan.frames->layout.payloadShift() : 0;
    stampSendTime(frame + shift, now);
    if (plan.numbered) {
        stampSequenceNumber(frame + shift, length - shift, number);
    }
    if (plan.frames != nullptr) {
        finishFrame(frame, length, plan.frames->layout);
    }
}

// The gap a sender waits after a departure, in nanoseconds: the drawn one, or in a benchmark
// trial the drawn one scaled (the throughput test's stream drawing a constant 1 us).
std::int64_t nextGapNs(const TSenderPlan& plan, std::int64_t sinceCycleStartUs) {
    const std::uint32_t drawn = plan.timeGenerator != nullptr
                                    ? cappedGap(plan.timeGenerator->generate())
                                    : BENCHMARK_BASE_GAP_US;
    if (plan.trial.rateScale > 0) {
        const bool dropped = plan.trial.dropAfterUs != 0 &&
                             sinceCycleStartUs >= static_cast<std::int64_t>(plan.trial.dropAfterUs);
        return scaledGapNs(drawn, dropped ? plan.trial.rateScale * plan.trial.dropFactor
                                          : plan.trial.rateScale);
    }
    return static_cast<std::int64_t>(drawn) * 1000;
}

// Waits out the gap drawn after a departure: a sleep of the gap itself (relative), or until the
// schedule's next departure is due (absolute); never past `endNs`, the end of the duration on
// the monotonic clock. False when the next departure would fall at or after that end.
bool waitForNextDeparture(const TSenderPlan& plan, std::int64_t gapNs, CDepartureSchedule& schedule,
                          std::int64_t endNs) {
    const std::int64_t now = monotonicNanoseconds();
    if (plan.pacing == TPacing::absolute) {
        schedule.advanceNanoseconds(gapNs);
        // A sender that has been stalled long enough to restart its schedule is competing for
        // its core; spinning would only use up more of its share.
        const std::int64_t spinNs = schedule.restarts() == 0 ? plan.spinNs : 0;
        const TWaitEnd end = waitEnd(schedule.nextDeparture(now), endNs);
        if (!handOverBeforeWait(plan.batch, end.at - now)) {
            waitUntil(end.at, spinNs, CTrafficGenerator::interrupted);
        }
        return !end.durationOver;
    }
    const TWaitEnd end = waitEnd(now + gapNs, endNs);
    if (end.at > now) {
        handOverBeforeWait(plan.batch, INT64_MAX);
        waitUntil(end.at, 0, CTrafficGenerator::interrupted);
    }
    return !end.durationOver;
}

THandOver sendStream(const TSenderPlan& plan) {
    THandOver counts;
    unsigned char ownFrame[MAX_TAGGED_FRAME_LENGTH];
    timeval start;
    gettimeofday(&start, nullptr);
    const bool benchmark = plan.trial.rateScale > 0;
    const bool paced = plan.operation == LOSS_AND_DELAY_TEST || benchmark;
    if (paced && plan.pacing == TPacing::absolute) {
        sharpenTimers();
    }
    if (benchmark) {
        // The tester's ceiling should be the machine's, not what other work leaves of it.
        runBeforeOrdinaryProcesses();
    }
    CDepartureSchedule schedule(monotonicNanoseconds());
    const std::int64_t endNs =
        monotonicNanoseconds() + static_cast<std::int64_t>(plan.duration) * 1000;
    CGapTally tally;
    CDepartureCounter departures(plan.intervalUs);
    while (!plan.silent && !CTrafficGenerator::interrupted) {
        std::uint32_t size =
            plan.frames == nullptr
                ? THROUGHPUT_FRAME_SIZE
                : static_cast<std::uint32_t>(throughputFrameLength(plan.frames->layout));
        if (paced && plan.sizeGenerator != nullptr) {
            size = plan.sizeGenerator->generate();
        }
        const std::size_t length = nextFrameLength(plan, size);
        const bool beside = leavesBeside(plan, counts.sent);
        unsigned char* frame =
            plan.batch != nullptr && !beside ? plan.batch->nextFrame() : ownFrame;
        if (beside || plan.frames != nullptr || plan.batch == nullptr ||
            !plan.batch->holdsFrame(length)) {
            buildNextFrame(plan, frame, length, static_cast<std::uint32_t>(counts.sent));
        }
        if (beside) {
            // The batch's earlier frames leave first, so that this one keeps its place in the
            // stream; before the send time is taken, which the hand-over is no part of.
            plan.batch->flush();
        }

        timeval now;
        gettimeofday(&now, nullptr);
        const std::int64_t elapsed =
            (static_cast<std::int64_t>(now.tv_sec) - start.tv_sec) * 1000000 +
            (static_cast<std::int64_t>(now.tv_usec) - start.tv_usec);
        // A benchmark sender's end is its schedule's (waitForNextDeparture): a frame due before
        // the end leaves even when building it took the clock past the end, so that the sender
        // sends every frame its schedule held.
        if ((!benchmark || counts.sent == 0) &&
            elapsed >= static_cast<std::int64_t>(plan.duration)) {
            break;
        }
        stampDeparture(plan, frame, length, now, static_cast<std::uint32_t>(counts.sent));
        const std::int64_t sinceCycleStart =
            static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec - plan.cycleStart;
        departures.departed(sinceCycleStart);
        if (paced) {
            if (counts.sent == 0) {
                // The schedule starts with the first departure, so that what the first frame
                // cost to build does not shorten the first gap.
                schedule = CDepartureSchedule(monotonicNanoseconds());
            }
            tally.departed(static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec);
        }
        // A refused frame still counts as sent; the refusals are reported beside the count so
        // that the loss they cause is not blamed on the path.
        if (!handOverFrame(plan, frame, length, beside)) {
            ++counts.refused;
        }
        ++counts.sent;

        if (paced && (plan.timeGenerator != nullptr || benchmark)) {
            const std::int64_t gap = nextGapNs(plan, sinceCycleStart);
            tally.drewNanoseconds(gap);
            if (!waitForNextDeparture(plan, gap, schedule, endNs)) {
                break;
            }
        }
    }
    if (plan.batch != nullptr) {
        plan.batch->finish();
        counts.refused += plan.batch->refused();
    }
    counts.offered = tally.offered(schedule.restarts(), schedule.largestLagNs());
    // Counted from the first departure, so that the sender's start-up is not owed; a restart of
    // the schedule, or an interrupt, leaves departures owed.
    counts.scheduled =
        counts.sent + (benchmark && !plan.silent ? schedule.departuresOwed(endNs) : 0);
    // Without its counts per interval the receiver reports them unknown; the counts above stand.
    if (plan.intervalUs != 0) {
        leaveIntervalCounts(departures.counts());
    }
    return counts;
}

// A sender must not outlive the program, whatever ends it (SIGKILL included): the kernel kills
// it when its parent dies. A parent that died before the request was made is seen by the
// sender's having been handed to another process already.
void endWithParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(SENDER_CANNOT_REPORT);
    }
}

} // namespace

void CTrafficGenerator::generate() {
    timeval now;
    gettimeofday(&now, nullptr);
    ++cyclesBegun;
    cycleSeed = seedGiven ? seedForCycle(seed, cyclesBegun)
                          : static_cast<std::uint32_t>(now.tv_sec) ^
                                static_cast<std::uint32_t>(now.tv_usec);
    // Before the cycle's draws begin: the planned rate is estimated from draws of its own.
    // Every path's stamped frames pass the sending interface's captures: AF_XDP sends them beside.
    cycleStamps = sequenceNumbers ? sendStampSourceFor(stampSource) : TStampSource::user;
    cycleStampEvery = cycleStamps == TStampSource::user ? 0 : stampEvery(plannedFramesPerSecond());
    srand(cycleSeed);
    // Taken before any sender starts: every frame of this cycle is sent later.
    cycleStart = static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec;

    for (pid_t& pid : senderPids) {
        pid = -1;
    }
    // After an interrupt a cycle sends nothing, for certain: no sender is started for it.
    sendersSkipped = interrupted != 0;
    if (streams == 0 || sendersSkipped) {
        return;
    }

    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    // The other paths need no libpcap handle, whose socket would take a copy of every frame.
    std::unique_ptr<CXdpPath> xdp =
        sendPath == TSendPath::xdp ? openXdpPath(sendingInterface, count, xdpQueues) : nullptr;
    const bool besideXdp = xdp != nullptr && cycleStamps == TStampSource::kernel;
    const int batchFd =
        sendPath == TSendPath::batched || besideXdp ? openBatchedPath(sendingInterface) : -1;
    if (batchFd < 0 && xdp == nullptr) {
        sendingDevice = openSendingDevice(sendingInterface, errorBuffer);
    }
    if (cycleStamps == TStampSource::kernel) {
        // Listening before the first frame leaves.
        departures = openDepartureCapture(sendingInterface, departureFilter(), errorBuffer);
    }
    prepareHandOverDirectory();
    const std::int64_t spinNs = spinWindowNs(count, usableCores());
    const pid_t parent = getpid();
    for (std::uint32_t i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            endWithParent(parent);
            for (pcap_t** capture : {&receivingDevice, &departures}) {
                if (*capture != nullptr) {
                    pcap_close(*capture);
                    *capture = nullptr;
                }
            }
            std::unique_ptr<CFrameBatch> batch;
            if (xdp != nullptr) {
                batch = std::make_unique<CXdpSender>(*xdp, i);
            } else if (batchFd >= 0) {
                batch = std::make_unique<CBatchSender>(batchFd);
            }
            TSenderPlan plan{
                sendingDevice,     frameHeader,       i,      tos[i], operation,      duration,
                sizeGenerators[i], timeGenerators[i], pacing, spinNs, sequenceNumbers};
            plan.batch = batch.get();
            plan.trial = trial;
            plan.frames = templated[i] ? &frameTemplates[i] : nullptr;
            plan.seed = cycleSeed;
            plan.besideFd = besideXdp ? batchFd : -1;
            plan.stampEvery = cycleStampEvery;
            if (!trial.streamScales.empty()) {
                plan.trial.rateScale = i < trial.streamScales.size() ? trial.streamScales[i] : 0;
                plan.silent = !(plan.trial.rateScale > 0);
            }
            plan.intervalUs = intervalUs;
            plan.cycleStart = cycleStart;
            const THandOver counts = sendStream(plan);
            closeSendingPath(sendingDevice, batchFd);
            // _exit: the parent's buffered output and its exit handlers belong to the parent.
            _exit(leaveHandOver(counts) ? 0 : SENDER_CANNOT_REPORT);
        }
        // A failed fork leaves -1: the receiver reports that stream's count as unknown.
        senderPids[i] = pid;
    }
    // The senders hold their own copies; keeping this one would leak a handle per cycle.
    closeSendingPath(sendingDevice, batchFd);
    sendingDevice = nullptr;
    xdp.reset();
}

void CTrafficGenerator::closeDepartures() {
    if (departures != nullptr) {
        pcap_close(departures);
        departures = nullptr;
    }
}

double CTrafficGenerator::plannedFramesPerSecond() const {
    if (std::isinf(trial.rateScale) || (operation == THROUGHPUT_TEST && trial.rateScale == 0)) {
        return 0; // back to back
    }
    if (baseFramesPerSecond == 0) {
        for (const double gap : meanGapsUs()) {
            baseFramesPerSecond += 1e6 / gap;
        }
    }
    return trial.rateScale > 0 ? baseFramesPerSecond * trial.rateScale : baseFramesPerSecond;
}
