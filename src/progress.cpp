#include "progress.h"

#include <cstdio>

std::string progressText(std::uint32_t cycle, std::uint32_t cycles, std::int64_t elapsedUs,
                         std::uint32_t durationUs, std::uint64_t captured) {
    const double elapsed = elapsedUs > 0 ? static_cast<double>(elapsedUs) / 1e6 : 0.0;
    char text[128];
    std::snprintf(text, sizeof text, "Cyklus %u z %u: %.1f s z %.1f s, zachyceno %llu paketu",
                  static_cast<unsigned>(cycle), static_cast<unsigned>(cycles), elapsed,
                  static_cast<double>(durationUs) / 1e6, static_cast<unsigned long long>(captured));
    return text;
}

void CProgressLine::startCycle(std::uint32_t cycleNumber, std::uint32_t cycleCount) {
    cycle = cycleNumber;
    cycles = cycleCount;
    started = false;
}

void CProgressLine::update(std::int64_t nowUs, std::uint64_t captured) {
    if (!due(nowUs)) {
        return;
    }
    if (!started) {
        started = true;
        cycleStartUs = nowUs;
    }
    std::string text = progressText(cycle, cycles, nowUs - cycleStartUs, durationUs, captured);
    // A shorter text than the one shown must cover all of it.
    const std::size_t length = text.size();
    if (length < shownLength) {
        text.append(shownLength - length, ' ');
    }
    out << '\r' << text << std::flush;
    shownLength = length;
    nextUpdateUs = nowUs + UPDATE_INTERVAL_US;
}

void CProgressLine::clear() {
    if (shownLength == 0) {
        return;
    }
    out << '\r' << std::string(shownLength, ' ') << '\r' << std::flush;
    shownLength = 0;
}
