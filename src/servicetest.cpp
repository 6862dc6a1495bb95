#include "servicetest.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "benchmark.h"
#include "config.h"
#include "fail.h"
#include "textparsing.h"

namespace {

constexpr double BITS_PER_BYTE = 8;

// A finite number written whole, within minimum..maximum.
bool readBounded(const std::string& text, double minimum, double maximum, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double read = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(read) || read < minimum ||
        read > maximum) {
        return false;
    }
    value = read;
    return true;
}

bool readPercentList(const std::string& text, std::vector<double>& values) {
    std::vector<double> read;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        double value = 0;
        if (!readBounded(item, 1, 100, value)) {
            return false;
        }
        read.push_back(value);
    }
    if (read.empty()) {
        return false;
    }
    values = read;
    return true;
}

// A rate in bit/s: "0" or what a line rate may be (k, M, G).
bool readRate(const std::string& text, bool zeroAllowed, double& bps) {
    if (zeroAllowed && text == "0") {
        bps = 0;
        return true;
    }
    return readLineRate(text, bps);
}

std::string figure(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

std::string keyName(std::string name) {
    std::replace(name.begin(), name.end(), '-', ' ');
    return name;
}

std::string trimmedText(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

TStepVerdict failed(const std::string& failure) {
    return {TVerdict::deviceFailed, failure};
}

// The criteria on loss and delay, the first failing one named.
TStepVerdict judgeCriteria(const TServiceCriteria& criteria, const TStepFigures& figures) {
    const double loss = lossPercentOf(figures);
    if (loss > criteria.flrPercent) {
        return failed("FLR " + figure(loss, 3) + " % > " + figure(criteria.flrPercent, 3) + " %");
    }
    if (figures.received == 0) {
        return {};
    }
    if (criteria.ftdUs && figures.meanDelayUs > *criteria.ftdUs) {
        return failed("FTD " + figure(figures.meanDelayUs, 1) + " us > " +
                      figure(*criteria.ftdUs, 1) + " us");
    }
    if (criteria.fdvUs && figures.fdvUs > *criteria.fdvUs) {
        return failed("FDV " + figure(figures.fdvUs, 1) + " us > " + figure(*criteria.fdvUs, 1) +
                      " us");
    }
    return {};
}

} // namespace

TVerdict combinedVerdict(const std::vector<TVerdict>& verdicts) {
    TVerdict combined = TVerdict::passed;
    for (TVerdict verdict : verdicts) {
        if (verdict == TVerdict::deviceFailed) {
            return verdict;
        }
        if (verdict == TVerdict::testerLimit) {
            combined = verdict;
        }
    }
    return combined;
}

int exitStatusOf(TVerdict verdict) {
    switch (verdict) {
    case TVerdict::deviceFailed:
        return EXIT_DEVICE_FAILED;
    case TVerdict::testerLimit:
        return EXIT_TESTER_LIMIT;
    case TVerdict::passed:
        break;
    }
    return EXIT_PASSED;
}

const char* verdictText(TVerdict verdict) {
    switch (verdict) {
    case TVerdict::deviceFailed:
        return "device failed";
    case TVerdict::testerLimit:
        return "tester limit";
    case TVerdict::passed:
        break;
    }
    return "passed";
}

const char* const SERVICE_TEST_KEYS[6] = {"service steps",  "step duration", "performance duration",
                                          "fdv percentile", "overshoot",     "policing tolerance"};

void applyServiceTestSetting(TServiceTestSettings& settings, const std::string& name,
                             const std::string& text) {
    const std::string key = keyName(name);
    const std::string value = trimmedText(text);
    bool ok = false;
    double number = 0;
    if (key == "service steps") {
        ok = readPercentList(value, settings.stepsPercent);
    } else if (key == "step duration") {
        ok = readDecimal(value, 10000, 3600000000u, settings.stepDurationUs);
    } else if (key == "performance duration") {
        // A cycle lasts at most 2^32 us.
        ok = readDecimal(value, 0, 4294, settings.performanceDurationS);
    } else if (key == "fdv percentile") {
        ok = readBounded(value, 50, 99.999, number);
        settings.fdvPercentile = ok ? number : settings.fdvPercentile;
    } else if (key == "overshoot") {
        ok = readBounded(value, 1, 1000, number);
        settings.overshootPercent = ok ? number : settings.overshootPercent;
    } else if (key == "policing tolerance") {
        ok = readBounded(value, 0, 100, number);
        settings.policingTolerancePercent = ok ? number : settings.policingTolerancePercent;
    }
    if (!ok) {
        fail("Neplatna hodnota " + key + ": " + text);
    }
}

void applyServiceTestKeys(TServiceTestSettings& settings, const CConfig& config) {
    for (const char* key : SERVICE_TEST_KEYS) {
        if (config.hasKey(key, "")) {
            applyServiceTestSetting(settings, key, config.getString(key, ""));
        }
    }
}

std::vector<TService> readServices(const CConfig& config, std::uint32_t streams) {
    std::vector<TService> services;
    for (std::uint32_t stream = 1; stream <= streams; ++stream) {
        const std::string section = "STREAM " + std::to_string(stream);
        const auto invalid = [&section](const std::string& key) {
            fail("Neplatna hodnota " + key + " pod sekci " + section);
        };
        const auto text = [&config, &section](const char* key) {
            return trimmedText(config.getString(key, section));
        };
        TService service;
        service.stream = stream;
        if (!config.hasKey("CIR", section) || !readRate(text("CIR"), false, service.cirBps)) {
            invalid("CIR");
        }
        if (config.hasKey("EIR", section) && !readRate(text("EIR"), true, service.eirBps)) {
            invalid("EIR");
        }
        if (config.hasKey("FLR", section) &&
            !readBounded(text("FLR"), 0, 100, service.criteria.flrPercent)) {
            invalid("FLR");
        }
        double value = 0;
        if (config.hasKey("FTD", section)) {
            if (!readBounded(text("FTD"), 0, 1e12, value)) {
                invalid("FTD");
            }
            service.criteria.ftdUs = value;
        }
        if (config.hasKey("FDV", section)) {
            if (!readBounded(text("FDV"), 0, 1e12, value)) {
                invalid("FDV");
            }
            service.criteria.fdvUs = value;
        }
        if (config.hasKey("availability", section) &&
            !readBounded(text("availability"), 0, 100, service.criteria.availabilityPercent)) {
            invalid("availability");
        }
        services.push_back(service);
    }
    return services;
}

double lossPercentOf(const TStepFigures& figures) {
    if (figures.sent == 0) {
        return 0;
    }
    return (static_cast<double>(figures.sent) - static_cast<double>(figures.received)) /
           static_cast<double>(figures.sent) * 100.0;
}

double informationRateBps(double fps, double frameBytes) {
    return fps * frameBytes * BITS_PER_BYTE;
}

double framesPerSecond(double bps, double frameBytes) {
    return bps / (frameBytes * BITS_PER_BYTE);
}

double stepLoadBps(const TService& service, TStepKind kind, double percent,
                   const TServiceTestSettings& settings) {
    switch (kind) {
    case TStepKind::cir:
        return service.cirBps * percent / 100.0;
    case TStepKind::cirAndEir:
        return service.cirBps + service.eirBps;
    case TStepKind::overshoot:
        break;
    }
    const double over = 1.0 + settings.overshootPercent / 100.0;
    return service.eirBps > 0 ? service.cirBps + service.eirBps * over : service.cirBps * over;
}

namespace {

TStepVerdict testerLimit(const TStepFigures& figures) {
    return {TVerdict::testerLimit,
            "tester nenabidl " + figure(figures.offeredBps / 1e6, 3) + " Mbit/s"};
}

// The verdict of the device's figures alone, the tester's shortfall set aside.
TStepVerdict judgeDevice(const TService& service, TStepKind kind, const TStepFigures& figures,
                         const TServiceTestSettings& settings) {
    switch (kind) {
    case TStepKind::cir:
        return judgeCriteria(service.criteria, figures);
    case TStepKind::cirAndEir: {
        // Green and yellow frames of one stream are not told apart: what must arrive is the
        // CIR's share of the frames sent, less the loss the criterion allows. Their delays are
        // not judged, as they may be those of the excess frames.
        const double share = service.cirBps / (service.cirBps + service.eirBps);
        const double needed =
            static_cast<double>(figures.sent) * share * (1.0 - service.criteria.flrPercent / 100);
        if (static_cast<double>(figures.received) < needed) {
            return failed("CIR " + figure(figures.receivedBps / 1e6, 3) + " Mbit/s prijato < " +
                          figure(service.cirBps / 1e6, 3) + " Mbit/s");
        }
        return {};
    }
    case TStepKind::overshoot:
        break;
    }
    const double allowed =
        (service.cirBps + service.eirBps) * (1.0 + settings.policingTolerancePercent / 100.0);
    if (figures.receivedBps > allowed) {
        return failed("IR " + figure(figures.receivedBps / 1e6, 3) + " Mbit/s > CIR+EIR " +
                      figure((service.cirBps + service.eirBps) / 1e6, 3) + " Mbit/s");
    }
    return {};
}

} // namespace

TStepVerdict judgeStep(const TService& service, TStepKind kind, const TStepFigures& figures,
                       const TServiceTestSettings& settings) {
    if (!figures.countsTrusted) {
        return testerLimit(figures);
    }
    const TStepVerdict device = judgeDevice(service, kind, figures, settings);
    if (device.verdict == TVerdict::passed && !figures.loadKept) {
        return testerLimit(figures);
    }
    return device;
}

bool severelyErrored(std::uint64_t sent, std::uint64_t received, double flrPercent) {
    if (sent == 0) {
        return false;
    }
    const double loss =
        (static_cast<double>(sent) - static_cast<double>(received)) / static_cast<double>(sent);
    return loss * 100.0 > flrPercent;
}

TAvailability countAvailability(const std::vector<bool>& severelyErroredSeconds) {
    TAvailability result;
    result.seconds = static_cast<std::uint32_t>(severelyErroredSeconds.size());
    bool available = true;
    // The current run of seconds that would change the state (SES while available, others
    // while unavailable), not yet decided.
    std::uint32_t run = 0;
    std::uint32_t pendingSes = 0; // SES in available time not yet known to start unavailability
    for (bool ses : severelyErroredSeconds) {
        if (available) {
            if (ses) {
                ++run;
                if (run == AVAILABILITY_RUN) {
                    // These ten seconds were unavailable from their start.
                    available = false;
                    result.unavailable += run;
                    run = 0;
                    pendingSes = 0;
                } else {
                    ++pendingSes;
                }
            } else {
                result.severelyErrored += pendingSes;
                pendingSes = 0;
                run = 0;
            }
        } else {
            if (!ses) {
                ++run;
                if (run == AVAILABILITY_RUN) {
                    available = true;
                    run = 0;
                }
            } else {
                // The seconds that were not SES stay unavailable with this one.
                result.unavailable += run + 1;
                run = 0;
            }
        }
    }
    // A run too short to change the state keeps the state it is in.
    if (available) {
        result.severelyErrored += pendingSes;
    } else {
        result.unavailable += run;
    }
    if (result.seconds > 0) {
        result.availabilityPercent =
            100.0 * static_cast<double>(result.seconds - result.unavailable) / result.seconds;
    }
    return result;
}

void decideVerdicts(TServiceTestResults& results) {
    std::vector<TVerdict> all;
    results.serviceVerdicts.clear();
    for (const TService& service : results.services) {
        std::vector<TVerdict> own;
        for (const TServiceStepResult& step : results.steps) {
            if (step.stream == service.stream) {
                own.push_back(step.verdict.verdict);
            }
        }
        for (const TServicePerformanceResult& performance : results.performance) {
            if (performance.stream == service.stream) {
                own.push_back(performance.verdict.verdict);
            }
        }
        results.serviceVerdicts.push_back(combinedVerdict(own));
        all.push_back(results.serviceVerdicts.back());
    }
    results.verdict = combinedVerdict(all);
}

std::string stepName(const TServiceStepResult& step) {
    switch (step.kind) {
    case TStepKind::cir:
        return figure(step.percent, step.percent == std::floor(step.percent) ? 0 : 1) + " % CIR";
    case TStepKind::cirAndEir:
        return "CIR+EIR";
    case TStepKind::overshoot:
        break;
    }
    return "nad CIR+EIR";
}

TStepVerdict judgePerformance(const TService& service, const TStepFigures& figures,
                              const TAvailability& availability) {
    if (!figures.countsTrusted) {
        return testerLimit(figures);
    }
    const TStepVerdict criteria = judgeCriteria(service.criteria, figures);
    if (criteria.verdict != TVerdict::passed) {
        return criteria;
    }
    if (availability.availabilityPercent < service.criteria.availabilityPercent) {
        return failed("dostupnost " + figure(availability.availabilityPercent, 3) + " % < " +
                      figure(service.criteria.availabilityPercent, 3) + " %");
    }
    return figures.loadKept ? TStepVerdict{} : testerLimit(figures);
}
