#ifndef TRAFFICGEN_OPTIONS_H
#define TRAFFICGEN_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "batchsender.h"
#include "pacing.h"

// What the command line asks for: `trafficgen [OPTIONS] [CONFIG]`. Options come before the
// optional configuration path; words after the path are ignored.
struct TOptions {
    bool help = false;
    bool version = false;
    // --loss-timeout US: overrides the configuration file's `loss timeout`.
    bool lossTimeoutGiven = false;
    std::uint32_t lossTimeout = 0;
    // Null: no results file. Points into argv.
    const char* jsonPath = nullptr;
    // --pacing relative|absolute and --seed N: override the configuration file's keys.
    bool pacingGiven = false;
    TPacing pacing = TPacing::relative;
    // --send-path pcap|batched|xdp: overrides the configuration file's `send path`.
    bool sendPathGiven = false;
    TSendPath sendPath = TSendPath::pcap;
    // --xdp-queues N: the AF_XDP path sends on at most the interface's first N queues (0: all).
    std::uint32_t xdpQueues = 0;
    bool seedGiven = false;
    std::uint32_t seed = 0;
    // --sequence-numbers: turns the configuration file's `sequence numbers` on.
    bool sequenceNumbers = false;
    // --interval MS: per-interval figures; 0 none.
    std::uint32_t intervalMs = 0;
    // --benchmark: the device benchmark instead of the test; its settings as given, by option
    // name (--frame-sizes and the others), to be applied over the configuration's keys.
    bool benchmark = false;
    std::vector<std::pair<std::string, std::string>> benchmarkSettings;
    // --service-test: the service activation test instead of the test; its settings likewise.
    bool serviceTest = false;
    std::vector<std::pair<std::string, std::string>> serviceTestSettings;
    // Null: the test is described interactively. Points into argv.
    const char* configPath = nullptr;
};

// Parses the command line; an unknown option or a missing argument ends the run with one line
// on standard error and status 1.
TOptions parseOptions(int argc, char** argv);

// The text --help prints: usage and every option.
std::string usageText();

// The text --version prints: "trafficgen X.Y.Z" and a line end.
std::string versionText();

#endif
