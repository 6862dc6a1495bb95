#ifndef TRAFFICGEN_RATESEARCH_H
#define TRAFFICGEN_RATESEARCH_H

// The benchmark's search for the rates of one frame size, after the multiple loss ratio search
// (RFC 9971): every trial is kept as a result at its load, and whether a load is above or below
// a rate is decided from all the trials at it, weighed by their durations. The search asks for
// trials through CTrialRunner, so that it runs as well against a simulated device as against
// the network.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// What stopped a rate from being higher.
enum class TLimit { device, tester, lineRate };

// The results file's text of a limit: "device", "tester" or "line rate".
const char* limitName(TLimit limit);

// What a rate must satisfy. A load passes when the trials at it that lost more than `lossRatio`
// of their frames took at most `exceedRatio` of `durationSumS`, the trial time a load needs
// before its verdict is final; only trials of at least `finalDurationS` can make it pass. The
// search ends when the interval between the highest passing load and the lowest failing one is
// at most `relativeWidth` of its upper end, or at most `widthFloorFps` wide.
struct TSearchGoal {
    double lossRatio = 0;   // of the frames the schedule required, 0..1
    double exceedRatio = 0; // of the trial time, 0..1
    double finalDurationS = 1;
    double durationSumS = 1;
    double relativeWidth = 0.01;
    double widthFloorFps = 0;
};

// Where a load stands for one goal.
enum class TLoadClass { undecided, upperBound, lowerBound };

// The classification from the trial time at a load: `fullHigh` and `fullLow` seconds of trials of
// at least the final duration whose loss exceeded the goal's or did not, `shortHigh` and
// `shortLow` the same of shorter trials. The time still missing, M = max(0, sum - H - L), counts
// against the load when judging a lower bound and for it when judging an upper bound, so that
// neither verdict can change with more trials. Shorter trials may only make a load an upper
// bound: their high-loss time counts as far as their low-loss time does not balance it at the
// exceed ratio.
TLoadClass classifyLoad(const TSearchGoal& goal, double fullHigh, double fullLow,
                        double shortHigh = 0, double shortLow = 0);

// One trial as the search sees it.
struct TSearchTrial {
    double loadFps = 0;
    double durationS = 0;
    bool valid = true; // false: the tester, not the device, spoilt it (or it was interrupted)
    double lossRatio = 0;
    // The load the tester actually put on the wire: what it sent, less what it lost itself.
    double offeredFps = 0;
};

// What the search asks for next.
struct TTrialRequest {
    double loadFps = 0;
    double durationS = 0;
};

// The rate a goal found.
struct TGoalResult {
    double lowerFps = 0; // the highest load below the upper bound that passed (0: none)
    double upperFps = 0; // the lowest load that failed, the tester's ceiling, or the top
    TLimit limitedBy = TLimit::device;
    double widthReached = 1; // (upper - lower) / upper
    bool complete = false;   // the goal's width was reached (or nothing was left to try)
};

// Runs trials for the search: the network, or a simulated device in the tests.
class CTrialRunner {
  public:
    virtual ~CTrialRunner() = default;
    virtual TSearchTrial runTrial(const TTrialRequest& request) = 0;
    // True once the search should stop at once (an interrupt).
    virtual bool stopped() const { return false; }
};

// A trial spoilt by the tester at a load the senders came near is repeated this often in a row
// before the load becomes the tester's ceiling; twice as often where a valid trial at that load
// or above shows that the tester can offer it.
constexpr int INVALID_ATTEMPTS = 3;
// No search offers less than this.
constexpr double MINIMUM_LOAD_FPS = 10;

// The search of one frame size for every goal, lowest goal index first. Loads are whole frames
// per second, at most `topFps` (the line rate, or the tester's maximum when that is unknown).
// While the interval between the bounds is wider than the goal's width, trials of
// `searchDurationS` choose the loads (an overloaded device's forwarded rate is the first guess);
// once it is narrow, its ends are tried at the final duration until they are decided, and a
// failure there moves the bound and the search goes on below.
class CRateSearch {
  public:
    CRateSearch(double topFps, bool topIsLineRate, std::vector<TSearchGoal> goals,
                double searchDurationS);

    // The next trial, or none when every goal is complete.
    std::optional<TTrialRequest> next() const;
    void record(const TSearchTrial& trial);

    TGoalResult result(std::size_t goal) const;
    std::size_t goals() const { return goalList.size(); }

  private:
    struct TTime {
        double fullHigh = 0;
        double fullLow = 0;
        double shortHigh = 0;
        double shortLow = 0;
        double estimateFps = 0;     // from the latest high-loss trial: where the loss would be met
        double fullEstimateFps = 0; // the same from the latest high-loss final trial
    };
    struct TBounds {
        std::optional<double> upper; // the lowest upper bound (below the ceiling)
        double lower = 0;            // the highest lower bound below it (0: none)
        bool lowerFound = false;
    };

    bool hasFull(std::size_t goal, double load) const;
    // Short trials hide a device's excess in its queue: above the lowest estimate a final trial
    // gave, their passes are not taken as bounds.
    double shortTrialsTrustedUpTo(std::size_t goal) const;
    TLoadClass finalClass(std::size_t goal, double load) const;
    TLoadClass steeringClass(std::size_t goal, double load) const;
    TBounds bounds(std::size_t goal, bool steering) const;
    bool narrow(const TSearchGoal& goal, double lower, double upper) const;
    bool complete(std::size_t goal) const;
    std::optional<TTrialRequest> nextFor(std::size_t goal) const;
    double between(std::size_t goal, double lower, double upper) const;

    double top;
    bool topIsLineRate;
    std::vector<TSearchGoal> goalList;
    double searchDuration;
    // Per goal, per load: the trial time by outcome.
    std::vector<std::map<double, TTime>> times;
    // Per goal: a final trial failed where short trials were trusted and passed, so they do not
    // see this device's loss (a little at every load, not an overload its queue hides): from
    // then on every trial is a final one.
    std::vector<bool> shortTrialsMisled;
    std::optional<double> ceiling; // the lowest load the tester could not offer
    double testerEstimate = 0;     // what it offered there
    std::optional<TTrialRequest> retry;
    int invalidInARow = 0;
    double highestValidLoad = 0;
};

// Runs the search to its end, to `maxTrials` trials, or until the runner stops it; true when it
// ended by itself.
bool runSearch(CRateSearch& search, CTrialRunner& runner, std::size_t maxTrials);

#endif
