#include "ratesearch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// An invalid trial whose tester offered less than this share of the load is not repeated: the
// tester is at its ceiling there, not stalled by chance.
constexpr double NEAR_TARGET_SHARE = 0.9;
// Trial durations are the ones asked for; this much shorter still counts as as long.
constexpr double DURATION_TOLERANCE = 1e-9;

} // namespace

const char* limitName(TLimit limit) {
    switch (limit) {
    case TLimit::device:
        return "device";
    case TLimit::tester:
        return "tester";
    case TLimit::lineRate:
        return "line rate";
    }
    return "device";
}

TLoadClass classifyLoad(const TSearchGoal& goal, double fullHigh, double fullLow, double shortHigh,
                        double shortLow) {
    const double exceed = goal.exceedRatio;
    const double balancing =
        exceed >= 1 ? std::numeric_limits<double>::infinity() : shortLow * exceed / (1 - exceed);
    const double high = fullHigh + std::max(0.0, shortHigh - balancing);
    const double tried = high + fullLow;
    const double missing = std::max(0.0, goal.durationSumS - tried);
    const double whole = std::max(goal.durationSumS, tried);
    if (whole <= 0) {
        return TLoadClass::undecided;
    }
    if (high / whole > exceed) {
        return TLoadClass::upperBound;
    }
    if ((high + missing) / whole <= exceed) {
        return TLoadClass::lowerBound;
    }
    return TLoadClass::undecided;
}

CRateSearch::CRateSearch(double topFps, bool topIsLineRate, std::vector<TSearchGoal> goals,
                         double searchDurationS)
    : top(std::floor(topFps)), topIsLineRate(topIsLineRate), goalList(std::move(goals)),
      searchDuration(searchDurationS), times(goalList.size()),
      shortTrialsMisled(goalList.size(), false) {}

TLoadClass CRateSearch::finalClass(std::size_t goal, double load) const {
    const auto found = times[goal].find(load);
    if (found == times[goal].end()) {
        return TLoadClass::undecided;
    }
    const TTime& time = found->second;
    return classifyLoad(goalList[goal], time.fullHigh, time.fullLow, time.shortHigh, time.shortLow);
}

// Where the search believes a load stands: its final verdict, or else the verdict of every
// trial at it taken as long enough, with the trial count the goal asks for.
TLoadClass CRateSearch::steeringClass(std::size_t goal, double load) const {
    const TLoadClass verdict = finalClass(goal, load);
    const auto found = times[goal].find(load);
    if (verdict != TLoadClass::undecided || found == times[goal].end()) {
        return verdict;
    }
    const TSearchGoal& real = goalList[goal];
    TSearchGoal relaxed = real;
    relaxed.finalDurationS = searchDuration;
    relaxed.durationSumS = real.durationSumS * searchDuration / real.finalDurationS;
    const TTime& time = found->second;
    return classifyLoad(relaxed, time.fullHigh + time.shortHigh, time.fullLow + time.shortLow);
}

bool CRateSearch::hasFull(std::size_t goal, double load) const {
    const auto found = times[goal].find(load);
    return found != times[goal].end() && found->second.fullHigh + found->second.fullLow > 0;
}

double CRateSearch::shortTrialsTrustedUpTo(std::size_t goal) const {
    if (shortTrialsMisled[goal]) {
        return 0;
    }
    double trusted = std::numeric_limits<double>::infinity();
    for (const auto& [load, time] : times[goal]) {
        if (time.fullHigh > 0) {
            trusted = std::min(trusted, time.fullEstimateFps);
        }
    }
    return trusted;
}

CRateSearch::TBounds CRateSearch::bounds(std::size_t goal, bool steering) const {
    TBounds result;
    const double trusted = shortTrialsTrustedUpTo(goal);
    for (const auto& [load, time] : times[goal]) {
        if (ceiling && load >= *ceiling) {
            break;
        }
        if (steering && load > trusted && !hasFull(goal, load)) {
            continue;
        }
        const TLoadClass verdict = steering ? steeringClass(goal, load) : finalClass(goal, load);
        if (verdict == TLoadClass::upperBound) {
            result.upper = load;
            break;
        }
        if (verdict == TLoadClass::lowerBound) {
            // Loads ascend: the last lower bound met before the lowest upper bound is the highest
            // below it; a pass above a failure never counts.
            result.lower = load;
            result.lowerFound = true;
        }
    }
    return result;
}

