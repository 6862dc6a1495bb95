#ifndef TRAFFICGEN_TESTS_TRAFFICGENERATOR_ACCESS_H
#define TRAFFICGEN_TESTS_TRAFFICGENERATOR_ACCESS_H

// The tests' and the fuzz harness's one way into the test object: they describe a test without
// the set-up dialogue and look at what the set-up and the engine left in it.

#include <cstdint>
#include <vector>

#include "trafficgenerator.h"

class CRandomGenerator;

class CTrafficGeneratorTestAccess {
  public:
    using G = CTrafficGenerator;

    static void describe(G& g, std::int32_t operation, std::uint32_t streams,
                         std::uint32_t duration, std::uint32_t cycles) {
        g.operation = operation;
        g.streams = streams;
        g.duration = duration;
        g.cycles = cycles;
    }
    static void interfaces(G& g, const char* sending, const char* receiving) {
        g.sendingInterface = sending;
        g.receivingInterface = receiving;
    }
    static void stream(G& g, unsigned int i, unsigned char tos, CRandomGenerator* size,
                       CRandomGenerator* time) {
        g.tos[i] = tos;
        g.sizeGenerators[i] = size;
        g.timeGenerators[i] = time;
    }
    // Drops the set-up's distributions from the object (their owner deletes them).
    static void forgetGenerators(G& g) {
        for (unsigned int i = 0; i < MAX_STREAMS; ++i) {
            g.sizeGenerators[i] = nullptr;
            g.timeGenerators[i] = nullptr;
        }
    }

    static std::int32_t operation(const G& g) { return g.operation; }
    static std::uint32_t duration(const G& g) { return g.duration; }
    static int tos(const G& g, unsigned int i) { return g.tos[i]; }
    static CRandomGenerator* sizeGenerator(const G& g, unsigned int i) {
        return g.sizeGenerators[i];
    }
    static CRandomGenerator* timeGenerator(const G& g, unsigned int i) {
        return g.timeGenerators[i];
    }
    static const char* sending(const G& g) { return g.sendingInterface; }
    static const char* receiving(const G& g) { return g.receivingInterface; }
    static unsigned char* frameHeader(G& g) { return g.frameHeader; }
    static std::vector<int> header(const G& g) {
        return std::vector<int>(g.frameHeader, g.frameHeader + FRAME_HEADER_SIZE);
    }
    static pid_t* senderPids(G& g) { return g.senderPids; }
    static pcap_t* sendingDevice(const G& g) { return g.sendingDevice; }
    static pcap_t* receivingDevice(const G& g) { return g.receivingDevice; }
    static bool sourceMacGiven(const G& g) { return g.sourceMacGiven; }
    static std::uint32_t lossTimeout(const G& g) { return g.lossTimeout; }
    static TPacing pacing(const G& g) { return g.pacing; }
    static TSendPath sendPath(const G& g) { return g.sendPath; }
    static bool seedGiven(const G& g) { return g.seedGiven; }
    static std::uint32_t seed(const G& g) { return g.seed; }
    static bool sequenceNumbers(const G& g) { return g.sequenceNumbers; }
};

#endif
