#include "options.h"

#include <getopt.h>
#include <vector>

#include "benchmark.h"
#include "fail.h"
#include "intervals.h"
#include "randomgenerator.h"
#include "sendstamps.h"
#include "servicetest.h"
#include "textparsing.h"
#include "xdpsender.h"

namespace {

// One entry per long option: the parser's table and the help text are built from this list,
// so an option cannot be accepted without being listed by --help.
struct TOptionEntry {
    const char* name;
    const char* argument; // null for an option without an argument
    const char* description;
    void (*apply)(TOptions& options, const char* argument);
};

constexpr char FRAME_SIZES[] = "frame-sizes";
constexpr char TRIAL_DURATION[] = "trial-duration";
constexpr char FINAL_DURATION[] = "final-duration";
constexpr char PDR_LOSS[] = "pdr-loss";
constexpr char PRECISION[] = "precision";
constexpr char LATENCY_LOADS[] = "latency-loads";
constexpr char LINE_RATE[] = "line-rate";
constexpr char LEARNING_FRAMES[] = "learning-frames";
constexpr char EXCEED_RATIO[] = "exceed-ratio";
constexpr char DURATION_SUM[] = "duration-sum";
constexpr char WIDTH_FLOOR[] = "width-floor";
constexpr char REPETITIONS[] = "repetitions";
constexpr char BENCHMARK_TESTS[] = "benchmark-tests";
constexpr char BURST_REPETITIONS[] = "burst-repetitions";
constexpr char BURST_DURATION[] = "burst-duration";
constexpr char OVERLOAD_DURATION[] = "overload-duration";
constexpr char RECOVERY_DURATION[] = "recovery-duration";
constexpr char EXPECT_RATE[] = "expect-rate";

// A benchmark setting is checked at once and kept to be applied over the configuration's keys.
template <const char* Name> void keepBenchmarkSetting(TOptions& options, const char* argument) {
    TBenchmarkSettings check;
    applyBenchmarkSetting(check, Name, argument);
    options.benchmarkSettings.emplace_back(Name, argument);
}

constexpr char SERVICE_STEPS[] = "service-steps";
constexpr char STEP_DURATION[] = "step-duration";
constexpr char PERFORMANCE_DURATION[] = "performance-duration";
constexpr char FDV_PERCENTILE[] = "fdv-percentile";
constexpr char OVERSHOOT[] = "overshoot";
constexpr char POLICING_TOLERANCE[] = "policing-tolerance";

template <const char* Name> void keepServiceTestSetting(TOptions& options, const char* argument) {
    TServiceTestSettings check;
    applyServiceTestSetting(check, Name, argument);
    options.serviceTestSettings.emplace_back(Name, argument);
}

const TOptionEntry OPTION_TABLE[] = {
    {"help", nullptr, "vypise tuto napovedu a skonci",
     [](TOptions& options, const char*) { options.help = true; }},
    {"version", nullptr, "vypise verzi programu a skonci",
     [](TOptions& options, const char*) { options.version = true; }},
    {"loss-timeout", "US", "nejdelsi cekani na pakety po konci odesilani [us]",
     [](TOptions& options, const char* argument) {
         if (!readLossTimeout(argument, options.lossTimeout)) {
             fail(INVALID_LOSS_TIMEOUT);
         }
         options.lossTimeoutGiven = true;
     }},
    {"json", "SOUBOR", "po skonceni zapise vysledky do SOUBOR ve formatu JSON",
     [](TOptions& options, const char* argument) { options.jsonPath = argument; }},
    {"pacing", "relative|absolute", "vychozi relative; absolute = presny rozvrh odeslani",
     [](TOptions& options, const char* argument) {
         if (!readPacing(argument, options.pacing)) {
             fail(INVALID_PACING);
         }
         options.pacingGiven = true;
     }},
    {"send-path", "pcap|batched|xdp",
     "vychozi pcap; batched = odesilani po davkach (rychlejsi); xdp = AF_XDP (nejrychlejsi)",
     [](TOptions& options, const char* argument) {
         if (!readSendPath(argument, options.sendPath)) {
             fail(INVALID_SEND_PATH);
         }
         options.sendPathGiven = true;
     }},
    {"stamp-source", "user|kernel|hardware",
     "vychozi user; kernel/hardware = cas odeslani od jadra/karty (zpozdeni v ns)",
     [](TOptions& options, const char* argument) {
         if (!readStampSource(argument, options.stampSource)) {
             fail(INVALID_STAMP_SOURCE);
         }
         options.stampSourceGiven = true;
     }},
    {"xdp-queues", "N", "xdp: nejvyse N prvnich front rozhrani 1-1024 (vychozi vsechny)",
     [](TOptions& options, const char* argument) {
         if (!readDecimal(argument, 1, MAX_XDP_QUEUES, options.xdpQueues)) {
             fail(INVALID_XDP_QUEUES);
         }
     }},
    {"seed", "N", "seminko nahody 0-4294967295 (cyklus c: N + c - 1)",
     [](TOptions& options, const char* argument) {
         if (!readSeed(argument, options.seed)) {
             fail(INVALID_SEED);
         }
         options.seedGiven = true;
     }},
    {"sequence-numbers", nullptr, "cisluje pakety: duplikaty, poradi a davky ztrat",
     [](TOptions& options, const char*) { options.sequenceNumbers = true; }},
    {"interval", "MS", "ztraty, rychlost a zpozdeni po intervalech MS ms (10-3600000)",
     [](TOptions& options, const char* argument) {
         if (!readInterval(argument, options.intervalMs)) {
             fail(INVALID_INTERVAL);
         }
     }},
    {"benchmark", nullptr, "benchmark zarizeni: NDR, PDR a zpozdeni pri zatizeni",
     [](TOptions& options, const char*) { options.benchmark = true; }},
    {FRAME_SIZES, "SEZNAM", "benchmark: velikosti ramcu s FCS 64-1518 (vychozi ramce nastaveni)",
     keepBenchmarkSetting<FRAME_SIZES>},
    {TRIAL_DURATION, "US", "benchmark: delka kratkych pokusu pri hledani [us] (vychozi 1000000)",
     keepBenchmarkSetting<TRIAL_DURATION>},
    {FINAL_DURATION, "US",
     "benchmark: delka konecnych pokusu a pokusu zpozdeni [us] (vychozi 10000000)",
     keepBenchmarkSetting<FINAL_DURATION>},
    {PDR_LOSS, "PROCENTA", "benchmark: ztratovost pripustna pro PDR [%] (vychozi 0.5)",
     keepBenchmarkSetting<PDR_LOSS>},
    {PRECISION, "PROCENTA", "benchmark: sirka intervalu, pri ktere hledani konci [%] (vychozi 1)",
     keepBenchmarkSetting<PRECISION>},
    {LATENCY_LOADS, "SEZNAM", "benchmark: zatizeni pro zpozdeni [% NDR] (vychozi 10,50,90,100)",
     keepBenchmarkSetting<LATENCY_LOADS>},
    {LINE_RATE, "BIT/S", "benchmark: linkova rychlost, napr. 1G (vychozi z rozhrani)",
     keepBenchmarkSetting<LINE_RATE>},
    {LEARNING_FRAMES, "N",
     "benchmark: ucici ramce z prijimaciho rozhrani pred kazdou velikosti (vychozi 3, 0 = zadne)",
     keepBenchmarkSetting<LEARNING_FRAMES>},
    {EXCEED_RATIO, "PROCENTA",
     "benchmark: podil doby pokusu, ktery smi prekrocit ztratovost [%] (vychozi 50)",
     keepBenchmarkSetting<EXCEED_RATIO>},
    {DURATION_SUM, "US",
     "benchmark: doba pokusu potrebna k rozhodnuti o zatizeni [us] (vychozi 2 x final-duration)",
     keepBenchmarkSetting<DURATION_SUM>},
    {WIDTH_FLOOR, "RAMCU/S", "benchmark: sirka intervalu v ramcich/s, pri ktere hledani konci",
     keepBenchmarkSetting<WIDTH_FLOOR>},
    {REPETITIONS, "N", "benchmark: opakovani celeho hledani; minimum, median a maximum",
     keepBenchmarkSetting<REPETITIONS>},
    {BENCHMARK_TESTS, "SEZNAM",
     "benchmark: testy z throughput,latency,frame-loss,back-to-back,recovery "
     "(vychozi throughput,latency)",
     keepBenchmarkSetting<BENCHMARK_TESTS>},
    {BURST_REPETITIONS, "N", "benchmark: opakovani hledani nejdelsi davky (vychozi 50)",
     keepBenchmarkSetting<BURST_REPETITIONS>},
    {BURST_DURATION, "US",
     "benchmark: nejdelsi zkousena davka jako doba na lince [us] "
     "(vychozi 2000000)",
     keepBenchmarkSetting<BURST_DURATION>},
    {OVERLOAD_DURATION, "US",
     "benchmark: delka pretizeni pri testu zotaveni [us] "
     "(vychozi 60000000)",
     keepBenchmarkSetting<OVERLOAD_DURATION>},
    {RECOVERY_DURATION, "US",
     "benchmark: delka snizeneho zatizeni po pretizeni [us] "
     "(vychozi 10000000)",
     keepBenchmarkSetting<RECOVERY_DURATION>},
    {EXPECT_RATE, "VELIKOST=RAMCU/S,...",
     "benchmark: nejmensi ocekavana NDR; verdikt v navratovem kodu (0, 2, 3)",
     keepBenchmarkSetting<EXPECT_RATE>},
    {"service-test", nullptr,
     "test aktivace sluzeb ITU-T Y.1564 (CIR, EIR a kriteria v [STREAM n])",
     [](TOptions& options, const char*) { options.serviceTest = true; }},
    {SERVICE_STEPS, "SEZNAM", "test sluzeb: kroky konfigurace [% CIR] (vychozi 25,50,75,100)",
     keepServiceTestSetting<SERVICE_STEPS>},
    {STEP_DURATION, "US", "test sluzeb: delka kroku [us] (vychozi 10000000)",
     keepServiceTestSetting<STEP_DURATION>},
    {PERFORMANCE_DURATION, "S", "test sluzeb: delka testu vykonnosti [s] (vychozi 900, 0 bez nej)",
     keepServiceTestSetting<PERFORMANCE_DURATION>},
    {FDV_PERCENTILE, "P", "test sluzeb: FDV = percentil P zpozdeni - minimum (vychozi 99.9)",
     keepServiceTestSetting<FDV_PERCENTILE>},
    {OVERSHOOT, "PROCENTA", "test sluzeb: krok nad CIR+EIR o tolik % EIR (vychozi 25)",
     keepServiceTestSetting<OVERSHOOT>},
    {POLICING_TOLERANCE, "PROCENTA", "test sluzeb: tolerance omezeni na CIR+EIR [%] (vychozi 5)",
     keepServiceTestSetting<POLICING_TOLERANCE>},
};

std::vector<option> getoptTable() {
    std::vector<option> table;
    for (const TOptionEntry& entry : OPTION_TABLE) {
        table.push_back(
            {entry.name, entry.argument != nullptr ? required_argument : no_argument, nullptr, 0});
    }
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

const TOptionEntry* findOption(const std::string& name) {
    for (const TOptionEntry& entry : OPTION_TABLE) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// "--name=value" and "--name" both name the option "--name".
std::string optionName(const char* word) {
    const std::string text = word;
    return text.substr(0, text.find('='));
}

} // namespace

TOptions parseOptions(int argc, char** argv) {
    TOptions options;
    const std::vector<option> table = getoptTable();
    // A leading '+' stops at the first word that is not an option (the configuration path);
    // ':' reports a missing argument apart from an unknown option; no message of getopt's own.
    opterr = 0;
    optind = 0;
    for (;;) {
        int index = -1;
        const int result = getopt_long(argc, argv, "+:", table.data(), &index);
        if (result == -1) {
            break;
        }
        // An unknown short option is named by optopt (optind may still point at its word);
        // a long one by the word getopt has just passed.
        const std::string word = optopt != 0 && result == '?'
                                     ? std::string("-") + static_cast<char>(optopt)
                                     : optionName(argv[optind - 1]);
        if (result == ':') {
            fail("Prepinac " + word + " vyzaduje hodnotu; viz trafficgen --help");
        }
        if (result != 0 || index < 0) {
            // "--help=1": getopt refuses the value of an option that takes none like an
            // unknown option; the option itself is known.
            const bool known =
                word.compare(0, 2, "--") == 0 && findOption(word.substr(2)) != nullptr;
            fail((known ? "Prepinac " + word + " nema hodnotu" : "Neznamy prepinac " + word) +
                 "; viz trafficgen --help");
        }
        OPTION_TABLE[index].apply(options, optarg);
    }
    if (optind < argc) {
        options.configPath = argv[optind];
    }
    return options;
}

constexpr std::size_t HELP_COLUMN = 26;

std::string usageText() {
    std::string text = "Pouziti: trafficgen [PREPINACE] [KONFIGURACNI_SOUBOR]\n"
                       "Bez konfiguracniho souboru se test zadava interaktivne.\n"
                       "Prepinace:\n";
    for (const TOptionEntry& entry : OPTION_TABLE) {
        std::string left = std::string("  --") + entry.name;
        if (entry.argument != nullptr) {
            left += std::string(" ") + entry.argument;
        }
        // A name too long for the column gets its description on a line of its own.
        if (left.size() >= HELP_COLUMN) {
            left += "\n";
            left.append(HELP_COLUMN, ' ');
        } else {
            left.resize(HELP_COLUMN, ' ');
        }
        text += left + entry.description + "\n";
    }
    return text;
}

std::string versionText() {
    return std::string("trafficgen ") + TRAFFICGEN_VERSION + "\n";
}
