#ifndef TRAFFICGEN_PROGRESS_H
#define TRAFFICGEN_PROGRESS_H

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

// The text of the progress line: the cycle of how many, the time gone and the whole time of the
// cycle, and the frames captured so far, for example
// "Cyklus 2 z 5: 12.3 s z 60.0 s, zachyceno 1234 paketu".
std::string progressText(std::uint32_t cycle, std::uint32_t cycles, std::int64_t elapsedUs,
                         std::uint32_t durationUs, std::uint64_t captured);

// One line on a terminal that shows the running cycle: redrawn in place ('\r') at most every
// UPDATE_INTERVAL_US while the cycle's frames are captured, and wiped before the cycle's rows
// are printed. The run keeps it only when standard error is a terminal.
class CProgressLine {
  public:
    static constexpr std::int64_t UPDATE_INTERVAL_US = 250000;

    CProgressLine(std::ostream& out, std::uint32_t durationUs) : out(out), durationUs(durationUs) {}

    // The cycle's time counts from the first update after this.
    void startCycle(std::uint32_t cycle, std::uint32_t cycles);
    // True when update() would draw: lets the caller skip counting the frames otherwise.
    bool due(std::int64_t nowUs) const { return !started || nowUs >= nextUpdateUs; }
    // Draws the line when it is due; `nowUs` on a monotonic clock.
    void update(std::int64_t nowUs, std::uint64_t captured);
    // Spaces over the line and the cursor back at its start; nothing when nothing is shown.
    void clear();

  private:
    std::ostream& out;
    const std::uint32_t durationUs;
    std::uint32_t cycle = 0;
    std::uint32_t cycles = 0;
    bool started = false;
    std::int64_t cycleStartUs = 0;
    std::int64_t nextUpdateUs = 0;
    std::size_t shownLength = 0;
};

#endif