bool CRateSearch::narrow(const TSearchGoal& goal, double lower, double upper) const {
    const double width = upper - lower;
    // Loads are whole frames per second: no load lies inside an interval narrower than 2.
    return width < 2 || width <= goal.relativeWidth * upper ||
           (goal.widthFloorFps > 0 && width <= goal.widthFloorFps);
}

namespace {

double lowestLoad(double top) {
    return std::min(MINIMUM_LOAD_FPS, top);
}

std::optional<double> smaller(std::optional<double> first, std::optional<double> second) {
    if (first && second) {
        return std::min(*first, *second);
    }
    return first ? first : second;
}

} // namespace

bool CRateSearch::complete(std::size_t goal) const {
    const TBounds final = bounds(goal, false);
    const std::optional<double> upper = smaller(final.upper, ceiling);
    if (!upper) {
        return final.lowerFound && final.lower >= top;
    }
    if (*upper <= lowestLoad(top)) {
        return true;
    }
    return final.lowerFound && narrow(goalList[goal], final.lower, *upper);
}

double CRateSearch::between(std::size_t goal, double lower, double upper) const {
    const TSearchGoal& target = goalList[goal];
    double estimate = 0;
    if (ceiling && upper >= *ceiling) {
        estimate = testerEstimate;
    } else if (const auto found = times[goal].find(upper); found != times[goal].end()) {
        estimate = found->second.estimateFps;
    }
    // Just below and just above the estimate, while each lies well inside the interval: an
    // overloaded shaper forwards its own rate, so that is found in about three trials. Each
    // failure at or above the upper end doubles the step below: where every guess from what the
    // device forwarded failed again (it loses a little at every load), that is no guide.
    int failures = 0;
    for (const auto& [load, time] : times[goal]) {
        failures += load >= upper && steeringClass(goal, load) == TLoadClass::upperBound ? 1 : 0;
    }
    const double below =
        std::min(0.5, target.relativeWidth / 2 * std::pow(2.0, std::max(0, failures - 1)));
    const double margin = target.relativeWidth * estimate / 4;
    for (const double guess : {std::floor(estimate * (1.0 - below)),
                               std::ceil(estimate * (1.0 + target.relativeWidth / 2))}) {
        if (estimate > 0 && guess > lower + margin && guess < upper - margin) {
            return guess;
        }
    }
    return std::max(std::floor((lower + upper) / 2), std::min(lowestLoad(top), upper - 1));
}

std::optional<TTrialRequest> CRateSearch::nextFor(std::size_t goal) const {
    const double finalDuration = goalList[goal].finalDurationS;
    // A load that has had a final trial, or lies above where a final trial's loss says the
    // device stops keeping up (short trials hide that excess in its queue), is tried at the
    // final duration.
    const double trusted = shortTrialsTrustedUpTo(goal);
    const auto trial = [&](double load) {
        return TTrialRequest{load, hasFull(goal, load) || load > trusted ? finalDuration
                                                                         : searchDuration};
    };
    const TBounds steering = bounds(goal, true);
    const std::optional<double> upper = smaller(steering.upper, ceiling);
    if (!upper) {
        if (times[goal].count(top) == 0) {
            return trial(top);
        }
        return steeringClass(goal, top) == TLoadClass::lowerBound
                   ? TTrialRequest{top, finalDuration}
                   : trial(top);
    }
    const double lower = steering.lowerFound ? steering.lower : 0;
    const bool deviceUpper = steering.upper && *steering.upper == *upper;
    if (!steering.lowerFound || !narrow(goalList[goal], lower, *upper)) {
        // An undecided load inside the interval is tried again.
        for (const auto& [load, time] : times[goal]) {
            if (load > lower && load < *upper && (load <= trusted || hasFull(goal, load)) &&
                steeringClass(goal, load) == TLoadClass::undecided) {
                return trial(load);
            }
        }
        if (*upper <= lowestLoad(top)) {
            return TTrialRequest{*upper, finalDuration};
        }
        return trial(between(goal, lower, *upper));
    }
    // Narrow: its ends are tried at the final duration until their verdicts are final.
    if (deviceUpper && finalClass(goal, *upper) != TLoadClass::upperBound) {
        return TTrialRequest{*upper, finalDuration};
    }
    return TTrialRequest{lower, finalDuration};
}

