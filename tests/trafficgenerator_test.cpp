#include "trafficgenerator.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "randomgenerator.h"

namespace {

using testing::Eq;
using testing::ExitedWithCode;

const std::string BAD_INPUT = "Neplatny nebo chybejici vstup!";
const std::string BAD_MAC = "Neplatny format MAC adresy";
const std::string BAD_INTERFACE = "Neplatne cislo rozhrani!";
const std::string BAD_DISTRIBUTION = "Neplatne cislo rozdeleni! Rozsah pouze 0 - 7";
const std::string BAD_OPERATION = "Neplatna operace! Rozsah pouze 1 - 2";
const std::string BAD_PROBABILITY = "Pravdepodobnost musi byt v rozsahu 0.5 - 1!";
const std::string TOO_MANY = "Maximalne muze byt 10 toku!";
const std::string BAD_TOS = "Neplatná hodnota! Rozsah pouze 0 - 255";
const std::string MENU = "0. konstantni\n1. rovnomerne\n2. normalni\n3. exponencialni\n"
                         "4. hyperexponencialni\n5. Pareto\n6. Weibullovo\n7. Erlangovo\n";
const std::string ASK_OUT = "Zadejte cislo rozhrani, ktere chcete pouzivat jako odchozi: ";
const std::string ASK_IN = "Zadejte cislo rozhrani, ktere chcete pouzivat jako prichozi: ";
const std::string OPERATIONS = "Vyberte pozadovanou operaci:\n1. test propustnosti\n"
                               "2. test ztratovosti a zpozdeni\nZadejte parametry testu:\n"
                               "Cilova MAC[HEX]:";

// The whole of standard error: the message and its line end, nothing else.
testing::Matcher<const std::string&> line(const std::string& text) {
    return Eq(text + "\n");
}

std::string missingKey(const std::string& key, const std::string& section) {
    return "Nenalezen klic \"" + key + "\" pod sekci \"" + section + "\" v konfiguracnim souboru!";
}

// Standard input and output replaced by string streams for the object's lifetime.
struct Console {
    std::istringstream in;
    std::ostringstream out;
    std::streambuf* oldIn;
    std::streambuf* oldOut;
    explicit Console(const std::string& input)
        : in(input), oldIn(std::cin.rdbuf(in.rdbuf())), oldOut(std::cout.rdbuf(out.rdbuf())) {}
    ~Console() {
        std::cin.rdbuf(oldIn);
        std::cout.rdbuf(oldOut);
        std::cin.clear();
    }
};

std::vector<std::string> hostInterfaces() {
    pcap_if_t* devices = nullptr;
    char error[PCAP_ERRBUF_SIZE];
    std::vector<std::string> names;
    if (pcap_findalldevs(&devices, error) == 0) {
        for (pcap_if_t* d = devices; d != nullptr; d = d->next)
            names.push_back(d->name);
        pcap_freealldevs(devices);
    }
    return names;
}

// Splits a transcript into the numbered interface list it must start with and the rest.
std::string afterListing(const std::string& text, std::vector<std::string>* listed = nullptr) {
    const std::string head = "V systemu byla nalezena nasledujici sitova rozhrani:\n";
    EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
    std::size_t at = head.size();
    for (int k = 1;; ++k) {
        const std::string number = std::to_string(k) + ". ";
        const std::size_t end = text.find('\n', at);
        if (text.compare(at, number.size(), number) != 0 || end == std::string::npos)
            return text.substr(at);
        if (listed != nullptr)
            listed->push_back(text.substr(at + number.size(), end - at - number.size()));
        at = end + 1;
    }
}

void dialogue(const std::string& input) {
    Console console(input);
    CTrafficGenerator generator;
    generator.getDataFromUser();
}

// What the set-up left in the test object, one line for the test and one per stream.
std::string summary(const CTrafficGenerator& g) {
    const TTestDescription d = g.describe();
    std::ostringstream s;
    s << "op " << d.operation << " to " << d.destinationMac << " from " << d.sourceMac << " for "
      << d.durationUs << " x" << d.cycles << " p " << d.confidenceProbability << " q " << d.quantile
      << " timeout " << d.lossTimeoutUs;
    s << (d.pacing ? " " + *d.pacing : "") << (d.sendPath ? " " + *d.sendPath : "");
    if (d.seed)
        s << " seed " << *d.seed;
    s << (d.sequenceNumbers ? " numbered" : "");
    for (const TStreamDescription& stream : d.streams) {
        s << "\n" << stream.stream << ": tos " << stream.tos;
        for (const auto& distribution : {stream.size, stream.time}) {
            if (!distribution)
                continue;
            s << " " << distribution->name;
            for (const auto& [name, value] : distribution->parameters)
                s << " " << name << "=" << value;
        }
    }
    return s.str();
}

TEST(TrafficGeneratorModel, ProgramStartedWithoutRootPrintsOnlyTheRefusal) {
    // A private copy, so that the unprivileged user can reach it wherever the build lives.
    char dir[] = "/tmp/trafficgen-noroot-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    const std::string command = "chmod 755 " + base + " && cp " TRAFFICGEN_BINARY " " + base +
                                "/trafficgen && " +
                                "setpriv --reuid=65534 --regid=65534 --clear-groups " + base +
                                "/trafficgen" + " </dev/null >" + base + "/out 2>" + base + "/err";
    const int status = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ifstream file(path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string out = slurp(base + "/out");
    const std::string err = slurp(base + "/err");
    std::system(("rm -rf " + base).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Musite program spustit jako administrator!\n");
}

TEST(TrafficGeneratorModel, FactoryBuildsDistributionsByMenuNumber) {
    CTrafficGenerator g;
    std::vector<std::string> names;
    for (unsigned int number = 0; number < 8; ++number)
        names.push_back(g.createGeneratorByNum(number)->describe().name);
    EXPECT_EQ(names, (std::vector<std::string>{"constant", "uniform", "normal", "exponential",
                                               "hyperexponential", "pareto", "weibull", "erlang"}));
    EXPECT_EQ(g.createGeneratorByNum(8), nullptr);
}

TEST(Dialogue, ThroughputTestAsksExactlyItsQuestions) {
    Console console("1 1\n1\n00:1b:21:0a:5c:e4\n5000000\n255\n");
    CTrafficGenerator g;
    g.getDataFromUser();
    EXPECT_EQ(afterListing(console.out.str()),
              ASK_OUT + ASK_IN + OPERATIONS + "Zadejte delku trvani testu [us]: TOS: ");
    EXPECT_EQ(summary(g), "op 1 to 00:1b:21:0a:5c:e4 from 00:00:00:00:00:00 for 5000000 x1 p 1 "
                          "q 0 timeout 2000000\n1: tos 255");
}

// The example loss and delay test of the dialogue and of the configuration file.
const std::string LOSS_TEST_SUMMARY_PREFIX =
    "op 2 to 00:1b:21:0a:5c:e4 from 00:00:00:00:00:00 for ";
const std::string LOSS_TEST_STREAMS =
    "\n1: tos 0 constant value=1000 exponential mean=200"
    "\n2: tos 184 normal mean=800 variance=10000 uniform mean=500";

// Two streams, so that both numberings show up; answers follow the prompts one by one.
const char* const LOSS_DIALOGUE = "1 1\n2\n00-1B-21-0A-5C-E4\n10\n0.95\n1000000\n2\n"
                                  "0\n0\n1000\n3\n200\n"
                                  "184\n2\n800\n10000\n1\n500\n";

TEST(Dialogue, LossAndDelayTestTranscriptAndDescription) {
    Console console(LOSS_DIALOGUE);
    CTrafficGenerator g;
    g.getDataFromUser();
    const std::string expected =
        ASK_OUT + ASK_IN + OPERATIONS + "Zadejte pocet opakovani: " +
        "Zadejte pravdepodobnost pro vypocet konfidencniho intervalu: " +
        "Zadejte delku trvani jednoko cyklu [us]: " +
        "Zadejte pocet generovanych toku (max. 10): " + "TOS streamu 1: \n" +
        "rozdeleni velikosti paketu toku 1:\n" + MENU +
        "Zadejte hodnotu velikosti paketu toku [B]: " + "rozdeleni dob mezi odeslanimi toku 1:\n" +
        MENU + "Zadejte stredni hodnotu doby mezi odeslanim paketu [us]: " + "TOS streamu 2: \n" +
        "rozdeleni velikosti paketu toku 2:\n" + MENU +
        "Zadejte stredni hodnotu velikosti paketu toku [B]: " +
        "Zadejte rozptyl velikosti paketu toku [B]: " + "rozdeleni dob mezi odeslanimi toku 2:\n" +
        MENU + "Zadejte stredni hodnotu doby mezi odeslanim paketu [us]: ";
    EXPECT_EQ(afterListing(console.out.str()), expected);
    EXPECT_EQ(summary(g), LOSS_TEST_SUMMARY_PREFIX + "1000000 x10 p 0.95 q 1.648 timeout 2000000" +
                              LOSS_TEST_STREAMS);
}

TEST(Dialogue, SingleCycleSkipsProbabilityAndNoStreamsEndsAfterCount) {
    for (const char* cycles : {"0", "1"}) {
        Console console(std::string("1 1\n2\n00:00:00:00:00:01\n") + cycles + "\n500\n0\n");
        CTrafficGenerator g;
        g.getDataFromUser();
        EXPECT_EQ(afterListing(console.out.str()),
                  ASK_OUT + ASK_IN + OPERATIONS +
                      "Zadejte pocet opakovani: " + "Zadejte delku trvani jednoko cyklu [us]: " +
                      "Zadejte pocet generovanych toku (max. 10): ");
        EXPECT_EQ(g.getConfidenceIntervalProbability(), 1.0f);
        EXPECT_EQ(g.getQuantile(), 0.0f);
        EXPECT_EQ(g.getStreams(), 0u);
    }
}

TEST(Dialogue, InvalidAnswersEndRunWithTheirMessage) {
    const std::string op1 = "1 1\n1\n00:00:00:00:00:01\n";
    const std::string op2 = "1 1\n2\n00:00:00:00:00:01\n";
    const std::string beyond = std::to_string(hostInterfaces().size() + 1);
    // Nothing follows the offending answer: asking anything more would end with BAD_INPUT.
    const std::pair<std::string, std::string> cases[] = {
        {"0 1", BAD_INTERFACE},
        {"1 " + beyond, BAD_INTERFACE},
        {"-1 1", BAD_INTERFACE},
        {"x 1", BAD_INPUT},
        {"1", BAD_INPUT},
        {"1 1\n1\n00:1b:21:0a:5c\n", BAD_MAC},
        {"1 1\n3\n00:00:00:00:00:01\n", BAD_OPERATION},
        {"1 1\n3\nnot-a-mac\n", BAD_MAC},
        {op1 + "100 256\n", BAD_TOS},
        {op2 + "2 0.4\n", BAD_PROBABILITY},
        {op2 + "2 nan\n", BAD_INPUT},
        {op2 + "1 500 11\n", TOO_MANY},
        {op2 + "1 500 2 0 0 100 0 100 -1\n", BAD_TOS},
        {op2 + "1 500 1 0 8\n", BAD_DISTRIBUTION},
        {"1 1\nx\n", BAD_INPUT},
    };
    for (const auto& [input, message] : cases) {
        SCOPED_TRACE(input.substr(0, 60));
        EXPECT_EXIT(dialogue(input), ExitedWithCode(1), line(message));
    }
}

// ---- configuration file ----

struct Row {
    std::string section, key, value;
};

// The example loss and delay test, rows in the order in which the set-up reads them.
const std::vector<Row> EXAMPLE = {
    {"", "sending interface", "eth0"},
    {"", "receiving interface", "eth1"},
    {"", "operation", "2"},
    {"", "destination MAC", "00:1b:21:0a:5c:e4"},
    {"", "duration", "10000000"},
    {"", "cycles", "10"},
    {"", "confidence interval probability", "0.95"},
    {"", "stream count", "2"},
    {"STREAM 1", "TOS", "0"},
    {"STREAM 1", "size distribution", "0"},
    {"STREAM 1", "size constant value", "1000"},
    {"STREAM 1", "time distribution", "3"},
    {"STREAM 1", "time exponential mean", "200"},
    {"STREAM 2", "TOS", "184"},
    {"STREAM 2", "size distribution", "2"},
    {"STREAM 2", "size normal mean", "800"},
    {"STREAM 2", "size normal variance", "10000"},
    {"STREAM 2", "time distribution", "1"},
    {"STREAM 2", "time uniform mean", "500"},
};
const std::size_t FIRST_REQUIRED = 2;

std::string render(const std::vector<Row>& rows) {
    std::string text, section;
    for (const Row& row : rows) {
        if (row.section != section)
            text += "[" + (section = row.section) + "]\n";
        text += row.key + " = " + row.value + "\n";
    }
    return text;
}

// The rows up to and including `last`, with that row's value replaced.
std::vector<Row> upTo(std::size_t last, const std::string& value) {
    std::vector<Row> rows(EXAMPLE.begin(), EXAMPLE.begin() + last + 1);
    rows.back().value = value;
    return rows;
}

std::size_t indexOf(const std::string& section, const std::string& key) {
    for (std::size_t i = 0; i < EXAMPLE.size(); ++i)
        if (EXAMPLE[i].section == section && EXAMPLE[i].key == key)
            return i;
    ADD_FAILURE() << key;
    return 0;
}

// The set-up reads a parsed file: how the text is read is the configuration's own test.
void loadConfig(CTrafficGenerator& g, const std::string& text) {
    g.loadDataFromConfig(CConfig::fromText(text));
}

void loadDies(const std::string& text, const std::string& message, const std::string& input = "") {
    SCOPED_TRACE(text);
    EXPECT_EXIT(
        {
            Console console(input);
            CTrafficGenerator g;
            loadConfig(g, text);
        },
        ExitedWithCode(1), line(message));
}

TEST(ConfigSetUp, ExampleFileAcceptedSilently) {
    Console console("");
    CTrafficGenerator g;
    loadConfig(g, render(EXAMPLE));
    EXPECT_EQ(console.out.str(), "");
    EXPECT_STREQ(g.getSendingInterface(), "eth0");
    EXPECT_STREQ(g.getReceivingInterface(), "eth1");
    EXPECT_EQ(summary(g), LOSS_TEST_SUMMARY_PREFIX + "10000000 x10 p 0.95 q 1.648 timeout 2000000" +
                              LOSS_TEST_STREAMS);
}

TEST(ConfigSetUp, KeysAreReadInOrder) {
    // With a key and everything after it missing, the message must name that very key.
    for (std::size_t k = FIRST_REQUIRED; k < EXAMPLE.size(); ++k) {
        const std::vector<Row> rows(EXAMPLE.begin(), EXAMPLE.begin() + k);
        loadDies(render(rows), missingKey(EXAMPLE[k].key, EXAMPLE[k].section));
    }
}

TEST(ConfigSetUp, InvalidValuesRejectedBeforeLaterKeys) {
    const std::size_t duration = indexOf("", "duration");
    std::vector<Row> noDuration = upTo(duration, "0");
    noDuration.pop_back();
    noDuration[indexOf("", "operation")].value = "3";
    const std::pair<std::vector<Row>, std::string> cases[] = {
        {noDuration, missingKey("duration", "")},
        {upTo(indexOf("", "destination MAC"), "00:1b:21:0a:5c"), BAD_MAC},
        {upTo(indexOf("", "confidence interval probability"), "0.49"), BAD_PROBABILITY},
        {upTo(indexOf("", "confidence interval probability"), "1.01"), BAD_PROBABILITY},
        {upTo(indexOf("", "confidence interval probability"), "nan"), BAD_PROBABILITY},
        {upTo(indexOf("", "stream count"), "11"), TOO_MANY},
        {upTo(indexOf("", "stream count"), "-1"), TOO_MANY},
        {upTo(indexOf("STREAM 2", "TOS"), "256"),
         "Neplatná hodnota u TOS pod sekci STREAM 2! Rozsah pouze 0 - 255"},
        {upTo(indexOf("STREAM 1", "size distribution"), "8"), BAD_DISTRIBUTION},
        {upTo(indexOf("STREAM 1", "time distribution"), "8"), BAD_DISTRIBUTION},
    };
    std::vector<Row> badOperation = upTo(duration, "10000000");
    badOperation[indexOf("", "operation")].value = "3";
    loadDies(render(badOperation), BAD_OPERATION);
    for (const auto& [rows, message] : cases)
        loadDies(render(rows), message);
}

TEST(ConfigSetUp, OptionalKeys) {
    std::vector<Row> rows = EXAMPLE;
    rows.insert(rows.begin() + indexOf("", "duration"), {{"", "source MAC", "02:aa:bb:cc:dd:0e"},
                                                         {"", "loss timeout", "1000"},
                                                         {"", "pacing", "absolute"},
                                                         {"", "send path", "batched"},
                                                         {"", "seed", "4294967295"},
                                                         {"", "sequence numbers", "1"}});
    CTrafficGenerator given;
    loadConfig(given, render(rows));
    EXPECT_EQ(summary(given).substr(0, summary(given).find('\n')),
              "op 2 to 00:1b:21:0a:5c:e4 from 02:aa:bb:cc:dd:0e for 10000000 x10 p 0.95 q 1.648 "
              "timeout 1000 absolute batched seed 4294967295 numbered");

    const std::string badTimeout =
        "Neplatna hodnota loss timeout! Rozsah pouze 1000 - 3600000000 us";
    const std::pair<Row, std::string> refused[] = {
        {{"", "source MAC", "02:aa:bb:cc:dd"}, BAD_MAC},
        {{"", "loss timeout", "999"}, badTimeout},
        {{"", "loss timeout", "99999999999"}, badTimeout},
        {{"", "pacing", "Absolute"}, "Neplatna hodnota pacing! Pouze relative nebo absolute"},
        {{"", "seed", "4294967296"}, "Neplatna hodnota seed! Rozsah pouze 0 - 4294967295"},
        {{"", "seed", "-1"}, "Neplatna hodnota seed! Rozsah pouze 0 - 4294967295"},
        {{"", "sequence numbers", "2"}, "Neplatna hodnota sequence numbers! Pouze 0 nebo 1"},
        {{"", "send path", "Batched"}, "Neplatna hodnota send path! Pouze pcap, batched nebo xdp"}};
    for (const auto& [row, message] : refused) {
        std::vector<Row> bad = EXAMPLE;
        bad.insert(bad.begin() + indexOf("", "duration"), row);
        loadDies(render(bad), message);
    }
}

const std::vector<Row> THROUGHPUT = {
    {"", "sending interface", "eth0"},
    {"", "receiving interface", "eth1"},
    {"", "operation", "1"},
    {"", "destination MAC", "00-1B-21-0A-5C-E4"},
    {"", "duration", "5000000"},
    {"STREAM 1", "TOS", "0"},
};

TEST(ConfigSetUp, ThroughputFileNeedsOnlyItsKeys) {
    CTrafficGenerator g;
    loadConfig(g, render(THROUGHPUT));
    EXPECT_EQ(summary(g), "op 1 to 00:1b:21:0a:5c:e4 from 00:00:00:00:00:00 for 5000000 x1 p 1 "
                          "q 0 timeout 2000000\n1: tos 0");

    std::vector<Row> rows = THROUGHPUT;
    rows.back().value = "256";
    loadDies(render(rows), "Neplatná hodnota u TOS pod sekci STREAM1! Rozsah pouze 0 - 255");
    rows.pop_back();
    loadDies(render(rows), missingKey("TOS", "STREAM 1"));
}

TEST(ConfigSetUp, AcceptedEdgeValues) {
    for (const char* p : {"0.5", "1"}) {
        std::vector<Row> rows = EXAMPLE;
        rows[indexOf("", "confidence interval probability")].value = p;
        CTrafficGenerator g;
        loadConfig(g, render(rows));
        EXPECT_EQ(g.getConfidenceIntervalProbability(), std::stof(p));
    }
    // One cycle: no probability read; no streams: no stream section read.
    std::vector<Row> rows(EXAMPLE.begin(), EXAMPLE.begin() + indexOf("", "stream count") + 1);
    rows[indexOf("", "cycles")].value = "1";
    rows.erase(rows.begin() + indexOf("", "confidence interval probability"));
    rows.back().value = "0";
    CTrafficGenerator single;
    loadConfig(single, render(rows));
    EXPECT_EQ(single.getConfidenceIntervalProbability(), 1.0f);
    EXPECT_EQ(single.getQuantile(), 0.0f);
    EXPECT_EQ(single.getStreams(), 0u);

    // Ten streams; a TOS of letters reads as 0 and 255 is the top of the range.
    rows.back().value = "10";
    for (int k = 1; k <= 10; ++k) {
        const std::string section = "STREAM " + std::to_string(k);
        rows.push_back({section, "TOS", k == 1 ? "abc" : "255"});
        for (const char* prefix : {"size ", "time "}) {
            rows.push_back({section, std::string(prefix) + "distribution", "0"});
            rows.push_back({section, std::string(prefix) + "constant value", "100"});
        }
    }
    CTrafficGenerator ten;
    loadConfig(ten, render(rows));
    const std::string tenStreams = summary(ten);
    EXPECT_NE(tenStreams.find("\n1: tos 0 constant"), std::string::npos) << tenStreams;
    EXPECT_NE(tenStreams.find("\n10: tos 255 constant value=100 constant value=100"),
              std::string::npos)
        << tenStreams;
}

TEST(ConfigSetUp, MissingInterfacesAskedBeforeOtherKeys) {
    const std::vector<Row> noInterfaces(EXAMPLE.begin() + 2, EXAMPLE.end());
    {
        // The host's interfaces listed, the choices mapped by number.
        const std::vector<std::string> host = hostInterfaces();
        const std::size_t sending = host.size() >= 2 ? 1 : 0;
        Console console(std::to_string(sending + 1) + " 1\n");
        CTrafficGenerator g;
        loadConfig(g, render(noInterfaces));
        std::vector<std::string> listed;
        EXPECT_EQ(afterListing(console.out.str(), &listed), ASK_OUT + ASK_IN);
        EXPECT_EQ(listed, host);
        EXPECT_STREQ(g.getSendingInterface(), listed.at(sending).c_str());
        EXPECT_STREQ(g.getReceivingInterface(), listed.at(0).c_str());
    }
    {
        std::vector<Row> sendingOnly = noInterfaces;
        sendingOnly.insert(sendingOnly.begin(), EXAMPLE[0]);
        Console console("1\n");
        CTrafficGenerator g;
        loadConfig(g, render(sendingOnly));
        EXPECT_EQ(afterListing(console.out.str()), ASK_IN);
        EXPECT_STREQ(g.getSendingInterface(), "eth0");
    }
    // Without interfaces nor anything else, the run must stop at the interface question.
    loadDies("cycles = 1\n", BAD_INPUT);
    loadDies("cycles = 1\n", BAD_INTERFACE, "0 0\n");
}

} // namespace
