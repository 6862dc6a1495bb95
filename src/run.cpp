#include "run.h"

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

#include "interfaceclaim.h"
#include "options.h"
#include "resultsfile.h"
#include "trafficgenerator.h"
#include "utils.h"

volatile std::sig_atomic_t CTrafficGenerator::interrupted = 0;

namespace {

void onInterrupt(int) {
    CTrafficGenerator::interrupted = 1;
}

} // namespace

void installInterruptHandler() {
    // glibc's signal() keeps the handler installed and restarts interrupted system calls.
    std::signal(SIGINT, onInterrupt);
}

int runTrafficGenerator(int argc, char** argv) {
    const TOptions options = parseOptions(argc, argv);
    // Answered before the test object exists: neither needs root.
    if (options.help) {
        std::cout << usageText();
        return 0;
    }
    if (options.version) {
        std::cout << versionText();
        return 0;
    }
    CTrafficGenerator generator;
    if (options.jsonPath != nullptr) {
        // Before the set-up: an hour-long run must not be lost to a typo in the path.
        requireWritableResultsPath(options.jsonPath);
    }
    if (options.configPath == nullptr) {
        generator.getDataFromUser();
    } else {
        generator.loadDataFromFile(options.configPath);
    }
    if (options.lossTimeoutGiven) {
        generator.setLossTimeout(options.lossTimeout);
    }
    if (options.pacingGiven) {
        generator.setPacing(options.pacing);
    }
    if (options.sendPathGiven) {
        generator.setSendPath(options.sendPath);
    }
    if (options.seedGiven) {
        generator.setSeed(options.seed);
    }
    if (options.sequenceNumbers) {
        generator.setSequenceNumbers(true);
    }
    // Before anything is opened: a busy receiving interface stops the run untouched.
    if (!claimReceivingInterface(generator.getReceivingInterface())) {
        fail(std::string("Prijimaci rozhrani ") + generator.getReceivingInterface() +
             " uz pouziva jiny beh programu trafficgen!");
    }
    generator.initialize();
    printCycleTableHead(std::cout);
    std::vector<TStreamAccumulator> accumulators(generator.getStreams());
    installInterruptHandler();
    // On a terminal the running cycle shows on standard error; scripts and logs get nothing.
    CProgressLine progress(std::cerr, generator.getDuration());
    CProgressLine* shownProgress = isatty(STDERR_FILENO) == 1 ? &progress : nullptr;
    generator.setProgressLine(shownProgress);
    std::optional<CResultsFile> results;
    if (options.jsonPath != nullptr) {
        results.emplace(options.jsonPath, generator.describe());
    }
    runCycles(generator, accumulators, std::cout, std::cerr, shownProgress,
              results ? &*results : nullptr);
    if (results) {
        results->write(accumulators, CTrafficGenerator::interrupted != 0);
    }
    return 0;
}
