#ifndef TRAFFICGEN_TRAFFICGENERATOR_H
#define TRAFFICGEN_TRAFFICGENERATOR_H

#include <csignal>
#include <cstdint>
#include <optional>
#include <pcap/pcap.h>
#include <string>
#include <sys/time.h>
#include <sys/types.h>
#include <vector>

#include "accounting.h"
#include "batchsender.h"
#include "frames.h"
#include "pacing.h"
#include "result.h"
#include "results.h"
#include "testframe.h"
#include "textparsing.h"

class CConfig;
class CProgressLine;
class CRandomGenerator;

constexpr unsigned int MAX_STREAMS = 10;
// The kinds of test (the set-up's operation numbers).
constexpr std::int32_t THROUGHPUT_TEST = 1;
constexpr std::int32_t LOSS_AND_DELAY_TEST = 2;

// A benchmark trial's departures: every stream's drawn gaps divided by `rateScale` (0: not a
// benchmark trial, the gaps as drawn; infinity: back to back) and, unless 0, every frame
// `frameLength` bytes long. The throughput test's one stream draws a constant gap of
// BENCHMARK_BASE_GAP_US to be scaled.
struct TTrialPlan {
    double rateScale = 0;
    std::uint32_t frameLength = 0;
    // When not empty: stream i's own factor in place of `rateScale`; 0 keeps the stream silent.
    std::vector<double> streamScales;
    // From `dropAfterUs` after the cycle began (0: never) every stream's rate is multiplied by
    // `dropFactor`, without a pause: a device's recovery from an overload is timed from there.
    std::uint32_t dropAfterUs = 0;
    double dropFactor = 1;
};
constexpr std::uint32_t BENCHMARK_BASE_GAP_US = 1;

class CTrafficGenerator {
  public:
    CTrafficGenerator();
    ~CTrafficGenerator();
    CTrafficGenerator(const CTrafficGenerator&) = delete;
    CTrafficGenerator& operator=(const CTrafficGenerator&) = delete;

    void getDataFromUser();
    // The set-up from a configuration file, parsed by the caller.
    void loadDataFromConfig(const CConfig& config);
    void selectDevice();
    CRandomGenerator* createGeneratorByNum(unsigned int number);
    void initialize();
    void generate();
    std::vector<TResult> catchPacket();

    // The longest wait for frames after the last sender of a cycle has ended, in microseconds.
    void setLossTimeout(std::uint32_t microseconds) { lossTimeout = microseconds; }
    // The line catchPacket() keeps up to date while it captures; null (the default) shows none.
    void setProgressLine(CProgressLine* line) { progressLine = line; }
    // How the senders space their departures.
    void setPacing(TPacing value) { pacing = value; }
    // How the senders hand their frames to the kernel.
    void setSendPath(TSendPath value) {
        sendPath = value;
        sendPathFallback = false;
    }
    // The send path to use where it opens; where it does not, the batched path, said in one
    // line on standard error and in the results file.
    void preferSendPath(TSendPath value) {
        sendPath = value;
        sendPathFallback = true;
    }
    TSendPath getSendPath() const { return sendPath; }
    // The AF_XDP path sends on at most the sending interface's first `queues` queues (0: all).
    void setXdpQueues(std::uint32_t queues) { xdpQueues = queues; }
    // Every frame carries its number within its stream and cycle, and the receiver counts
    // duplicates, reordering and loss episodes by them.
    void setSequenceNumbers(bool on) { sequenceNumbers = on; }
    // Where the delays' send end is stamped (user: by the sender, as the frame says). The other
    // sources join stamps to frames by their numbers: a cycle without numbered frames falls
    // back to the sender's stamps, and says so in its results.
    void setStampSource(TStampSource source) { stampSource = source; }
    TStampSource getStampSource() const { return stampSource; }
    // Whether the set-up chose the stamp source (a key of the file or the option).
    bool stampSourceChosen() const { return stampSourceGiven; }
    void chooseStampSource(TStampSource source) {
        stampSource = source;
        stampSourceGiven = true;
        sequenceNumbers = sequenceNumbers || source != TStampSource::user;
    }
    // Every cycle is cut into intervals of `microseconds` by departure time (0: none).
    void setInterval(std::uint32_t microseconds) { intervalUs = microseconds; }
    std::uint32_t getInterval() const { return intervalUs; }
    // Cycle c seeds the draws with seed + c - 1 instead of the time of day.
    void setSeed(std::uint32_t value) {
        seed = value;
        seedGiven = true;
    }

    // The next cycles are benchmark trials of `durationUs` each (pacing absolute).
    void setTrial(const TTrialPlan& plan, std::uint32_t durationUs) {
        trial = plan;
        duration = durationUs;
        pacing = TPacing::absolute;
    }
    // Sends `count` learning frames (learningframe.h) from the receiving interface, a few
    // milliseconds apart; a frame the interface refuses is not retried.
    void sendLearningFrames(std::uint32_t count);
    // The mean gap each stream draws (microseconds), estimated from draws for random ones; and
    // the mean length of the frames the set-up configures.
    std::vector<double> meanGapsUs() const;
    double meanFrameLength() const;
    // Each stream's mean frame length as configured (without the check sequence).
    std::vector<double> meanFrameLengths() const;

    // The layout of stream `index`'s frames (0-based): its tags and IP version.
    TFrameLayout streamLayout(std::uint32_t index) const { return streamFrames[index].layout(); }

