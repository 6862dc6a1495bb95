// The packet engine (interface opening, senders, receiver) against the scripted libpcap of
// fake_pcap.cpp: exact numbers from chosen frames and capture times, no network needed.

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fake_pcap.h"
#include "handover.h"
#include "randomgenerator.h"
#include "testframe.h"
#include "trafficgenerator.h"
#include "trafficgenerator_access.h"

namespace {

using Access = CTrafficGeneratorTestAccess;
using Clock = std::chrono::steady_clock;
using fakepcap::record;
using fakepcap::script;

const unsigned char DESTINATION[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// No file is left in the run's private hand-over directory (the test process is the run).
bool noHandOverFiles() {
    const std::string path = handOverPath(0);
    return std::filesystem::is_empty(path.substr(0, path.rfind('/')));
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), size);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A stand-in sender: a child that runs `body` and ends with its result as exit status.
pid_t startChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    return pid;
}

// What a sender leaves behind: its sent and refused counts under its own process id.
int reportCounts(std::uint32_t sent, std::uint32_t refused) {
    THandOver counts;
    counts.sent = sent;
    counts.refused = refused;
    return leaveHandOver(counts) ? 0 : 3;
}

fakepcap::TFrame capturedFrame(unsigned int streamIndex, std::size_t length, long long sentAtUs,
                               long delayUs) {
    static const unsigned char headerTemplate[FRAME_HEADER_SIZE] = {};
    fakepcap::TFrame frame;
    frame.data.resize(length);
    const timeval sent{static_cast<time_t>(sentAtUs / 1000000),
                       static_cast<suseconds_t>(sentAtUs % 1000000)};
    buildTestFrame(frame.data.data(), length, headerTemplate, 0, streamIndex, sent);
    const long long captured = sentAtUs + delayUs;
    frame.header.ts.tv_sec = captured / 1000000;
    frame.header.ts.tv_usec = captured % 1000000;
    frame.header.caplen = static_cast<bpf_u_int32>(length);
    frame.header.len = static_cast<bpf_u_int32>(length);
    return frame;
}

void onInterrupt(int) {
    CTrafficGenerator::interrupted = 1;
}

// Every test runs in a working directory of its own, for the files it plants, with a test
// object whose receiving side has been opened on the loopback interface. The hand-over files
// appear in the run's private directory, which lives as long as the test process.
class EngineTest : public testing::Test {
  protected:
    void SetUp() override {
        fakepcap::reset(true);
        ASSERT_NE(getcwd(previousDirectory, sizeof previousDirectory), nullptr);
        std::strcpy(directory, "/tmp/trafficgen-engine-XXXXXX");
        ASSERT_NE(mkdtemp(directory), nullptr);
        ASSERT_EQ(chdir(directory), 0);
        prepareHandOverDirectory();
        CTrafficGenerator::interrupted = 0;
        std::memcpy(Access::frameHeader(generator), DESTINATION, 6);
        Access::interfaces(generator, "lo", "lo");
    }

