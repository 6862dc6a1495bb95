#ifndef TRAFFICGEN_TESTS_TRAFFICGENERATOR_ACCESS_H
#define TRAFFICGEN_TESTS_TRAFFICGENERATOR_ACCESS_H

// The engine tests' and the fuzz harness's way into the test object: they describe a test without
// the set-up dialogue and reach the handles, sender ids and distributions the engine works with.

#include <cstdint>

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

    static CRandomGenerator* sizeGenerator(const G& g, unsigned int i) {
        return g.sizeGenerators[i];
    }
    static CRandomGenerator* timeGenerator(const G& g, unsigned int i) {
        return g.timeGenerators[i];
    }
    static unsigned char* frameHeader(G& g) { return g.frameHeader; }
    static pid_t* senderPids(G& g) { return g.senderPids; }
    static pcap_t* sendingDevice(const G& g) { return g.sendingDevice; }
    static pcap_t* receivingDevice(const G& g) { return g.receivingDevice; }
};

#endif
