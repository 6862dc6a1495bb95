#include "intervals.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <iomanip>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "handover.h"
#include "textparsing.h"

namespace {

// The check sequence the interface adds to every frame; rates count it, as frame sizes do.
constexpr std::uint32_t CHECK_SEQUENCE = 4;
// The most counts a sender's file may hold: a cycle of 2^32 us in intervals of 1 ms.
constexpr std::size_t MOST_INTERVAL_COUNTS = 4294968;

} // namespace

const char* const INVALID_INTERVAL = "Neplatna hodnota interval! Rozsah pouze 10 - 3600000 ms";

bool readInterval(const std::string& text, std::uint32_t& milliseconds) {
    return readDecimal(text, MIN_INTERVAL_MS, MAX_INTERVAL_MS, milliseconds);
}

double intervalLossPercent(const TIntervalFigures& interval) {
    if (!interval.sentKnown || interval.sent == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return (static_cast<double>(interval.sent) - static_cast<double>(interval.received)) /
           static_cast<double>(interval.sent) * 100.0;
}

double intervalRateBps(const TIntervalFigures& interval) {
    if (interval.lengthUs == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(interval.bytes) * 8.0 * 1e6 / interval.lengthUs;
}

std::uint32_t intervalIndex(std::int64_t sentAfterStartUs, std::uint32_t lengthUs) {
    if (sentAfterStartUs <= 0 || lengthUs == 0) {
        return 0;
    }
    const std::int64_t index = sentAfterStartUs / lengthUs;
    return index > UINT32_MAX - 1 ? UINT32_MAX - 1 : static_cast<std::uint32_t>(index);
}

void CIntervalRecorder::start(std::uint32_t length) {
    lengthUs = length;
    firstOpen = 0;
    window.assign(length != 0 ? OPEN_INTERVALS : 0, TOpen{});
    closed.clear();
}

void CIntervalRecorder::close(TOpen& open) {
    if (!open.used) {
        return;
    }
    TIntervalFigures& figures = open.figures;
    if (figures.received > 0) {
        const TPercentiles percentiles = open.delays.percentiles();
        figures.p50 = percentiles.p50;
        figures.p99 = percentiles.p99;
        figures.jitter = open.jitter.value;
    }
    closedAt(open.index) = figures;
    open.used = false;
}

TIntervalFigures& CIntervalRecorder::closedAt(std::uint32_t index) {
    if (closed.size() <= index) {
        const std::size_t from = closed.size();
        closed.resize(static_cast<std::size_t>(index) + 1);
        for (std::size_t i = from; i < closed.size(); ++i) {
            closed[i].index = static_cast<std::uint32_t>(i);
        }
    }
    return closed[index];
}

void CIntervalRecorder::record(std::int64_t sentAfterStartUs, std::int64_t delayUs,
                               std::uint32_t length) {
    if (!enabled()) {
        return;
    }
    const std::uint32_t index = intervalIndex(sentAfterStartUs, lengthUs);
    const std::uint32_t delay = CDelayHistogram::clampDelay(delayUs);
    if (index < firstOpen) {
        TIntervalFigures& late = closedAt(index);
        late.minDelay = late.received == 0 ? delay : std::min(late.minDelay, delay);
        late.maxDelay = std::max(late.maxDelay, delay);
        ++late.received;
        late.bytes += length + CHECK_SEQUENCE;
        return;
    }
    // The window moves on: the intervals it leaves behind are closed.
    while (index >= firstOpen + OPEN_INTERVALS) {
        close(window[firstOpen % OPEN_INTERVALS]);
        ++firstOpen;
    }
    TOpen& open = window[index % OPEN_INTERVALS];
    if (!open.used) {
        open.used = true;
        open.index = index;
        open.figures = TIntervalFigures{};
        open.figures.index = index;
        open.delays = CDelayHistogram{};
        open.jitter = TJitter{};
    }
    TIntervalFigures& figures = open.figures;
    figures.minDelay = figures.received == 0 ? delay : std::min(figures.minDelay, delay);
    figures.maxDelay = std::max(figures.maxDelay, delay);
    ++figures.received;
    figures.bytes += length + CHECK_SEQUENCE;
    open.delays.record(delay);
    open.jitter.update(delayUs);
}

std::vector<TIntervalFigures>
CIntervalRecorder::finish(std::uint32_t durationUs,
                          const std::vector<std::uint64_t>& sentPerInterval, bool sentKnown) {
    if (!enabled()) {
        return {};
    }
    for (TOpen& open : window) {
        close(open);
    }
    const std::size_t covered = (static_cast<std::size_t>(durationUs) + lengthUs - 1) / lengthUs;
    const std::size_t count = std::max({closed.size(), covered, sentPerInterval.size()});
    if (count > 0) {
        closedAt(static_cast<std::uint32_t>(count - 1));
    }
    for (TIntervalFigures& interval : closed) {
        const std::uint64_t start = static_cast<std::uint64_t>(interval.index) * lengthUs;
        interval.startUs = start;
        // The last interval ends with the cycle; one beyond it (a frame sent at its very end)
        // keeps the full length.
        interval.lengthUs = start < durationUs && durationUs - start < lengthUs
                                ? static_cast<std::uint32_t>(durationUs - start)
                                : lengthUs;
        interval.sentKnown = sentKnown;
        interval.sent =
            interval.index < sentPerInterval.size() ? sentPerInterval[interval.index] : 0;
        if (interval.received == 0) {
            interval.p50 = interval.p99 = std::numeric_limits<double>::quiet_NaN();
        }
    }
    std::vector<TIntervalFigures> result;
    result.swap(closed);
    start(lengthUs);
    return result;
}

void CDepartureCounter::departed(std::int64_t sentAfterStartUs) {
    if (lengthUs == 0) {
        return;
    }
    const std::uint32_t index = intervalIndex(sentAfterStartUs, lengthUs);
    if (index >= MOST_INTERVAL_COUNTS) {
        return;
    }
    if (perInterval.size() <= index) {
        perInterval.resize(static_cast<std::size_t>(index) + 1, 0);
    }
    ++perInterval[index];
}

std::string intervalHandOverPath(pid_t pid) {
    return handOverPath(pid) + ".intervals";
}

bool leaveIntervalCounts(const std::vector<std::uint64_t>& counts) {
    const std::string path = intervalHandOverPath(getpid());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(counts.data());
    std::size_t left = counts.size() * sizeof(std::uint64_t);
    bool written = true;
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            written = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 || !written) {
        unlink(path.c_str());
        return false;
    }
    return true;
}

bool collectIntervalCounts(pid_t pid, std::vector<std::uint64_t>& counts) {
    counts.clear();
    const std::string path = intervalHandOverPath(pid);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat info;
    const bool regular =
        fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size % sizeof(std::uint64_t) == 0 &&
        static_cast<std::size_t>(info.st_size) / sizeof(std::uint64_t) <= MOST_INTERVAL_COUNTS;
    bool whole = false;
    if (regular) {
        counts.resize(static_cast<std::size_t>(info.st_size) / sizeof(std::uint64_t));
        auto* data = reinterpret_cast<unsigned char*>(counts.data());
        const std::size_t size = static_cast<std::size_t>(info.st_size);
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = read(fd, data + got, size - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        whole = got == size;
    }
    close(fd);
    unlink(path.c_str());
    if (!whole) {
        counts.clear();
    }
    return whole;
}

std::string intervalLine(std::uint32_t stream, const TIntervalFigures& interval) {
    std::ostringstream line;
    line << std::fixed << std::setprecision(3);
    line << "Interval " << interval.index + 1 << " (" << interval.startUs / 1e6 << "-"
         << (interval.startUs + interval.lengthUs) / 1e6 << " s) tok " << stream << ": ";
    if (interval.sentKnown) {
        line << "odeslano " << interval.sent << ", ";
    }
    line << "prijato " << interval.received;
    const double loss = intervalLossPercent(interval);
    if (!std::isnan(loss)) {
        line << ", ztraty " << loss << " %";
    }
    line << ", " << intervalRateBps(interval) / 1e6 << " Mbit/s";
    if (interval.received > 0) {
        line << std::setprecision(1) << ", zpozdeni " << interval.minDelay << "/" << interval.p50
             << "/" << interval.p99 << "/" << interval.maxDelay << " us, jitter " << interval.jitter
             << " us";
    }
    return line.str();
}
