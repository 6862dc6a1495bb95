#include "config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Entries = std::map<std::string, std::string>;

const char* const PARSE_ERROR = "^Nelze naparsovat soubor!\n$";
const char* const READ_ERROR = "^Chyba pri cteni ze souboru\n$";

struct TParseCase {
    const char* name;
    std::string text;
    Entries expected;
};

TEST(ConfigParse, AcceptedTextsYieldExactlyTheseEntries) {
    const std::vector<TParseCase> cases = {
        {"empty", "", {}},
        {"LF", "a=1\nb=2\n", {{".a", "1"}, {".b", "2"}}},
        {"CRLF and blank lines", "a=1\r\n\r\n\n\r\nb=2\r\n", {{".a", "1"}, {".b", "2"}}},
        {"blank line after top comment", ";c\n\n#d\r\n\r\na=1\n", {{".a", "1"}}},
        {"only spaces trimmed",
         "  size distribution  =  two  words  \n\tt\t=\tv\t\n",
         {{".size distribution", "two  words"}, {".\tt\t", "\tv\t"}}},
        {"second = belongs to value", "k=a=b\n", {{".k", "a=b"}}},
        {"remark stays in value", "k=5 ;note #x\n", {{".k", "5 ;note #x"}}},
        {"section", "[STREAM 1]\nTOS=16\n", {{"STREAM 1.TOS", "16"}}},
        {"section name verbatim", "[ s ]\nk=v\n", {{" s .k", "v"}}},
        {"key right after ]", "[s]k=v\n[t][u]w=x\n", {{"s.k", "v"}, {"u.w", "x"}}},
        {"comment right after ]", "[s];c\nk=v\n", {{"s.k", "v"}}},
        {"empty section name", "k=0\n[]\nk=1\n[s]\nk=2\n", {{".k", "0"}, {"s.k", "2"}}},
        {"dots are not told apart", "[a.b]\nc=1\n[a]\nb.c=2\n", {{"a.b.c", "1"}}},
        {"first occurrence wins", "k=1\nk=2\n", {{".k", "1"}}},
        {"case sensitive", "k=1\nK=2\n", {{".k", "1"}, {".K", "2"}}},
        {"markers only in column 0", " #x=1\n [y=2\n", {{".#x", "1"}, {".[y", "2"}}},
        {"unterminated last pair dropped", "a=1\nb=2", {{".a", "1"}}},
        {"unterminated last key dropped", "a=1\nno equals", {{".a", "1"}}},
        {"unterminated comment", "a=1\n;c", {{".a", "1"}}},
        {"NUL bytes are ordinary",
         std::string("k\0=v\0w\n", 7),
         {{std::string(".k\0", 3), std::string("v\0w", 3)}}},
    };
    for (const auto& c : cases) {
        Entries entries;
        EXPECT_TRUE(parseConfigText(c.text.data(), c.text.size(), entries)) << c.name;
        EXPECT_EQ(entries, c.expected) << c.name;
    }
}

TEST(ConfigParse, MalformedTextsAreRejected) {
    const std::vector<std::string> texts = {
        "\na=1\n",          // blank first line
        " #x\n",            // key line without "="
        "a=1\n  \nb=2\n",   // line of only spaces
        "[s]\n",            // section line at the end
        "[s]",              //
        "a=1\n[s]\r\n\r\n", //
        "[s] \nk=v\n",      // space after "]"
        "[s\nk=v\n",        // no "]" on the line
        "[s",               //
        "=v\n",             // empty key
        "  =v\n",           //
        "k=\n",             // empty value
        "k=   \r\n",        //
    };
    for (const auto& text : texts) {
        Entries entries;
        EXPECT_FALSE(parseConfigText(text.data(), text.size(), entries)) << text;
    }
    EXPECT_EXIT(CConfig::fromText("[s] \nk=v\n"), testing::ExitedWithCode(1), PARSE_ERROR);
    EXPECT_EXIT(CConfig::fromText("k= \n"), testing::ExitedWithCode(1), PARSE_ERROR);
}

TEST(ConfigLookup, TypedLookupsBySectionAndKey) {
    const CConfig config = CConfig::fromText(
        "top=x\n[STREAM 1]\nTOS=16\nmixed=12ab\nword=abc\np=0.95\nbig=99999999999\n"
        "neg=-99999999999\n[ s ]\nk=v\n");
    EXPECT_EQ(config.getString("top", ""), "x");
    EXPECT_EQ(config.getInt("TOS", "STREAM 1"), 16);
    EXPECT_EQ(config.getInt("mixed", "STREAM 1"), 12);
    EXPECT_EQ(config.getInt("word", "STREAM 1"), 0);
    EXPECT_EQ(config.getInt("big", "STREAM 1"), 2147483647);
    EXPECT_EQ(config.getInt("neg", "STREAM 1"), -2147483647 - 1);
    EXPECT_DOUBLE_EQ(config.getDouble("p", "STREAM 1"), 0.95);
    EXPECT_TRUE(config.hasKey("TOS", "STREAM 1"));
    EXPECT_FALSE(config.hasKey("TOS", "STREAM 2"));
    EXPECT_FALSE(config.hasKey("tos", "STREAM 1"));
    EXPECT_TRUE(config.hasKey("k", " s "));
    EXPECT_FALSE(config.hasKey("k", "s"));
}

class ConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/config_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string m_dir;
};

TEST_F(ConfigFile, UnreadablePathsEndTheProcess) {
    EXPECT_EXIT(CConfig((m_dir + "/missing.conf").c_str()), testing::ExitedWithCode(1), READ_ERROR);
    EXPECT_EXIT(CConfig(m_dir.c_str()), testing::ExitedWithCode(1), READ_ERROR);
    EXPECT_EXIT(CConfig(write("bad.conf", "\nk=v\n").c_str()), testing::ExitedWithCode(1),
                PARSE_ERROR);
}

TEST_F(ConfigFile, ReadsUpToTheLimitOnly) {
    // Pairs "kNNNNN=v\n" of 9 bytes; pair 2275 spans bytes 20475..20483.
    std::string text;
    for (int i = 0; i < 2400; ++i) {
        char line[16];
        std::snprintf(line, sizeof(line), "k%05d=v\n", i);
        text += line;
    }
    const CConfig config(write("big.conf", text).c_str());
    EXPECT_TRUE(config.hasKey("k02274", ""));
    EXPECT_FALSE(config.hasKey("k02275", ""));
    EXPECT_FALSE(config.hasKey("k02399", ""));
    EXPECT_FALSE(CConfig::fromText(text).hasKey("k02275", ""));
}

TEST_F(ConfigFile, KeepsReadingAfterAShortRead) {
    const std::string path = m_dir + "/fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(path, std::ios::binary);
        out << "a=1\n" << std::flush;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out << "b=2\n";
    });
    const CConfig config(path.c_str());
    writer.join();
    EXPECT_EQ(config.getString("a", ""), "1");
    EXPECT_EQ(config.getString("b", ""), "2");
}

} // namespace
