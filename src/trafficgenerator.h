#ifndef TRAFFICGEN_TRAFFICGENERATOR_H
#define TRAFFICGEN_TRAFFICGENERATOR_H

#include <csignal>
#include <cstdint>
#include <pcap/pcap.h>
#include <string>
#include <sys/time.h>
#include <sys/types.h>
#include <vector>

#include "utils.h"

class CConfig;
class CRandomGenerator;

constexpr unsigned int MAX_STREAMS = 10;

// One stream's outcome of one cycle.
struct TResult {
    std::int32_t stream = 0;
    std::uint32_t received = 0;
    std::uint32_t sent = 0;
    float loss = 0;
    float throughput = 0;
    std::uint32_t minDelay = 0xFFFFFFFFu;
    std::uint32_t maxDelay = 0;
    float avgDelay = 0;
    float delayVariance = 0;

    // Beyond the table: why the numbers above may not all be the path's doing.
    bool sentKnown = true;            // false when the sender's count could not be collected
    std::uint32_t refused = 0;        // frames the local system refused to send
    std::uint64_t captureDropped = 0; // frames the capture itself dropped during the cycle
    std::uint32_t stragglers = 0;     // frames of earlier cycles that came in this one
};

// Per-stream measurement state of one cycle, fed frame by frame.
struct TStreamState {
    std::uint32_t received = 0;
    std::uint32_t minDelay = 0xFFFFFFFFu;
    std::uint32_t maxDelay = 0;
    double meanDelay = 0;  // running mean, microseconds
    double sumSquares = 0; // running sum of squared deviations (Welford)
    std::uint64_t bytes = 0;
    timeval firstArrival{0, 0};
    timeval lastArrival{0, 0};
    std::uint32_t stragglers = 0; // frames sent before the cycle began, left out of the figures
};

// Tells from the capture's counters whether every frame the kernel has put into the capture
// ring has reached the program. The library takes some frames from the ring without ever
// handing them over (frames the receiving interface sends itself, frames taken before the
// filter was set); their number is learnt whenever the ring has been idle long enough for the
// kernel to hand over every frame in it.
class CRingBalance {
  public:
    // One reading at monotonic time `now` (microseconds): `taken` frames put into the ring and
    // not dropped, then `handed` frames handed over by the end of the drain that followed,
    // both counted from the opening of the capture (wrapping). True when no frame taken by the
    // reading is still waiting in the ring.
    bool drained(std::uint32_t taken, std::uint32_t handed, std::int64_t now);

  private:
    std::uint32_t neverHanded = 0;
    bool haveReading = false;
    std::uint32_t lastTaken = 0;
    std::uint32_t lastHanded = 0;
    std::int64_t unchangedSince = 0;
};

class CTrafficGenerator {
  public:
    CTrafficGenerator();
    ~CTrafficGenerator();
    CTrafficGenerator(const CTrafficGenerator&) = delete;
    CTrafficGenerator& operator=(const CTrafficGenerator&) = delete;

    void getDataFromUser();
    void loadDataFromFile(const char* path);
    void selectDevice();
    CRandomGenerator* createGeneratorByNum(unsigned int number);
    void initialize();
    void handleInterrupt();
    void generate();
    std::vector<TResult> catchPacket();

    // The longest wait for frames after the last sender of a cycle has ended, in microseconds.
    void setLossTimeout(std::uint32_t microseconds) { lossTimeout = microseconds; }

    std::uint32_t getCycles() const { return cycles; }
    std::uint32_t getStreams() const { return streams; }
    const char* getReceivingInterface() const { return receivingInterface; }
    float getConfidenceIntervalProbability() const { return confidenceIntervalProbability; }
    float getQuantile() const { return quantile; }

    static void handleInterrupt(int);
    static volatile std::sig_atomic_t interrupted;

  private:
    // The file set-up proper, on an already parsed configuration.
    void loadDataFromConfig(const CConfig& config);

    std::int32_t operation = 0;
    std::uint32_t streams = 0;
    std::uint32_t duration = 0;
    std::uint32_t cycles = 0;
    float quantile = 0.0f;
    float confidenceIntervalProbability = 1.0f;
    unsigned char tos[MAX_STREAMS] = {};
    pid_t senderPids[MAX_STREAMS] = {};
    pcap_t* sendingDevice = nullptr;
    pcap_t* receivingDevice = nullptr;
    const char* sendingInterface = nullptr;
    const char* receivingInterface = nullptr;
    unsigned char frameHeader[FRAME_HEADER_SIZE] = {};
    // The set-up named the frames' source address; otherwise the sending interface's is used.
    bool sourceMacGiven = false;
    std::uint32_t lossTimeout = DEFAULT_LOSS_TIMEOUT_US;
    // Time of day the current cycle began (microseconds since the epoch); frames sent before
    // it belong to an earlier cycle. The lowest value until the first cycle begins.
    std::int64_t cycleStart = INT64_MIN;
    // Frames the capture has handed over since it was opened, and what that says about the ring.
    std::uint32_t framesHandedOver = 0;
    CRingBalance ringBalance;
    CRandomGenerator* sizeGenerators[MAX_STREAMS] = {};
    CRandomGenerator* timeGenerators[MAX_STREAMS] = {};
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    // Owned copies of interface names taken from a configuration file; the interface
    // pointers above point into them (names chosen from the list point into the list).
    std::string sendingInterfaceName;
    std::string receivingInterfaceName;

    friend class CTrafficGeneratorTestAccess;
};

// Opens the receiving interface `name` for capture as pcap_open_live(name, 1518, 0, 50,
// errorBuffer) would, with a larger capture ring: null on failure, with the very text
// pcap_open_live leaves in errorBuffer for each status.
pcap_t* openReceivingCapture(const char* name, char* errorBuffer);

// Accounts one captured frame; frames that are not this run's test frames
// (too short, stream letter outside the run's streams) are ignored, and a test frame sent
// before `cycleStart` (microseconds since the epoch) is only counted as its stream's straggler.
// Returns true when the frame was accounted to a stream's figures.
bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header, std::int64_t cycleStart);

// The moments that decide when a cycle's capture ends, in microseconds on one clock.
struct TCaptureTimes {
    std::int64_t sendersEnded; // the last sender of the cycle was found ended
    std::int64_t lastArrival;  // the cycle's last counted frame arrived (INT64_MIN: none yet)
    std::int64_t seenThrough;  // every frame that arrived before this has been handed over
    std::int64_t now;
};

// The capture of a cycle is complete once the cycle's frames have been quiet for
// `quietPeriod` after the later of the senders' end and the last arrival, as far as the
// capture has seen, or once `longestWait` has passed since the senders' end.
bool captureComplete(const TCaptureTimes& times, std::int64_t quietPeriod,
                     std::int64_t longestWait);

// Builds a stream's result from its measurement state and its sender's count.
TResult buildResult(int stream, const TStreamState& state, std::uint32_t sent);

#endif