    void TearDown() override {
        CTrafficGenerator::interrupted = 0;
        signal(SIGINT, SIG_DFL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        EXPECT_EQ(chdir(previousDirectory), 0);
        const std::string command = std::string("rm -rf ") + directory;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Operation 2 with constant sizes and waits for every stream.
    void describeLossTest(std::uint32_t streams, std::uint32_t duration, std::uint32_t size,
                          std::uint32_t wait) {
        Access::describe(generator, 2, streams, duration, 1);
        for (std::uint32_t i = 0; i < streams; ++i) {
            distributions.emplace_back(new CConstantDistribution);
            CConstantDistribution* sizes = distributions.back().get();
            sizes->m_value = size;
            distributions.emplace_back(new CConstantDistribution);
            CConstantDistribution* waits = distributions.back().get();
            waits->m_value = wait;
            Access::stream(generator, i, static_cast<unsigned char>(0x10 + i), sizes, waits);
        }
    }

    std::vector<std::unique_ptr<CConstantDistribution>> distributions;
    char previousDirectory[4096] = {};
    char directory[64] = {};
    CTrafficGenerator generator;
};

// --- Interface opening ---------------------------------------------------------------------

TEST_F(EngineTest, InitializeCompletesTheTemplateAndOpensTheReceiverForPolling) {
    Access::describe(generator, 2, 1, 1000, 1);
    generator.initialize();

    const unsigned char expected[FRAME_HEADER_SIZE] = {
        0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0,    0,    0,    0,    0, 0, 0x08, 0x00,
        0x45, 0,    0,    0,    0,    0,    0,    0,    255,  17,   0, 0, 127,  0,
        0,    1,    127,  0,    0,    1,    0x82, 0x35, 0x82, 0x35, 0, 0, 0,    0};
    EXPECT_EQ(0, std::memcmp(Access::frameHeader(generator), expected, FRAME_HEADER_SIZE));

    EXPECT_EQ(record().createdOn, "lo");
    EXPECT_EQ(record().direction, PCAP_D_IN);
    EXPECT_EQ(record().filter, "dst port 33333");
    EXPECT_TRUE(record().filterInstalled);
    EXPECT_TRUE(record().nonblock);
    EXPECT_NE(Access::receivingDevice(generator), nullptr);
    // The sending interface is opened per cycle, not here.
    EXPECT_EQ(record().sendingOpened, 0);
}

TEST_F(EngineTest, ReceivingSideFailuresEndWithTheirMessages) {
    Access::describe(generator, 2, 1, 1000, 1);
    script().activateStatus = PCAP_ERROR_NO_SUCH_DEVICE;
    script().activateError = "SIOCGIFINDEX: No such device";
    EXPECT_EXIT(generator.initialize(), testing::ExitedWithCode(1),
                "^Nepodarilo se otevrit prijimaci zarizeni lo: lo: No such device exists "
                "\\(SIOCGIFINDEX: No such device\\)\n$");

    fakepcap::reset();
    script().lookupnetError = "lo: no IPv4 address assigned";
    EXPECT_EXIT(generator.initialize(), testing::ExitedWithCode(1),
                "^Neprosla funkce pcap_lookupnet pro prichozi rozhrani: lo: no IPv4 address "
                "assigned\n$");
}

TEST_F(EngineTest, AnInterfaceWithoutAnAddressEndsTheRun) {
    const pid_t probe = startChild([] { return unshare(CLONE_NEWNET) == 0 ? 0 : 1; });
    int status = 0;
    waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        GTEST_SKIP() << "no permission to create a network namespace";
    }
    Access::describe(generator, 2, 1, 1000, 1);
    // A fresh network namespace has a loopback interface without any address.
    EXPECT_EXIT(
        {
            unshare(CLONE_NEWNET);
            generator.initialize();
        },
        testing::ExitedWithCode(1), "^Rozhrani lo nema adresu IPv4!\n$");
}

// --- Senders -------------------------------------------------------------------------------

TEST_F(EngineTest, SendersPutSpecifiedFramesOnTheWireAndReportTheirCounts) {
    describeLossTest(2, 60000, 100, 2000);
    generator.initialize();
    generator.generate();
    const pid_t first = Access::senderPids(generator)[0];
    const pid_t second = Access::senderPids(generator)[1];
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
    const std::vector<TResult> results = generator.catchPacket();

    ASSERT_EQ(results.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const TResult& result = results[i];
        EXPECT_EQ(result.stream, i + 1);
        EXPECT_TRUE(result.sentKnown);
        // About 60 ms / 2 ms; the sleeps' overshoot only lowers the count.
        EXPECT_GE(result.sent, 5u);
        EXPECT_LE(result.sent, 31u);
        EXPECT_EQ(result.received, result.sent);
        EXPECT_EQ(result.loss, 0.0f);
        EXPECT_EQ(result.refused, 0u);
        EXPECT_LE(result.maxDelay, 1000000u);
    }
    // Reaped and cleaned up: no hand-over file is left, and no child is left to wait for.
    EXPECT_TRUE(noHandOverFiles());
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), -1);
    EXPECT_EQ(waitpid(second, nullptr, WNOHANG), -1);

    ASSERT_FALSE(record().delivered.empty());
    const std::vector<unsigned char>& frame = record().delivered.front();
    ASSERT_EQ(frame.size(), 100u);
    const unsigned char letter = frame[42];
    ASSERT_TRUE(letter == 'A' || letter == 'B');
    EXPECT_EQ(0, std::memcmp(frame.data(), DESTINATION, 6));
    EXPECT_EQ(frame[15], 0x10 + (letter - 'A'));
}

