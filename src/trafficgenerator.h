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
    bool sentKnown = true;          // false when the sender's count could not be collected
    std::uint32_t refused = 0;      // frames the local system refused to send
    std::uint64_t captureDropped = 0; // frames the capture itself dropped during the cycle
};

// Per-stream measurement state of one cycle, fed frame by frame.
struct TStreamState {
    std::uint32_t received = 0;
    std::uint32_t minDelay = 0xFFFFFFFFu;
    std::uint32_t maxDelay = 0;
    double meanDelay = 0;    // running mean, microseconds
    double sumSquares = 0;   // running sum of squared deviations (Welford)
    std::uint64_t bytes = 0;
    timeval firstArrival{0, 0};
    timeval lastArrival{0, 0};
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

    std::uint32_t getCycles() const { return cycles; }
    std::uint32_t getStreams() const { return streams; }
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
    CRandomGenerator* sizeGenerators[MAX_STREAMS] = {};
    CRandomGenerator* timeGenerators[MAX_STREAMS] = {};
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    // Owned copies of interface names taken from a configuration file; the interface
    // pointers above point into them (names chosen from the list point into the list).
    std::string sendingInterfaceName;
    std::string receivingInterfaceName;

    friend class CTrafficGeneratorTestAccess;
};

// Accounts one captured frame; frames that are not this run's test frames
// (too short, stream letter outside the run's streams) are ignored.
// Returns true when the frame was accounted to a stream.
bool accountFrame(std::vector<TStreamState>& streams, const unsigned char* data,
                  const pcap_pkthdr& header);

// Builds a stream's result from its measurement state and its sender's count.
TResult buildResult(int stream, const TStreamState& state, std::uint32_t sent);

#endif