    std::int32_t getOperation() const { return operation; }
    const char* getSendingInterface() const { return sendingInterface; }
    std::uint32_t getCycles() const { return cycles; }
    std::uint32_t getDuration() const { return duration; }
    std::uint32_t getStreams() const { return streams; }
    const char* getReceivingInterface() const { return receivingInterface; }
    float getConfidenceIntervalProbability() const { return confidenceIntervalProbability; }
    float getQuantile() const { return quantile; }
    // The test as set up, for the results file; after initialize().
    TTestDescription describe() const;

    // Set by the interrupt handler (run.h); every process of the run reads its own copy.
    static volatile std::sig_atomic_t interrupted;
    // Set as well when the signal was one that the senders may not have got themselves.
    static volatile std::sig_atomic_t interruptedAlone;

  private:
    // The frames per second the cycle's senders plan together; 0 for back to back.
    double plannedFramesPerSecond() const;
    // Reads the send stamps that are waiting into the streams' figures.
    void takeSendStamps(std::vector<TStreamState>& streams);
    // Closes the capture of the cycle's departures.
    void closeDepartures();
    // The stream section's frame keys (tags, IPv6, flows, next hop) of stream `index`.
    void loadStreamFrames(const CConfig& config, std::uint32_t index, const std::string& section);
    // Whether some stream takes its source (or destination) address from the interface's IPv4
    // address: only then must the interface have one.
    bool needsInterfaceIpv4(bool source) const;
    // After the interfaces are open: the next hops' MAC addresses and every stream's frame
    // template (streamframes.cpp).
    void prepareStreamFrames();
    // The capture filter for the streams' frames.
    std::string captureFilterText() const;
    // The departure capture's filter: the stamped frames of this cycle's streams.
    std::string departureFilter() const;
    // The learning frame `plain` as the streams need it: untagged, and under each stream's tags.
    std::vector<std::vector<unsigned char>>
    learningFramesOfStreams(const std::vector<unsigned char>& plain) const;
    // Stream `index`'s frames for the results file; none for the plain frames.
    std::optional<TStreamFramesDescription> describeFrames(std::uint32_t index) const;
    // Opens the AF_XDP path once to learn whether it works here; falls back or ends the run.
    void checkXdpPath();
    // Says, once per run, why asked-for hardware stamps give way to the kernel's.
    void explainKernelStamps();

    std::int32_t operation = 0;
    std::uint32_t streams = 0;
    std::uint32_t duration = 0;
    std::uint32_t cycles = 0;
    float quantile = 0.0f;
    float confidenceIntervalProbability = 1.0f;
    unsigned char tos[MAX_STREAMS] = {};
    pid_t senderPids[MAX_STREAMS] = {};
    // The current cycle started no sender because the run had been interrupted before it.
    bool sendersSkipped = false;
    pcap_t* sendingDevice = nullptr;
    pcap_t* receivingDevice = nullptr;
    const char* sendingInterface = nullptr;
    const char* receivingInterface = nullptr;
    unsigned char frameHeader[FRAME_HEADER_SIZE] = {};
    // The set-up named the frames' source address; otherwise the sending interface's is used.
    bool sourceMacGiven = false;
    std::uint32_t lossTimeout = DEFAULT_LOSS_TIMEOUT_US;
    CProgressLine* progressLine = nullptr;
    TPacing pacing = TPacing::relative;
    TSendPath sendPath = TSendPath::pcap;
    bool sendPathFallback = false;
    // Why the preferred send path could not be used (empty: it is used).
    std::string sendPathFallbackReason;
    // Why hardware stamps, when asked for, gave way to the kernel's.
    std::string stampFallbackReason;
    bool xdpZeroCopy = false;
    std::uint32_t xdpQueues = 0;
    bool sequenceNumbers = false;
    TStampSource stampSource = TStampSource::user;
    bool stampSourceGiven = false;
    // The current cycle's send stamps: the source the send path gives and which frames.
    TStampSource cycleStamps = TStampSource::user;
    std::uint32_t cycleStampEvery = 0;
    // The kernel's stamps: a capture of the stamped frames leaving the sending interface.
    pcap_t* departures = nullptr;
    // The senders' planned frames per second before a benchmark trial scales them (0: not yet
    // estimated).
    mutable double baseFramesPerSecond = 0;
    std::uint32_t intervalUs = 0;
    TTrialPlan trial;
    bool seedGiven = false;
    std::uint32_t seed = 0;
    // Cycles begun so far: the number of the current one while it runs.
    std::uint32_t cyclesBegun = 0;
    // The seed of the current cycle's draws, given or taken from the time of day.
    std::uint32_t cycleSeed = 0;
    // Time of day the current cycle began (microseconds since the epoch); frames sent before
    // it belong to an earlier cycle. The lowest value until the first cycle begins.
    std::int64_t cycleStart = INT64_MIN;
    // Frames the capture has handed over since it was opened, and what that says about the ring.
    std::uint32_t framesHandedOver = 0;
    CRingBalance ringBalance;
    // Each stream's frame keys, and the template its frames are built from unless they are the
    // plain frames of frameHeader (templated false).
    TStreamFrames streamFrames[MAX_STREAMS];
    TFrameTemplate frameTemplates[MAX_STREAMS];
    bool templated[MAX_STREAMS] = {};
    // The global "next hop": the destination MAC address is that of this IP address.
    std::string nextHop;
    CRandomGenerator* sizeGenerators[MAX_STREAMS] = {};
    CRandomGenerator* timeGenerators[MAX_STREAMS] = {};
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    // Owned copies of interface names taken from a configuration file; the interface
    // pointers above point into them (names chosen from the list point into the list).
    std::string sendingInterfaceName;
    std::string receivingInterfaceName;

    friend class CTrafficGeneratorTestAccess;
};

#endif
