// libFuzzer target over the configuration reader and the configuration-file set-up.
//
// Every input goes through two stages:
//  1. parseConfigText, the one parser, with checks of what it promises about the stored
//     pairs and of its indifference to LF versus CRLF line ends;
//  2. the file set-up's lookups and checks (loadDataFromConfig) on the same text, then a
//     few draws from every distribution the set-up built.
// The set-up ends the process on bad input by design; here fail() is redirected to a
// handler that throws a harness-local exception, caught below, so one process can try
// millions of inputs. The program itself throws nothing.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <typeinfo>

#include "config.h"
#include "fail.h"
#include "randomgenerator.h"
#include "trafficgenerator.h"
#include "trafficgenerator_access.h"

namespace {

std::ostringstream output;
std::istringstream input;

struct THarnessFailure {
    std::string message;
};

void throwFailure(const std::string& message) {
    throw THarnessFailure{message};
}

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "config_fuzz: %s\n", what);
    std::abort();
}

// What every stored pair must satisfy whatever the input was.
void checkStoredPairs(const std::map<std::string, std::string>& values) {
    for (const auto& [fullKey, value] : values) {
        if (fullKey.find('.') == std::string::npos)
            violated("full key without the section separator");
        if (value.empty() || value.front() == ' ' || value.back() == ' ')
            violated("value empty or not trimmed");
        for (const char c : fullKey + value)
            if (isEndLine(c))
                violated("line-end byte inside a stored key or value");
        // Section and key name cannot be told apart (either may hold a full stop), but the
        // key name is never empty and is trimmed, so the full key ends in neither.
        if (fullKey.back() == ' ')
            violated("untrimmed key name");
    }
}

std::string withCrlf(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// Returns whether the text parsed.
bool fuzzParser(const std::string& text) {
    std::map<std::string, std::string> values;
    const bool parsed = parseConfigText(text.data(), text.size(), values);
    checkStoredPairs(values);

    if (text.find('\n') != std::string::npos) {
        const std::string crlf = withCrlf(text);
        std::map<std::string, std::string> crlfValues;
        const bool crlfParsed = parseConfigText(crlf.data(), crlf.size(), crlfValues);
        if (parsed != crlfParsed || values != crlfValues)
            violated("LF and CRLF line ends give different results");
    }
    return parsed;
}

// Deletes a distribution through its own class: the base class has no virtual destructor.
// The exact type is checked first, so deleting through T is deleting the whole object.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
template <class T> bool deleteAs(CRandomGenerator* generator) {
    if (typeid(*generator) != typeid(T))
        return false;
    delete static_cast<T*>(generator);
    return true;
}
#pragma clang diagnostic pop

void destroyGenerator(CRandomGenerator* generator) {
    if (generator == nullptr)
        return;
    if (deleteAs<CConstantDistribution>(generator) || deleteAs<CUniformDistribution>(generator) ||
        deleteAs<CNormalDistribution>(generator) || deleteAs<CExponentialDistribution>(generator) ||
        deleteAs<CHyperExponentialDistribution>(generator) ||
        deleteAs<CParetoDistribution>(generator) || deleteAs<CWeibullDistribution>(generator) ||
        deleteAs<CErlangDistribution>(generator))
        return;
    violated("distribution of an unknown class");
}

// The set-up keeps its distribution objects until the process ends; a fuzzing process runs
// millions of set-ups, so the harness releases them after each one, whatever way it ended.
struct TGeneratorCleanup {
    CTrafficGenerator& generator;
    ~TGeneratorCleanup() {
        for (unsigned int i = 0; i < MAX_STREAMS; ++i) {
            destroyGenerator(CTrafficGeneratorTestAccess::sizeGenerator(generator, i));
            destroyGenerator(CTrafficGeneratorTestAccess::timeGenerator(generator, i));
        }
        CTrafficGeneratorTestAccess::forgetGenerators(generator);
    }
};

// An Erlang draw costs one rand() per stage; a fuzzed stage count in the billions is a
// legitimate (if useless) configuration that would only time the harness out.
bool cheapToDraw(CRandomGenerator* generator) {
    const auto* erlang = dynamic_cast<CErlangDistribution*>(generator);
    return erlang == nullptr || erlang->m_scale <= 100000;
}

void drawSamples(CRandomGenerator* generator) {
    if (generator == nullptr || !cheapToDraw(generator))
        return;
    for (int i = 0; i < 8; ++i)
        (void)generator->generate();
}

void fuzzSetUp(const std::string& text) {
    // Interface names first: the set-up would otherwise list the interfaces and ask for them.
    // A key that occurs twice keeps its first value, so the input cannot take them away.
    const std::string withInterfaces = "receiving interface = lo\nsending interface = lo\n" + text;
    try {
        const CConfig config = CConfig::fromText(withInterfaces);
        CTrafficGenerator generator;
        TGeneratorCleanup cleanup{generator};
        generator.loadDataFromConfig(config);
        const unsigned int streams = generator.getStreams();
        if (streams > MAX_STREAMS)
            violated("set-up accepted more than 10 streams");
        const float probability = generator.getConfidenceIntervalProbability();
        if (!(probability >= 0.5f && probability <= 1.0f))
            violated("set-up accepted a probability outside 0.5 - 1");
        srand(1);
        for (unsigned int i = 0; i < streams; ++i) {
            drawSamples(CTrafficGeneratorTestAccess::sizeGenerator(generator, i));
            drawSamples(CTrafficGeneratorTestAccess::timeGenerator(generator, i));
        }
    } catch (const THarnessFailure& failure) {
        // The set-up's answer to a bad file: one line of text, never an empty one.
        if (failure.message.empty() || failure.message.find('\n') != std::string::npos)
            violated("failure message empty or not one line");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setFailureHandler(throwFailure);
    // Nothing the set-up prints or reads matters here; a prompt meets end of input at once.
    std::cout.rdbuf(output.rdbuf());
    std::cin.rdbuf(input.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Text that does not parse would only end the set-up at its first step.
    if (fuzzParser(text))
        fuzzSetUp(text.substr(0, CONFIG_READ_LIMIT));
    output.str("");
    std::cout.clear();
    std::cin.clear();
    return 0;
}
