#include "benchmarkreport.h"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "benchmark.h"

std::string fixedDecimals(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

void printTableRule(std::ostream& out, int length) {
    out << std::string(static_cast<std::size_t>(length), '-') << "\n";
}

namespace {

constexpr int RATE_TABLE_WIDTH = 114;
constexpr int LATENCY_TABLE_WIDTH = 145;

std::string frameText(const TBenchmarkSize& size) {
    if (size.frameSize) {
        return "Ramec " + std::to_string(*size.frameSize) + " B";
    }
    return "Ramce nastaveni (prumer " + fixedDecimals(size.meanFrameSize, 1) + " B)";
}

double lineFps(const TBenchmarkSize& size) {
    return size.lineRateFps ? static_cast<double>(*size.lineRateFps) : NAN;
}

std::string percentCell(double value) {
    return std::isfinite(value) ? fixedDecimals(value, 3) : "-";
}

void printRateRow(std::ostream& out, const std::string& name, const TBenchmarkRate& rate,
                  const TBenchmarkSize& size) {
    // What the tester could not go beyond is a lower bound of the device's rate.
    const std::string lower =
        (rate.limitedBy == "tester" ? ">= " : "") + fixedDecimals(rate.lowerFps, 0);
    out << "| " << std::left << std::setw(10) << name << std::right << " |";
    out << std::setw(17) << lower << " |";
    out << std::setw(19) << fixedDecimals(rate.upperFps, 0) << " |";
    out << std::setw(15)
        << fixedDecimals(frameBitsPerSecond(rate.lowerFps, size.meanFrameSize) / 1e6, 3) << " |";
    out << std::setw(18)
        << fixedDecimals(wireBitsPerSecond(rate.lowerFps, size.meanFrameSize) / 1e6, 3) << " |";
    out << std::setw(10) << percentCell(percentOfLine(rate.lowerFps, lineFps(size))) << " |";
    out << std::setw(9) << limitText(rate.limitedBy) << " |\n";
}

std::string delayCell(const TDelayFigures& delay, double value) {
    return delay.known && std::isfinite(value) ? fixedDecimals(value, 0) : "-";
}

void printLatencyRow(std::ostream& out, const TBenchmarkLatency& latency) {
    const TDelayFigures& delay = latency.delay;
    out << "| " << std::setw(12) << fixedDecimals(latency.loadPercent, 1) << " |";
    out << std::setw(20) << fixedDecimals(latency.offeredFps, 0) << " |";
    out << std::setw(15) << fixedDecimals(latency.lossPercent, 3) << " |";
    out << std::setw(14) << delayCell(delay, delay.min) << " |";
    out << std::setw(9) << delayCell(delay, delay.percentiles.p50) << " |";
    out << std::setw(9) << delayCell(delay, delay.percentiles.p99) << " |";
    out << std::setw(11) << delayCell(delay, delay.percentiles.p99_9) << " |";
    out << std::setw(14) << delayCell(delay, delay.max) << " |";
    out << std::setw(12) << (delay.known ? fixedDecimals(delay.jitter, 3) : "-") << " |";
    out << std::setw(7) << (latency.valid ? "ano" : "ne") << " |\n";
}

void printLatencyIntervals(std::ostream& out, const TBenchmarkSize& size, float probability) {
    for (const TBenchmarkLatency& latency : size.latency) {
        if (!latency.statistics) {
            continue;
        }
        const TStreamStatistics& statistics = *latency.statistics;
        out << "Zatizeni " << fixedDecimals(latency.loadPercent, 1)
            << " %: interval spolehlivosti (p=" << fixedDecimals(probability, 4)
            << ") ztratovosti <" << fixedDecimals(statistics.lossInterval.lower, 3) << ", "
            << fixedDecimals(statistics.lossInterval.upper, 3) << "> %, prumerneho zpozdeni <"
            << fixedDecimals(statistics.delayInterval.lower, 3) << ", "
            << fixedDecimals(statistics.delayInterval.upper, 3) << "> us\n";
    }
}

// RFC 8219's figures of each load in microseconds to the nanosecond, with where the send end of
// the delays was stamped and the sender's lag behind the kernel's stamp.
void printRfc8219Latency(std::ostream& out, const TBenchmarkSize& size) {
    for (const TBenchmarkLatency& latency : size.latency) {
        if (!latency.rfc8219) {
            continue;
        }
        const TRfc8219Latency& figures = *latency.rfc8219;
        out << "Zatizeni " << fixedDecimals(latency.loadPercent, 1) << " % (RFC 8219, znacky "
            << latency.delay.stampSource << "): min " << fixedDecimals(figures.minNs / 1000, 3)
            << ", median " << fixedDecimals(figures.medianNs / 1000, 3) << ", p99.9 "
            << fixedDecimals(figures.p99_9Ns / 1000, 3) << ", max "
            << fixedDecimals(figures.maxNs / 1000, 3) << ", PDV "
            << fixedDecimals(figures.pdvNs / 1000, 3) << " us";
        if (latency.delay.sendStamps) {
            const TSendStampReport& stamps = *latency.delay.sendStamps;
            out << "; znacen kazdy " << stamps.every << ". ramec, chybi " << stamps.missing << " z "
                << stamps.expected;
            if (stamps.lagKnown) {
                out << ", prodleva odesilatele p50/p99/max "
                    << fixedDecimals(stamps.lagP50Ns / 1000, 3) << "/"
                    << fixedDecimals(stamps.lagP99Ns / 1000, 3) << "/"
                    << fixedDecimals(stamps.lagMaxNs / 1000, 3) << " us";
            }
        }
        out << "\n";
    }
}

void printLatency(std::ostream& out, const TBenchmarkSize& size, float probability) {
    if (size.latency.empty()) {
        return;
    }
    out << "Zpozdeni pri zatizeni (v % NDR)\n";
    printTableRule(out, LATENCY_TABLE_WIDTH);
    out << "| Zatizeni [%] | Nabidnuto [ramcu/s] | Ztratovost [%] | Min. zp. [us] | p50 [us] | "
           "p99 [us] | p99.9 [us] | Max. zp. [us] | Jitter [us] | Platny |\n";
    for (const TBenchmarkLatency& latency : size.latency) {
        printLatencyRow(out, latency);
    }
    printTableRule(out, LATENCY_TABLE_WIDTH);
    printLatencyIntervals(out, size, probability);
    printRfc8219Latency(out, size);
}

// What stopped a rate, in one line.
std::string limitLine(const std::string& name, const TBenchmarkRate& rate) {
    const std::string lower = fixedDecimals(rate.lowerFps, 0);
    if (rate.limitedBy == "line rate") {
        return name + ": bez prekroceni ztrat az po linkovou rychlost " + lower + " ramcu/s";
    }
    if (rate.limitedBy == "tester") {
        return name + ": omezenim byl tester, ne zarizeni: nad " + lower +
               " ramcu/s nedokazal nabidnout zatizeni; zarizeni zvladne nejmene " + lower +
               " ramcu/s";
    }
    if (rate.lowerFps <= 0) {
        return name + ": zadne zkousene zatizeni neproslo, nejnizsi neuspesne " +
               fixedDecimals(rate.upperFps, 0) + " ramcu/s";
    }
    return name + ": omezenim bylo zarizeni: proslo " + lower + " ramcu/s, neproslo " +
           fixedDecimals(rate.upperFps, 0) + " ramcu/s";
}

// The latency trials at the NDR itself are its confirmation with long trials.
void printConfirmation(std::ostream& out, const TBenchmarkSize& size) {
    for (const TBenchmarkLatency& latency : size.latency) {
        if (latency.loadPercent == 100.0 && latency.lossPercent > 0) {
            out << "NDR nepotvrzena: pri 100 % NDR ztratilo zarizeni v delsim pokusu "
                << fixedDecimals(latency.lossPercent, 3) << " % ramcu\n";
        }
    }
}

// How a rate was searched for and how far the search went, in a line.
std::string searchLine(const std::string& name, const TBenchmarkRate& rate) {
    std::string text = name + ": cil ztratovost " + fixedDecimals(rate.goalLossPercent, 3) +
                       " %, prekroceni " + fixedDecimals(rate.goalExceedPercent, 1) +
                       " % doby, konecny pokus " + fixedDecimals(rate.goalFinalDurationS, 3) +
                       " s, soucet " + fixedDecimals(rate.goalDurationSumS, 3) + " s, sirka " +
                       fixedDecimals(rate.goalWidthPercent, 3) + " %; dosazena sirka " +
                       fixedDecimals(rate.widthReachedPercent, 3) + " %, ";
    if (rate.complete) {
        text += "hledani dokonceno";
    } else if (rate.cutOffBy == "interrupt") {
        text += "hledani preruseno";
    } else if (rate.cutOffBy == "trial cap") {
        text += "hledani zastaveno limitem pokusu";
    } else {
        text += "hledani nedokonceno";
    }
    text += " (" + std::to_string(rate.searchTrials) + " pokusu, " +
            fixedDecimals(rate.searchSeconds, 1) + " s)";
    if (rate.lowerRepeated && rate.upperRepeated) {
        text += "; opakovani: proslo min/median/max " + fixedDecimals(rate.lowerRepeated->min, 0) +
                "/" + fixedDecimals(rate.lowerRepeated->median, 0) + "/" +
                fixedDecimals(rate.lowerRepeated->max, 0) + ", neproslo " +
                fixedDecimals(rate.upperRepeated->min, 0) + "/" +
                fixedDecimals(rate.upperRepeated->median, 0) + "/" +
                fixedDecimals(rate.upperRepeated->max, 0);
    }
    return text;
}

std::string pdrName(const TBenchmarkResults& benchmark) {
    std::ostringstream text;
    text << "PDR " << benchmark.pdrLossPercent << " %";
    return text.str();
}

// Why a trial is not a device result, as the progress line says it.
std::string reasonText(const std::string& reason) {
    if (reason == "tester maximum") {
        return "mereni maxima testeru";
    }
    if (reason == "sender behind schedule") {
        return "odesilatel nedodrzel rozvrh";
    }
    if (reason == "frames refused") {
        return "lokalni system odmitl ramce";
    }
    if (reason == "queue dropped") {
        return "fronta odesilaciho rozhrani zahodila nebo zdrzela ramce";
    }
    if (reason == "interface dropped") {
        return "rozhrani testeru zahodilo ramce";
    }
    if (reason == "backlog dropped") {
        return "fronta jadra (backlog) zahodila ramce";
    }
    if (reason == "capture dropped") {
        return "zachytavani zahodilo ramce";
    }
    if (reason == "count unknown") {
        return "pocet odeslanych ramcu nelze zjistit";
    }
    return "preruseno";
}

} // namespace

std::string limitText(const std::string& limit) {
    if (limit == "tester") {
        return "tester";
    }
    if (limit == "line rate") {
        return "linka";
    }
    return "zarizeni";
}

std::string trialProgressText(const TBenchmarkSize& size, std::size_t trial, double targetFps) {
    std::string text = frameText(size) + ": zatizeni ";
    if (std::isinf(targetFps)) {
        text += "maximalni (ramce bez mezer)";
    } else {
        text += fixedDecimals(targetFps, 0) + " ramcu/s";
        if (size.lineRateFps) {
            text += " (" + fixedDecimals(percentOfLine(targetFps, lineFps(size)), 3) + " % linky)";
        }
    }
    return text + ", pokus " + std::to_string(trial);
}

std::string trialOutcomeText(const TBenchmarkTrial& trial) {
    std::string text = " -> odeslano " + std::to_string(trial.sent) + " ramcu (" +
                       fixedDecimals(trial.achievedFps, 0) + " ramcu/s), ztratovost " +
                       fixedDecimals(trial.lossPercent, 3) + " %";
    if (trial.invalidReason != nullptr) {
        text += ", neni vysledek zarizeni: " + reasonText(trial.invalidReason);
    }
    return text;
}

void printSizeHeading(std::ostream& out, const TBenchmarkSize& size,
                      const TBenchmarkResults& benchmark) {
    out << "Benchmark: " << frameText(size) << " ("
        << fixedDecimals(size.meanFrameSize - FCS_LENGTH, 1) << " B bez FCS), linka ";
    if (benchmark.lineRateBps && size.lineRateFps) {
        out << fixedDecimals(*benchmark.lineRateBps / 1e6, 3) << " Mbit/s = " << *size.lineRateFps
            << " ramcu/s\n";
    } else {
        out << "neznama, maximum testeru " << fixedDecimals(size.testerMaximumFps.value_or(0), 0)
            << " ramcu/s\n";
    }
}

void printBenchmarkSize(std::ostream& out, const TBenchmarkSize& size,
                        const TBenchmarkResults& benchmark, float probability) {
    printSizeHeading(out, size, benchmark);
    printTableRule(out, RATE_TABLE_WIDTH);
    out << "| Rychlost   | Proslo [ramcu/s] | Neproslo [ramcu/s] | Ramce [Mbit/s] | Na lince "
           "[Mbit/s] | Linky [%] | Omezeni  |\n";
    printRateRow(out, "NDR", size.ndr, size);
    printRateRow(out, pdrName(benchmark), size.pdr, size);
    printTableRule(out, RATE_TABLE_WIDTH);
    printLatency(out, size, probability);
    out << limitLine("NDR", size.ndr) << "\n";
    printConfirmation(out, size);
    out << limitLine(pdrName(benchmark), size.pdr) << "\n";
    out << searchLine("NDR", size.ndr) << "\n";
    out << searchLine(pdrName(benchmark), size.pdr) << "\n\n";
}

void printBenchmarkEnd(std::ostream& out, const TBenchmarkResults& benchmark, bool interrupted) {
    std::size_t trials = 0;
    for (const TBenchmarkSize& size : benchmark.sizes) {
        trials += size.trials.size();
    }
    out << (interrupted ? "Benchmark prerusen: " : "Benchmark: ") << trials
        << " pokusu, celkova doba " << fixedDecimals(benchmark.totalSeconds, 1) << " s\n";
}
