#include "rfc2544report.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "benchmarkreport.h"
#include "servicetestreport.h"

namespace {

constexpr int FRAME_LOSS_TABLE_WIDTH = 118;
constexpr int BACK_TO_BACK_TABLE_WIDTH = 126;
constexpr int RECOVERY_TABLE_WIDTH = 89;

std::string topText(const TTopRate& top) {
    return fixedDecimals(top.fps, 0) + " ramcu/s (" + (top.lineRate ? "linka" : "maximum testeru") +
           ")";
}

void printFrameLoss(std::ostream& out, const TFrameLossResult& result) {
    out << "Ztratovost ramcu (RFC 2544): od 100 % z " << topText(result.top) << " po 10 %, pokusy "
        << fixedDecimals(result.durationUs / 1e6, 3) << " s, " << fixedDecimals(result.seconds, 1)
        << " s\n";
    printTableRule(out, FRAME_LOSS_TABLE_WIDTH);
    out << "| Zatizeni [%] | Nabidnuto [ramcu/s] | Dosazeno [ramcu/s] |     Odeslano |      "
           "Prijato | Ztratovost [%] | Platny |\n";
    for (const TFrameLossStep& step : result.steps) {
        out << "| " << std::setw(12) << fixedDecimals(step.percent, 1) << " |";
        out << std::setw(20) << fixedDecimals(step.offeredFps, 0) << " |";
        out << std::setw(19) << fixedDecimals(step.achievedFps, 0) << " |";
        out << std::setw(13) << step.sent << " |";
        out << std::setw(13) << step.received << " |";
        out << std::setw(15) << fixedDecimals(step.lossPercent, 3) << " |";
        out << std::setw(7) << (step.valid ? "ano" : "ne") << " |\n";
    }
    printTableRule(out, FRAME_LOSS_TABLE_WIDTH);
    if (std::any_of(result.steps.begin(), result.steps.end(),
                    [](const TFrameLossStep& step) { return !step.valid; })) {
        out << "Zatizeni oznacena \"ne\" tester nedokazal nabidnout: jejich ztraty nejsou "
               "ztratami zarizeni\n";
    }
    out << "\n";
}

void printBackToBack(std::ostream& out, const TBackToBackResult& result) {
    out << "Ramce bez mezer (back-to-back, RFC 2544 a RFC 9004) pri " << topText(result.top)
        << ", nejdelsi davka " << result.longestBurst << " ramcu, " << result.trials << " pokusu, "
        << fixedDecimals(result.seconds, 1) << " s\n";
    printTableRule(out, BACK_TO_BACK_TABLE_WIDTH);
    out << "| Opakovani | Davka min. | Davka prumer | Davka max. | Doba bufferu [us] | Opravena "
           "doba [us] | Propustnost [ramcu/s] |\n";
    const auto [least, most] = std::minmax_element(result.bursts.begin(), result.bursts.end());
    const bool any = !result.bursts.empty();
    out << "| " << std::setw(9) << result.bursts.size() << " |";
    out << std::setw(11) << (any ? std::to_string(*least) : "-") << " |";
    out << std::setw(13) << (any ? fixedDecimals(result.averageBurst, 1) : "-") << " |";
    out << std::setw(11) << (any ? std::to_string(*most) : "-") << " |";
    out << std::setw(18) << (any ? fixedDecimals(result.impliedBufferS * 1e6, 1) : "-") << " |";
    out << std::setw(20) << (any ? fixedDecimals(result.correctedBufferS * 1e6, 1) : "-") << " |";
    out << std::setw(22) << fixedDecimals(result.throughputFps, 0) << " |\n";
    printTableRule(out, BACK_TO_BACK_TABLE_WIDTH);
    out << "Opravena doba = prumerna davka / " << fixedDecimals(result.top.fps, 0)
        << " x (1 - propustnost / " << fixedDecimals(result.top.fps, 0)
        << "): bez ramcu, ktere zarizeni behem davky predalo\n";
    if (result.longestPassed) {
        out << "Zarizeni preneslo i nejdelsi zkousenou davku: jeho bufer muze byt delsi\n";
    }
    if (result.testerLimited) {
        out << "Tester nedokazal odeslat davku rychlosti " << fixedDecimals(result.top.fps, 0)
            << " ramcu/s: davky nejsou vysledkem zarizeni\n";
    }
    if (!(result.throughputFps > 0)) {
        out << "Bez nalezene propustnosti se doba bufferu neopravuje\n";
    }
    out << "\n";
}

void printRecovery(std::ostream& out, const TRecoveryResult& result) {
    out << "Zotaveni systemu (RFC 2544): ";
    if (!result.note.empty()) {
        out << (result.note == "interrupted" ? "preruseno" : "bez nalezene propustnosti neprobehlo")
            << "\n\n";
        return;
    }
    out << "pretizeni " << fixedDecimals(result.overloadFps, 0) << " ramcu/s ("
        << (result.overloadCapped ? "maximum, 110 % propustnosti je vic"
                                  : "110 % propustnosti " + fixedDecimals(result.throughputFps, 0))
        << ") " << fixedDecimals(result.overloadUs / 1e6, 3) << " s, pak "
        << fixedDecimals(result.lowFps, 0) << " ramcu/s " << fixedDecimals(result.lowUs / 1e6, 3)
        << " s, rozliseni " << fixedDecimals(result.resolutionUs / 1e3, 0) << " ms\n";
    printTableRule(out, RECOVERY_TABLE_WIDTH);
    out << "| Ztraceno pri pretizeni | Ztraceno po snizeni | Doba zotaveni [ms] | Zotaveno | "
           "Platny |\n";
    out << "| " << std::setw(22) << result.lostInOverload << " |";
    out << std::setw(20) << result.lostAfterDrop << " |";
    out << std::setw(19)
        << ((result.recovered ? "" : ">= ") + fixedDecimals(result.recoveryS * 1e3, 1)) << " |";
    out << std::setw(9) << (result.recovered ? "ano" : "ne") << " |";
    out << std::setw(7) << (result.valid ? "ano" : "ne") << " |\n";
    printTableRule(out, RECOVERY_TABLE_WIDTH);
    out << "\n";
}

std::string sizeText(const std::optional<std::uint32_t>& frameSize) {
    return frameSize ? "ramec " + std::to_string(*frameSize) + " B" : "ramce nastaveni";
}

} // namespace

void printFurtherTests(std::ostream& out, const TBenchmarkSize& size) {
    if (size.frameLoss) {
        printFrameLoss(out, *size.frameLoss);
    }
    if (size.backToBack) {
        printBackToBack(out, *size.backToBack);
    }
    if (size.recovery) {
        printRecovery(out, *size.recovery);
    }
}

void printRateVerdicts(std::ostream& out, const TBenchmarkResults& benchmark, bool interrupted) {
    if (!benchmark.verdict) {
        return;
    }
    for (const TRateVerdict& rate : benchmark.rateVerdicts) {
        out << "Ocekavana NDR, " << sizeText(rate.frameSize) << ": nejmene "
            << fixedDecimals(rate.expectedFps, 0) << " ramcu/s, nalezeno "
            << fixedDecimals(rate.foundFps, 0) << " ramcu/s (omezeni " << limitText(rate.limitedBy)
            << "): " << verdictWord(rate.verdict) << "\n";
    }
    out << "Celkovy vysledek: " << verdictWord(*benchmark.verdict)
        << (interrupted ? " (benchmark byl prerusen)" : "") << "\n";
}