TEST_F(EngineTest, NumberedFramesCountEachFrameOnceAndCopiesApart) {
    describeLossTest(1, 30000, 60, 2000);
    generator.setSequenceNumbers(true);
    generator.initialize();
    // A copy of frame 0 arrives before the wire's own frame 0: stamped as sent a second from
    // now, after the cycle's start, and captured now.
    timeval now;
    gettimeofday(&now, nullptr);
    const long long soon = (static_cast<long long>(now.tv_sec) + 1) * 1000000 + now.tv_usec;
    fakepcap::TFrame copy = capturedFrame(0, MIN_NUMBERED_FRAME_LENGTH, soon, -1000000);
    stampSequenceNumber(copy.data.data(), MIN_NUMBERED_FRAME_LENGTH, 0);
    script().frames.push_back(copy);
    generator.generate();
    const std::vector<TResult> results = generator.catchPacket();

    ASSERT_EQ(results.size(), 1u);
    const TResult& result = results[0];
    ASSERT_TRUE(result.numbered);
    EXPECT_GE(result.sent, 3u);
    EXPECT_EQ(result.received, result.sent);
    EXPECT_EQ(result.loss, 0.0f);
    EXPECT_EQ(result.sequence.duplicates, 1u);
    EXPECT_EQ(result.sequence.reordered, 0u);
    EXPECT_EQ(result.sequence.lossEpisodes, 0u);
    // The sender's frames, grown from 60 bytes to hold their numbers 0, 1, 2, ... in order.
    const std::vector<std::vector<unsigned char>>& delivered = record().delivered;
    ASSERT_EQ(delivered.size(), result.sent + 1);
    for (std::uint32_t n = 0; n < result.sent; ++n) {
        const std::vector<unsigned char>& frame = delivered[n + 1];
        ASSERT_EQ(frame.size(), MIN_NUMBERED_FRAME_LENGTH);
        std::uint32_t number;
        std::memcpy(&number, frame.data() + SEQUENCE_NUMBER_OFFSET, 4);
        EXPECT_EQ(number, n);
    }
}

// The parent releases its sending handle every cycle; the capture's drops of the cycle are
// reported for every stream.
TEST_F(EngineTest, ParentReleasesItsSendingHandleEveryCycle) {
    describeLossTest(3, 1000, 60, 0);
    script().dropsAfterFirstStats = 7;
    generator.initialize();
    for (int cycle = 1; cycle <= 3; ++cycle) {
        generator.generate();
        EXPECT_EQ(record().sendingOpened, cycle);
        EXPECT_EQ(record().sendingClosed, cycle);
        EXPECT_EQ(Access::sendingDevice(generator), nullptr);
        const std::vector<TResult> results = generator.catchPacket();
        ASSERT_EQ(results.size(), 3u);
        for (const TResult& result : results) {
            EXPECT_EQ(result.captureDropped, cycle == 1 ? 7u : 0u);
        }
    }
    EXPECT_TRUE(noHandOverFiles());
}

TEST_F(EngineTest, InterruptedRunsSendNothingButStillReport) {
    describeLossTest(2, 1000000, 60, 0);
    generator.initialize();
    CTrafficGenerator::interrupted = 1;
    const Clock::time_point start = Clock::now();
    generator.generate();
    const std::vector<TResult> results = generator.catchPacket();
    EXPECT_LT(millisecondsSince(start), 500);
    // No sender is started and the sending interface is not opened for a cycle after it.
    EXPECT_EQ(record().sendingOpened, 0);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    ASSERT_EQ(results.size(), 2u);
    for (const TResult& result : results) {
        EXPECT_TRUE(result.sentKnown);
        EXPECT_EQ(result.sent, 0u);
        EXPECT_EQ(result.loss, 0.0f);
    }
}

