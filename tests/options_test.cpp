#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// getopt may permute or keep pointers into argv: the words live as long as the parse.
TOptions parse(std::initializer_list<const char*> words) {
    static std::vector<std::string> storage;
    static std::vector<char*> argv;
    storage.assign(words.begin(), words.end());
    argv.clear();
    for (std::string& word : storage) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(storage.size()), argv.data());
}

} // namespace

TEST(Options, PathAfterOptionsAndWordsAfterThePathIgnored) {
    EXPECT_EQ(parse({"trafficgen"}).configPath, nullptr);
    EXPECT_STREQ(parse({"trafficgen", "test.conf", "--bogus"}).configPath, "test.conf");
    EXPECT_STREQ(parse({"trafficgen", "--", "-dash.conf"}).configPath, "-dash.conf");
    const TOptions options =
        parse({"trafficgen", "--version", "--help", "--json=r.json", "x.conf"});
    EXPECT_TRUE(options.help);
    EXPECT_TRUE(options.version);
    EXPECT_STREQ(options.configPath, "x.conf");
    EXPECT_STREQ(options.jsonPath, "r.json");
}

TEST(Options, UnknownOptionOrMissingArgumentIsOneLineAndStatusOne) {
    EXPECT_EXIT(parse({"trafficgen", "--bogus=1", "x.conf"}), testing::ExitedWithCode(1),
                "^Neznamy prepinac --bogus; viz trafficgen --help\n$");
    EXPECT_EXIT(parse({"trafficgen", "-xq"}), testing::ExitedWithCode(1),
                "^Neznamy prepinac -x; viz trafficgen --help\n$");
    EXPECT_EXIT(parse({"trafficgen", "--help=1"}), testing::ExitedWithCode(1),
                "^Prepinac --help nema hodnotu; viz trafficgen --help\n$");
    EXPECT_EXIT(parse({"trafficgen", "--json"}), testing::ExitedWithCode(1),
                "^Prepinac --json vyzaduje hodnotu; viz trafficgen --help\n$");
}

TEST(Options, HelpListsEveryOptionAndVersionIsOneLine) {
    const std::string help = usageText();
    for (const char* name : {"--help", "--version", "--loss-timeout US", "--json SOUBOR",
                             "--pacing relative|absolute", "--seed N", "--sequence-numbers"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
    EXPECT_EQ(versionText(), std::string("trafficgen ") + TRAFFICGEN_VERSION + "\n");
}

TEST(Options, LossTimeoutInMicrosecondsWithinItsRange) {
    EXPECT_FALSE(parse({"trafficgen", "x.conf"}).lossTimeoutGiven);
    const TOptions options = parse({"trafficgen", "--loss-timeout", "1000", "x.conf"});
    EXPECT_TRUE(options.lossTimeoutGiven);
    EXPECT_EQ(options.lossTimeout, 1000u);
    EXPECT_EQ(parse({"trafficgen", "--loss-timeout=3600000000"}).lossTimeout, 3600000000u);
    for (const char* value : {"999", "3600000001", "5s", "", "-1"}) {
        EXPECT_EXIT(parse({"trafficgen", "--loss-timeout", value}), testing::ExitedWithCode(1),
                    "^Neplatna hodnota loss timeout! Rozsah pouze 1000 - 3600000000 us\n$")
            << value;
    }
}

TEST(Options, PacingByNameAndSeedWithinThirtyTwoBits) {
    const TOptions plain = parse({"trafficgen", "x.conf"});
    EXPECT_FALSE(plain.pacingGiven);
    EXPECT_FALSE(plain.seedGiven);
    EXPECT_FALSE(plain.sequenceNumbers);
    EXPECT_TRUE(parse({"trafficgen", "--sequence-numbers", "x.conf"}).sequenceNumbers);
    const TOptions options = parse({"trafficgen", "--pacing", "absolute", "--seed=4294967295"});
    EXPECT_TRUE(options.pacingGiven);
    EXPECT_EQ(options.pacing, TPacing::absolute);
    EXPECT_TRUE(options.seedGiven);
    EXPECT_EQ(options.seed, 4294967295u);
    EXPECT_EQ(parse({"trafficgen", "--pacing", "relative"}).pacing, TPacing::relative);
    EXPECT_EQ(parse({"trafficgen", "--seed", "0"}).seed, 0u);
    for (const char* value : {"Absolute", "", "exact"}) {
        EXPECT_EXIT(parse({"trafficgen", "--pacing", value}), testing::ExitedWithCode(1),
                    "^Neplatna hodnota pacing! Pouze relative nebo absolute\n$")
            << value;
    }
    for (const char* value : {"4294967296", "-1", "", "12a", "0x10"}) {
        EXPECT_EXIT(parse({"trafficgen", "--seed", value}), testing::ExitedWithCode(1),
                    "^Neplatna hodnota seed! Rozsah pouze 0 - 4294967295\n$")
            << value;
    }
}

// The benchmark's settings are checked on the command line and kept, by option name and in
// order, to be applied over the configuration's keys.
TEST(Options, BenchmarkSettingsCheckedAtOnceAndKeptInOrder) {
    EXPECT_FALSE(parse({"trafficgen", "x.conf"}).benchmark);
    const TOptions options = parse({"trafficgen", "--benchmark", "--frame-sizes", "64,1518",
                                    "--line-rate=1G", "--frame-sizes", "128", "x.conf"});
    EXPECT_TRUE(options.benchmark);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"frame-sizes", "64,1518"}, {"line-rate", "1G"}, {"frame-sizes", "128"}};
    EXPECT_EQ(options.benchmarkSettings, expected);
    EXPECT_STREQ(options.configPath, "x.conf");
    EXPECT_EXIT(parse({"trafficgen", "--frame-sizes", "1527"}), testing::ExitedWithCode(1),
                "^Neplatna hodnota frame sizes: 1527\n$");
}

TEST(Options, SendPathByNameDefaultingToLibpcap) {
    EXPECT_FALSE(parse({"trafficgen", "x.conf"}).sendPathGiven);
    const TOptions options = parse({"trafficgen", "--send-path", "batched", "x.conf"});
    EXPECT_TRUE(options.sendPathGiven);
    EXPECT_EQ(options.sendPath, TSendPath::batched);
    EXPECT_EQ(parse({"trafficgen", "--send-path=pcap"}).sendPath, TSendPath::pcap);
    EXPECT_EXIT(parse({"trafficgen", "--send-path", "mmsg"}), testing::ExitedWithCode(1),
                "^Neplatna hodnota send path! Pouze pcap, batched nebo xdp\n$");
}
