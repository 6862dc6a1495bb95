#include "run.h"

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

#include "benchmarkrun.h"
#include "config.h"
#include "fail.h"
#include "handover.h"
#include "interfaceclaim.h"
#include "options.h"
#include "receivesteering.h"
#include "resultsfile.h"
#include "servicetestrun.h"
#include "trafficgenerator.h"

volatile std::sig_atomic_t CTrafficGenerator::interrupted = 0;
volatile std::sig_atomic_t CTrafficGenerator::interruptedAlone = 0;

namespace {

void onInterrupt(int signal) {
    CTrafficGenerator::interrupted = 1;
    // A terminal's interrupt key reaches the whole process group, the senders included;
    // SIGTERM and SIGHUP are usually sent to the program alone.
    if (signal != SIGINT) {
        CTrafficGenerator::interruptedAlone = 1;
    }
}

// Whether the configuration file (none for the dialogue) has the global key `key`.
bool configNames(const std::optional<CConfig>& config, const char* key) {
    return config && config->hasKey(key, "");
}

// The benchmark's settings: the defaults, the configuration file's keys, then the options.
TBenchmarkSettings benchmarkSettings(const TOptions& options,
                                     const std::optional<CConfig>& config) {
    TBenchmarkSettings settings;
    if (config) {
        applyBenchmarkKeys(settings, *config);
    }
    for (const auto& [name, text] : options.benchmarkSettings) {
        applyBenchmarkSetting(settings, name, text);
    }
    return settings;
}

// The benchmark in place of the cycles, on a generator that is set up and initialized; returns
// the exit status: 0 without expected rates, else that of its verdict. An interrupted benchmark
// that found no failure has no verdict.
int runBenchmarkMode(CTrafficGenerator& generator, const TBenchmarkSettings& settings,
                     std::optional<CResultsFile>& results) {
    installInterruptHandler();
    std::ostream* progress = isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr;
    const TBenchmarkResults benchmark = runBenchmark(generator, settings, std::cout, progress);
    const bool interrupted = CTrafficGenerator::interrupted != 0;
    if (results) {
        results->writeBenchmark(benchmark, interrupted);
    }
    if (!benchmark.verdict) {
        return 0;
    }
    if (interrupted && *benchmark.verdict != TVerdict::deviceFailed) {
        return 1;
    }
    return exitStatusOf(*benchmark.verdict);
}

// The service test's settings: the defaults, the configuration file's keys, then the options.
TServiceTestSettings serviceTestSettings(const TOptions& options, const CConfig& config) {
    TServiceTestSettings settings;
    applyServiceTestKeys(settings, config);
    for (const auto& [name, text] : options.serviceTestSettings) {
        applyServiceTestSetting(settings, name, text);
    }
    return settings;
}

// The service test in place of the cycles; returns the exit status of its verdict. An
// interrupted test that found no failure has no verdict.
int runServiceTestMode(CTrafficGenerator& generator, const std::vector<TService>& services,
                       const TServiceTestSettings& settings, std::optional<double> lineRateBps,
                       std::optional<CResultsFile>& results) {
    installInterruptHandler();
    std::ostream* progress = isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr;
    const TServiceTestResults test =
        runServiceTest(generator, services, settings, lineRateBps, std::cout, progress);
    const bool interrupted = CTrafficGenerator::interrupted != 0;
    if (results) {
        results->writeServiceTest(test, interrupted);
    }
    if (interrupted && test.verdict != TVerdict::deviceFailed) {
        return 1;
    }
    return exitStatusOf(test.verdict);
}

} // namespace

void installInterruptHandler() {
    // glibc's signal() keeps the handler installed and restarts interrupted system calls.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, onInterrupt);
    }
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
    // Capture and injection need root: refused before anything is asked or opened.
    if (getuid() != 0) {
        fail("Musite program spustit jako administrator!");
    }
    CTrafficGenerator generator;
    if (options.jsonPath != nullptr) {
        // Before the set-up: an hour-long run must not be lost to a typo in the path.
        requireWritableResultsPath(options.jsonPath);
    }
    // The configuration file, parsed once: the set-up and the modes' settings read it.
    std::optional<CConfig> config;
    if (options.configPath == nullptr) {
        generator.getDataFromUser();
    } else {
        config.emplace(options.configPath);
        generator.loadDataFromConfig(*config);
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
    generator.setXdpQueues(options.xdpQueues);
    if (options.sequenceNumbers) {
        generator.setSequenceNumbers(true);
    }
    if (options.stampSourceGiven) {
        generator.chooseStampSource(options.stampSource);
    }
    if (options.intervalMs != 0) {
        generator.setInterval(options.intervalMs * 1000);
    }
    if ((options.benchmark || options.serviceTest) && !options.sendPathGiven &&
        !configNames(config, "send path")) {
        // The benchmark's senders should reach the highest rates the machine allows: AF_XDP
        // where it opens, the batched path otherwise.
        generator.preferSendPath(TSendPath::xdp);
    }
    // Before anything is opened: a busy receiving interface stops the run untouched.
    if (!claimReceivingInterface(generator.getReceivingInterface())) {
        fail(std::string("Prijimaci rozhrani ") + generator.getReceivingInterface() +
             " uz pouziva jiny beh programu trafficgen!");
    }
    // Read before anything is opened: a bad key ends the run untouched.
    const TBenchmarkSettings settings =
        options.benchmark ? benchmarkSettings(options, config) : TBenchmarkSettings{};
    std::vector<TService> services;
    TServiceTestSettings serviceSettings;
    if (options.serviceTest) {
        if (!config) {
            fail("Test sluzeb potrebuje konfiguracni soubor s CIR kazdeho toku");
        }
        serviceSettings = serviceTestSettings(options, *config);
        services = readServices(*config, generator.getStreams());
    }
    generator.initialize();
    if (options.serviceTest) {
        std::optional<CResultsFile> results;
        if (options.jsonPath != nullptr) {
            results.emplace(options.jsonPath, generator.describe());
        }
        const std::optional<double> lineRate =
            benchmarkLineRate(benchmarkSettings(options, config), generator.getSendingInterface(),
                              generator.getReceivingInterface());
        return runServiceTestMode(generator, services, serviceSettings, lineRate, results);
    }
    if (options.benchmark) {
        const std::string advice = steeringAdvice(generator.getReceivingInterface(),
                                                  receiveWorkOf(generator.getReceivingInterface()));
        if (!advice.empty()) {
            std::cerr << advice << '\n' << std::flush;
        }
        std::optional<CResultsFile> results;
        if (options.jsonPath != nullptr) {
            results.emplace(options.jsonPath, generator.describe());
        }
        return runBenchmarkMode(generator, settings, results);
    }
    // From here on the run ends with its report, and the private directory is always removed.
    installInterruptHandler();
    // Before the report begins: a $TMPDIR that cannot take it ends the run with its message alone.
    prepareHandOverDirectory();
    printCycleTableHead(std::cout);
    std::vector<TStreamAccumulator> accumulators(generator.getStreams());
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