TEST_F(EngineTest, InterruptCutsALongWaitShort) {
    // One frame, then a wait of 10 s (a drawn 25 s is capped) that the interrupt ends; the
    // same with the wait for a departure of an absolute schedule.
    describeLossTest(1, 30000000, 60, 25000000);
    generator.initialize();
    signal(SIGINT, onInterrupt);
    for (TPacing pacing : {TPacing::relative, TPacing::absolute}) {
        generator.setPacing(pacing);
        const Clock::time_point start = Clock::now();
        generator.generate();
        const pid_t sender = Access::senderPids(generator)[0];
        const pid_t killer = startChild([sender] {
            usleep(200000);
            kill(sender, SIGINT);
            return 0;
        });
        std::vector<TResult> results = generator.catchPacket();
        waitpid(killer, nullptr, 0);
        EXPECT_LT(millisecondsSince(start), 2000);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0].sentKnown);
        EXPECT_EQ(results[0].sent, 1u);
        EXPECT_EQ(results[0].received, 1u);
    }
}

TEST_F(EngineTest, AbsolutePacingNeverLeavesEarlyAndHandsOverItsGaps) {
    describeLossTest(1, 60000, 100, 2000);
    generator.setPacing(TPacing::absolute);
    generator.initialize();
    generator.generate();
    const std::vector<TResult> results = generator.catchPacket();
    ASSERT_EQ(results.size(), 1u);
    const TResult& result = results[0];
    ASSERT_GE(result.sent, 2u);
    EXPECT_EQ(result.offered.gaps, result.sent - 1);
    EXPECT_EQ(result.offered.drawnMeanGapUs, 2000.0);
    // Departure k is not due before the first departure plus k gaps; a stall can only widen
    // the mean (the stamps are taken to the microsecond).
    EXPECT_GE(result.offered.meanGapUs, 1999.9);
    EXPECT_LE(result.offered.meanGapUs, 60000.0);
    EXPECT_EQ(result.scheduleKept, keptSchedule(result.offered));
}

TEST_F(EngineTest, CycleCDrawsFromTheSeedPlusCMinusOne) {
    describeLossTest(0, 1000, 60, 0);
    generator.setSeed(4294967295u);
    std::vector<int> drawn;
    for (int cycle = 1; cycle <= 2; ++cycle) {
        generator.generate();
        drawn.push_back(rand());
    }
    srand(4294967295u);
    EXPECT_EQ(drawn[0], rand());
    srand(0);
    EXPECT_EQ(drawn[1], rand());
}

TEST_F(EngineTest, SenderNeverWritesThroughAPlantedLinkOrIntoAForeignFile) {
    describeLossTest(1, 1000, 60, 0);
    generator.initialize();
    writeFile("victim", "precious", 8);
    // Just before the sender writes its file, a link to the victim appears under its name.
    const pid_t parent = getpid();
    const std::string victim = std::string(directory) + "/victim";
    script().onSendingClose = [parent, victim] {
        if (getpid() != parent) {
            symlink(victim.c_str(), handOverPath(getpid()).c_str());
        }
    };
    generator.generate();
    script().onSendingClose = nullptr;
    const pid_t sender = Access::senderPids(generator)[0];
    const std::vector<TResult> results = generator.catchPacket();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].sentKnown);
    EXPECT_EQ(results[0].sent, 0u);
    EXPECT_TRUE(std::isnan(results[0].loss));
    EXPECT_EQ(readFile("victim"), "precious");
    // Not the receiver's to delete: the sender did not make it. Removed here for the next test.
    EXPECT_TRUE(std::filesystem::exists(handOverPath(sender)));
    unlink(handOverPath(sender).c_str());
}

// --- Receiver with stand-in senders ---------------------------------------------------------

