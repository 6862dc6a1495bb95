#ifndef TRAFFICGEN_PROGRESS_H
#define TRAFFICGEN_PROGRESS_H

#include <cstdint>
#include <ostream>
#include <string>

// The text of the progress line: the cycle of how many, the time gone and the whole time of the
// cycle, and the frames captured so far, for example
// "Cyklus 2 z 5: 12.3 s z 60.0 s, zachyceno 1234 paketu".
std::string progressText(std::uint32_t cycle, std::uint32_t cycles, std::int64_t elapsedUs,
                         std::uint32_t durationUs, std::uint64_t captured);

// One line on a terminal that shows a running cycle: redrawn in place ('\r') at most every
// UPDATE_INTERVAL_US and wiped before the cycle's rows are printed. A disabled line (standard
// error is no terminal) writes nothing at all.
class CProgressLine {
  public:
    static constexpr std::int64_t UPDATE_INTERVAL_US = 250000;

    CProgressLine(std::ostream& out, bool enabled) : out(out), enabled(enabled) {}

    void startCycle(std::uint32_t cycle, std::uint32_t cycles, std::uint32_t durationUs,
                    std::int64_t nowUs);
    // True when update() would draw: lets the caller skip counting the frames otherwise.
    bool due(std::int64_t nowUs) const { return enabled && nowUs >= nextUpdateUs; }
    void update(std::int64_t nowUs, std::uint64_t captured);
    // Spaces over the line and the cursor back at its start; nothing when nothing is shown.
    void clear();

  private:
    std::ostream& out;
    const bool enabled;
    std::uint32_t cycle = 0;
    std::uint32_t cycles = 0;
    std::uint32_t durationUs = 0;
    std::int64_t cycleStartUs = 0;
    std::int64_t nextUpdateUs = 0;
    std::size_t shownLength = 0;
};

#endif
