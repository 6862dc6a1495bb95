#include "servicetestreport.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <utility>
#include <vector>

#include "benchmarkreport.h"

namespace {

constexpr int CONFIGURATION_TABLE_WIDTH = 122;
constexpr int PERFORMANCE_TABLE_WIDTH = 151;

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) {
        return "-";
    }
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// A header row: every cell right-aligned to its width, as the rows below it.
void printHeader(std::ostream& out, const std::vector<std::pair<const char*, int>>& cells) {
    out << "|";
    for (const auto& [name, width] : cells) {
        out << " " << std::setw(width) << name << " |";
    }
    out << "\n";
}

std::string delayCell(const TStepFigures& figures, double value) {
    return figures.delaysKnown ? fixed(value, 1) : "-";
}

void printStepRow(std::ostream& out, const TServiceStepResult& step) {
    const TStepFigures& figures = step.figures;
    out << "| " << std::setw(6) << step.stream << " |";
    out << std::setw(12) << stepName(step) << " |";
    out << std::setw(19) << fixed(step.loadBps / 1e6, 3) << " |";
    out << std::setw(17) << fixed(figures.receivedBps / 1e6, 3) << " |";
    out << std::setw(15) << fixed(lossPercentOf(figures), 3) << " |";
    out << std::setw(12) << delayCell(figures, figures.meanDelayUs) << " |";
    out << std::setw(12) << delayCell(figures, figures.fdvUs) << " |";
    out << std::setw(14) << verdictWord(step.verdict.verdict) << " |\n";
}

void printFailures(std::ostream& out, const TServiceTestResults& results) {
    for (const TServiceStepResult& step : results.steps) {
        if (!step.verdict.failure.empty()) {
            out << "Sluzba " << step.stream << ", krok " << stepName(step) << ": "
                << step.verdict.failure << "\n";
        }
    }
    for (const TServicePerformanceResult& performance : results.performance) {
        if (!performance.verdict.failure.empty()) {
            out << "Sluzba " << performance.stream
                << ", test vykonnosti: " << performance.verdict.failure << "\n";
        }
    }
}

void printConfiguration(std::ostream& out, const TServiceTestResults& results) {
    out << "Test konfigurace sluzeb (ITU-T Y.1564), krok "
        << fixed(results.settings.stepDurationUs / 1e6, 3) << " s, FDV = p"
        << fixed(results.settings.fdvPercentile, 1) << " - min\n";
    printTableRule(out, CONFIGURATION_TABLE_WIDTH);
    printHeader(out, {{"Sluzba", 6},
                      {"Krok", 11},
                      {"Nabidnuto [Mbit/s]", 18},
                      {"Prijato [Mbit/s]", 16},
                      {"Ztratovost [%]", 14},
                      {"FTD [us]", 11},
                      {"FDV [us]", 11},
                      {"Vysledek", 13}});
    for (const TServiceStepResult& step : results.steps) {
        printStepRow(out, step);
    }
    printTableRule(out, CONFIGURATION_TABLE_WIDTH);
}

void printPerformance(std::ostream& out, const TServiceTestResults& results) {
    out << "Test vykonnosti sluzeb (ITU-T Y.1564), " << results.settings.performanceDurationS
        << " s, dostupnost z vterin s vaznymi chybami (SES)\n";
    printTableRule(out, PERFORMANCE_TABLE_WIDTH);
    printHeader(out, {{"Sluzba", 6},
                      {"CIR [Mbit/s]", 12},
                      {"Prijato [Mbit/s]", 16},
                      {"Ztratovost [%]", 14},
                      {"FTD [us]", 12},
                      {"FDV [us]", 12},
                      {"SES", 5},
                      {"Nedostupnost [s]", 16},
                      {"Dostupnost [%]", 14},
                      {"Vysledek", 14}});
    for (const TServicePerformanceResult& performance : results.performance) {
        const TStepFigures& figures = performance.figures;
        out << "| " << std::setw(6) << performance.stream << " |";
        out << std::setw(13) << fixed(figures.offeredBps / 1e6, 3) << " |";
        out << std::setw(17) << fixed(figures.receivedBps / 1e6, 3) << " |";
        out << std::setw(15) << fixed(lossPercentOf(figures), 3) << " |";
        out << std::setw(13) << delayCell(figures, figures.meanDelayUs) << " |";
        out << std::setw(13) << delayCell(figures, figures.fdvUs) << " |";
        out << std::setw(6) << performance.availability.severelyErrored << " |";
        out << std::setw(17) << performance.availability.unavailable << " |";
        out << std::setw(15) << fixed(performance.availability.availabilityPercent, 3) << " |";
        out << std::setw(15) << verdictWord(performance.verdict.verdict) << " |\n";
    }
    printTableRule(out, PERFORMANCE_TABLE_WIDTH);
}

} // namespace

const char* verdictWord(TVerdict verdict) {
    switch (verdict) {
    case TVerdict::deviceFailed:
        return "nevyhovuje";
    case TVerdict::testerLimit:
        return "limit testeru";
    case TVerdict::passed:
        break;
    }
    return "vyhovuje";
}

std::string serviceStepLine(const TServiceStepResult& step) {
    return "Sluzba " + std::to_string(step.stream) + ", krok " + stepName(step) + ": " +
           fixed(step.loadBps / 1e6, 3) + " Mbit/s, prijato " +
           fixed(step.figures.receivedBps / 1e6, 3) + " Mbit/s, ztratovost " +
           fixed(lossPercentOf(step.figures), 3) + " %: " + verdictWord(step.verdict.verdict);
}

void printServiceTest(std::ostream& out, const TServiceTestResults& results, bool interrupted) {
    printConfiguration(out, results);
    if (!results.performance.empty()) {
        out << "\n";
        printPerformance(out, results);
    }
    printFailures(out, results);
    out << "\n";
    for (std::size_t i = 0; i < results.services.size() && i < results.serviceVerdicts.size();
         ++i) {
        out << "Sluzba " << results.services[i].stream << ": "
            << verdictWord(results.serviceVerdicts[i]) << "\n";
    }
    out << "Celkovy vysledek: " << verdictWord(results.verdict)
        << (interrupted ? " (test byl prerusen)" : "") << "\n";
}
