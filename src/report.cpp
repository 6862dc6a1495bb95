#include "report.h"

#include <cmath>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "accounting.h"
#include "sendstamps.h"

namespace {

void printRule(std::ostream& out, int length) {
    out << std::right << std::setfill('-') << std::setw(length) << "-" << std::endl;
}

// A figure with 3 decimals, formatted apart so that the stream keeps its own settings.
std::string fixedText(double value) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << value;
    return text.str();
}

// The cell that closes a statistics row: "<lower, upper>" with 3 decimals, built apart so
// that the field width applies to the whole text.
std::string intervalText(float lower, float upper) {
    return '<' + fixedText(lower) + ", " + fixedText(upper) + '>';
}

// z * sqrt(variance / cycles): the quotient in single precision, the root and the product in
// double, the result rounded back to float.
float halfWidth(float quantile, float variance, std::uint32_t cycles) {
    return static_cast<float>(
        static_cast<double>(quantile) *
        std::sqrt(static_cast<double>(variance / static_cast<float>(cycles))));
}

void printProbabilityHeading(std::ostream& out, float probability) {
    out << "Interval spolehlivosti (p=" << std::fixed << std::setprecision(4) << probability
        << ") |" << std::endl;
}

void printLossStatistics(std::ostream& out, const std::vector<TStreamAccumulator>& accumulators,
                         std::uint32_t cycles, float probability, float quantile) {
    out << "Statistika ztrat" << std::endl;
    printRule(out, 90);
    out << "| Tok | Minimalni [%] | Maximalni [%] | Prumerne [%] | ";
    printProbabilityHeading(out, probability);
    for (std::size_t k = 0; k < accumulators.size(); ++k) {
        const TStreamAccumulator& stream = accumulators[k];
        const TInterval interval = lossInterval(stream, cycles, quantile);

        out.unsetf(std::ios::fixed);
        out << "| " << std::setfill(' ') << std::setprecision(3);
        out << std::setw(3) << k + 1 << " |";
        out << std::setw(14) << stream.minLoss << " |";
        out << std::setw(14) << stream.maxLoss << " |";
        out << std::setw(13) << stream.meanLoss << " |";
        out << std::setw(34) << intervalText(interval.lower, interval.upper) << " |" << std::endl;
    }
    printRule(out, 90);
    out << std::endl;
}

void printDelayStatistics(std::ostream& out, const std::vector<TStreamAccumulator>& accumulators,
                          std::uint32_t cycles, float probability, float quantile) {
    out << "Statistika zpozdeni" << std::endl;
    printRule(out, 110);
    out << "| Tok | Minimalni [us] | Maximalni [us] | Prumerne [us] | Rozptyl [us^2] | ";
    printProbabilityHeading(out, probability);
    for (std::size_t k = 0; k < accumulators.size(); ++k) {
        const TStreamAccumulator& stream = accumulators[k];
        const TInterval interval = delayInterval(stream, cycles, quantile);

        out.unsetf(std::ios::fixed);
        out << "| " << std::setfill(' ');
        out << std::setw(3) << k + 1 << " |";
        out << std::setw(15) << stream.lowestDelay << " |";
        out << std::setw(15) << stream.highestDelay << " |";
        out << std::fixed << std::setprecision(3);
        out << std::setw(14) << stream.meanDelay << " |";
        out << std::setw(15) << stream.meanDelayVariance << " |";
        out << std::setw(34) << intervalText(interval.lower, interval.upper) << " |" << std::endl;
    }
    printRule(out, 110);
    out << std::endl;
}

// What the sequence numbers showed beyond loss, for a stream that saw copies or reordering.
void printSequenceWarning(std::ostream& err, std::uint32_t cycle, const TResult& result) {
    const TSequenceCounts& counts = result.sequence;
    if (!result.numbered || (counts.duplicates == 0 && counts.reordered == 0)) {
        return;
    }
    err << "Varovani: tok " << result.stream << " v cyklu " << cycle << ": prislo "
        << counts.duplicates << " duplicitnich paketu (nezapocteny) a " << counts.reordered
        << " paketu mimo poradi (nejvetsi posun " << counts.reorderExtentMax << ")";
    if (counts.late > 0) {
        err << ", z toho " << counts.late << " mimo okno " << CSequenceWindow::SIZE << " cisel";
    }
    err << std::endl;
}

} // namespace

TInterval lossInterval(const TStreamAccumulator& accumulator, std::uint32_t cycles,
                       float quantile) {
    float sum = 0.0f;
    for (float loss : accumulator.lossHistory) {
        sum = (loss - accumulator.meanLoss) * (loss - accumulator.meanLoss) + sum;
    }
    const float lossVariance = sum / static_cast<float>(accumulator.lossHistory.size());
    const float half = halfWidth(quantile, lossVariance, cycles);
    return {accumulator.meanLoss - half, accumulator.meanLoss + half};
}

TInterval delayInterval(const TStreamAccumulator& accumulator, std::uint32_t cycles,
                        float quantile) {
    const float half = halfWidth(quantile, accumulator.meanDelayVariance, cycles);
    return {accumulator.meanDelay - half, accumulator.meanDelay + half};
}