std::optional<TTrialRequest> CRateSearch::next() const {
    for (std::size_t goal = 0; goal < goalList.size(); ++goal) {
        if (!complete(goal)) {
            return retry ? retry : nextFor(goal);
        }
    }
    return std::nullopt;
}

void CRateSearch::record(const TSearchTrial& trial) {
    const double load = trial.loadFps;
    if (!trial.valid) {
        // Where the tester has offered as much before, a stall was chance: more attempts.
        const bool offeredBefore = highestValidLoad >= load;
        const bool nearTarget = trial.offeredFps >= load * NEAR_TARGET_SHARE || offeredBefore;
        if (nearTarget && ++invalidInARow < (offeredBefore ? 2 : 1) * INVALID_ATTEMPTS) {
            retry = TTrialRequest{load, trial.durationS};
            return;
        }
        retry.reset();
        invalidInARow = 0;
        if (!ceiling || load < *ceiling) {
            // What the tester offered is the first guess below its ceiling; when that fails too,
            // the interval is halved instead, as the tester's estimate has proved no guide.
            testerEstimate = ceiling ? 0 : std::min(trial.offeredFps, load);
            ceiling = load;
        }
        return;
    }
    retry.reset();
    invalidInARow = 0;
    highestValidLoad = std::max(highestValidLoad, load);
    for (std::size_t goal = 0; goal < goalList.size(); ++goal) {
        const TSearchGoal& target = goalList[goal];
        const double trusted = shortTrialsTrustedUpTo(goal);
        TTime& time = times[goal][load];
        const bool full = trial.durationS >= target.finalDurationS * (1 - DURATION_TOLERANCE);
        const bool high = trial.lossRatio > target.lossRatio;
        if (full && high && time.shortLow > 0 && load < trusted) {
            shortTrialsMisled[goal] = true;
        }
        (high ? (full ? time.fullHigh : time.shortHigh) : (full ? time.fullLow : time.shortLow)) +=
            trial.durationS;
        if (high) {
            // The load at which what the device forwarded would just meet the allowed loss.
            time.estimateFps = load * (1 - trial.lossRatio) / (1 - target.lossRatio);
            if (full) {
                time.fullEstimateFps = time.estimateFps;
            }
        }
    }
}

TGoalResult CRateSearch::result(std::size_t goal) const {
    const TBounds final = bounds(goal, false);
    TGoalResult result;
    result.lowerFps = final.lowerFound ? final.lower : 0;
    if (final.upper && (!ceiling || *final.upper < *ceiling)) {
        result.upperFps = *final.upper;
    } else if (ceiling) {
        result.upperFps = *ceiling;
        result.limitedBy = TLimit::tester;
    } else {
        result.upperFps = top;
        if (result.lowerFps >= top) {
            result.limitedBy = topIsLineRate ? TLimit::lineRate : TLimit::tester;
        }
    }
    result.widthReached =
        result.upperFps > 0 ? (result.upperFps - result.lowerFps) / result.upperFps : 1;
    result.complete = complete(goal);
    return result;
}

bool runSearch(CRateSearch& search, CTrialRunner& runner, std::size_t maxTrials) {
    for (std::size_t trials = 0; trials < maxTrials; ++trials) {
        if (runner.stopped()) {
            return false;
        }
        const std::optional<TTrialRequest> request = search.next();
        if (!request) {
            return true;
        }
        const TSearchTrial trial = runner.runTrial(*request);
        // An interrupted trial is no result of anything.
        if (runner.stopped()) {
            return false;
        }
        search.record(trial);
    }
    return !search.next();
}