TEST_F(EngineTest, ReceiverGivesExactFiguresForScriptedFrames) {
    Access::describe(generator, 2, 2, 1000, 1);
    generator.initialize();
    const long long base = 1700000000LL * 1000000;
    script().frames.push_back(capturedFrame(1, 1000, base - 100, 100));
    script().frames.push_back(capturedFrame(5, 1000, base, 1)); // not one of this run's streams
    script().frames.push_back(capturedFrame(1, 1000, base + 500000 - 200, 200));
    fakepcap::TFrame runt = capturedFrame(0, 59, base, 1);
    runt.header.caplen = 40;
    script().frames.push_back(runt);
    script().frames.push_back(capturedFrame(1, 1000, base + 1000000 - 300, 300));

    Access::senderPids(generator)[0] = startChild([] { return reportCounts(5, 0); });
    Access::senderPids(generator)[1] = startChild([] { return reportCounts(4, 1); });
    const std::vector<TResult> results = generator.catchPacket();

    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].stream, 1);
    EXPECT_EQ(results[0].received, 0u);
    EXPECT_EQ(results[0].sent, 5u);
    EXPECT_EQ(results[0].loss, 100.0f);
    EXPECT_EQ(results[0].minDelay, 4294967295u);
    EXPECT_EQ(results[0].maxDelay, 0u);
    EXPECT_TRUE(std::isnan(results[0].delayVariance));
    EXPECT_EQ(results[0].throughput, 0.0f);

    EXPECT_EQ(results[1].stream, 2);
    EXPECT_EQ(results[1].received, 3u);
    EXPECT_EQ(results[1].sent, 4u);
    EXPECT_EQ(results[1].refused, 1u);
    EXPECT_FLOAT_EQ(results[1].loss, 25.0f);
    // The figures of these three frames are the accounting test's; here they only arrive.
    EXPECT_EQ(results[1].maxDelay, 300u);
    EXPECT_TRUE(noHandOverFiles());
}

TEST_F(EngineTest, SendersThatCannotReportHaveAnUnknownCountAndTheirFilesAreLeftAlone) {
    Access::describe(generator, 2, 6, 1000, 1);
    generator.initialize();
    writeFile("target", "\x4d\x00\x00\x00\x00\x00\x00\x00", 8);
    pid_t* pids = Access::senderPids(generator);
    // Killed by a signal after leaving a complete file.
    pids[0] = startChild([] {
        reportCounts(9, 0);
        raise(SIGKILL);
        return 0;
    });
    // Failed with a file under its name.
    pids[1] = startChild([] {
        reportCounts(9, 0);
        return 2;
    });
    // Reported success with a short file.
    pids[2] = startChild([] {
        const std::uint32_t sent = 9;
        writeFile(handOverPath(getpid()), &sent, 4);
        return 0;
    });
    // Reported success, but its name is a link to another file.
    const std::string target = std::string(directory) + "/target";
    pids[3] = startChild(
        [target] { return symlink(target.c_str(), handOverPath(getpid()).c_str()) == 0 ? 0 : 3; });
    // Never started.
    pids[4] = -1;
    // Not a child of this process: waiting for it fails at once, the receiver must not hang.
    pids[5] = 1;
    const Clock::time_point start = Clock::now();
    const std::vector<TResult> results = generator.catchPacket();
    EXPECT_LT(millisecondsSince(start), 500);

    ASSERT_EQ(results.size(), 6u);
    for (const TResult& result : results) {
        EXPECT_FALSE(result.sentKnown) << result.stream;
        EXPECT_EQ(result.sent, 0u) << result.stream;
        EXPECT_TRUE(std::isnan(result.loss)) << result.stream;
    }
    EXPECT_TRUE(std::filesystem::exists(handOverPath(pids[0])));
    EXPECT_TRUE(std::filesystem::exists(handOverPath(pids[1])));
    EXPECT_EQ(readFile("target"), std::string("\x4d\x00\x00\x00\x00\x00\x00\x00", 8));
}

TEST_F(EngineTest, CaptureErrorEndsTheRun) {
    Access::describe(generator, 2, 1, 1000, 1);
    generator.initialize();
    script().frames.push_back(capturedFrame(0, 100, 1000000, 5));
    script().readError = "The interface went down";
    EXPECT_EXIT(generator.catchPacket(), testing::ExitedWithCode(1),
                "^Error reading the packets: The interface went down\n$");
}

} // namespace