void accumulateResult(TStreamAccumulator& accumulator, const TResult& result, std::uint32_t cycle) {
    const float previous = static_cast<float>(cycle - 1);
    const float current = static_cast<float>(cycle);
    if (accumulator.minLoss > result.loss) {
        accumulator.minLoss = result.loss;
    }
    if (result.loss > accumulator.maxLoss) {
        accumulator.maxLoss = result.loss;
    }
    accumulator.meanLoss = (accumulator.meanLoss * previous + result.loss) / current;
    accumulator.lossHistory.push_back(result.loss);
    if (result.minDelay < accumulator.lowestDelay) {
        accumulator.lowestDelay = result.minDelay;
    }
    if (accumulator.highestDelay < result.maxDelay) {
        accumulator.highestDelay = result.maxDelay;
    }
    accumulator.meanDelay = (accumulator.meanDelay * previous + result.avgDelay) / current;
    accumulator.meanDelayVariance =
        (accumulator.meanDelayVariance * previous + result.delayVariance) / current;
    accumulator.delays.merge(result.delays);
    if (result.delayCount > 0) {
        accumulator.lowestDelayNs = std::min(accumulator.lowestDelayNs, result.minDelayNs);
        accumulator.highestDelayNs = std::max(accumulator.highestDelayNs, result.maxDelayNs);
    }
    accumulator.meanDelayNs = (accumulator.meanDelayNs * previous + result.meanDelayNs) / current;
    accumulator.meanDelayVarianceNs =
        (accumulator.meanDelayVarianceNs * previous + result.delayVarianceNs) / current;
}

void printCycleTableHead(std::ostream& out) {
    printRule(out, 152);
    out << "| No. | Tok | Prijato paketu | Poslano paketu | Ztratovost [%] | Prum. rychl. [MB/s] | "
        << "Min. zp. [us] | Max. zp. [us] | Prum. zp. [us] | Rozptyl [us^2] |" << std::endl;
}

void printCycleRow(std::ostream& out, std::uint32_t cycle, const TResult& result) {
    out.unsetf(std::ios::fixed);
    out << "| " << std::right << std::setfill(' ');
    out << std::setw(3) << cycle << " |";
    out << std::setw(4) << result.stream << " |";
    out << std::setw(15) << result.received << " |";
    out << std::setw(15) << result.sent << " |";
    out << std::setprecision(3) << std::setw(15) << result.loss << " |";
    out << std::fixed;
    out << std::setw(20) << result.throughput << " |";
    out << std::setw(14) << result.minDelay << " |";
    out << std::setw(14) << result.maxDelay << " |";
    out << std::setw(15) << result.avgDelay << " |";
    out << std::setw(15) << result.delayVariance << " | " << std::endl;
}

void printCycleTableFoot(std::ostream& out) {
    printRule(out, 152);
    out << std::endl;
}

std::string sendStampLine(std::uint32_t cycle, const TResult& result) {
    const TSendStampFigures& stamps = result.stamps;
    if (stamps.source == TStampSource::user) {
        return "";
    }
    std::string line = "Znacky odeslani: tok " + std::to_string(result.stream) + " v cyklu " +
                       std::to_string(cycle) + ": " + stampSourceName(stamps.source) +
                       ", znacen kazdy " + std::to_string(stamps.every) + ". paket, chybi " +
                       std::to_string(stamps.missing) + " z " + std::to_string(stamps.expected);
    if (stamps.lags.count() > 0) {
        const TPercentiles lags = stamps.lags.percentiles();
        line += "; prodleva odesilatele p50/p99/max " + fixedText(lags.p50 / 1000) + "/" +
                fixedText(lags.p99 / 1000) + "/" +
                fixedText(static_cast<double>(stamps.lags.maximum()) / 1000) + " us";
    }
    return line;
}

void printCycleWarnings(std::ostream& err, std::uint32_t cycle,
                        const std::vector<TResult>& results) {
    for (const TResult& result : results) {
        if (!result.sentKnown) {
            err << "Varovani: tok " << result.stream << " v cyklu " << cycle
                << ": pocet odeslanych paketu nelze zjistit, ztratovost neni platna" << std::endl;
        }
        if (result.refused > 0 || result.captureDropped > 0) {
            err << "Varovani: tok " << result.stream << " v cyklu " << cycle
                << ": lokalni system odmitl odeslat " << result.refused
                << " paketu, zachytavani zahodilo " << result.captureDropped
                << " paketu; ztraty nemusi byt jen na trase" << std::endl;
        }
        if (result.stragglers > 0) {
            err << "Varovani: tok " << result.stream << " v cyklu " << cycle << ": prislo "
                << result.stragglers
                << " opozdenych paketu odeslanych pred zacatkem cyklu; nebyly zapocteny"
                << std::endl;
        }
        if (!result.scheduleKept) {
            err << "Varovani: tok " << result.stream << " v cyklu " << cycle
                << ": rozvrh odesilani nedodrzen: prumerna mezera "
                << fixedText(result.offered.meanGapUs) << " us misto vylosovanych "
                << fixedText(result.offered.drawnMeanGapUs) << " us, rozvrh znovu zahajen "
                << result.offered.restarts << "x" << std::endl;
        }
        printSequenceWarning(err, cycle, result);
    }
}

void printStatistics(std::ostream& out, const std::vector<TStreamAccumulator>& accumulators,
                     std::uint32_t cycles, float probability, float quantile) {
    printLossStatistics(out, accumulators, cycles, probability, quantile);
    printDelayStatistics(out, accumulators, cycles, probability, quantile);
}
