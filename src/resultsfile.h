#ifndef TRAFFICGEN_RESULTSFILE_H
#define TRAFFICGEN_RESULTSFILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"
#include "results.h"

// The results file of a run (--json FILE): checked before the run, fed every cycle's results,
// written when the run ends.
class CResultsFile : public CResultsRecorder {
  public:
    CResultsFile(std::string path, TTestDescription test);

    void recordCycle(std::uint32_t cycle, const std::vector<TResult>& results) override;

    // Writes the document with the statistics from the accumulators; a file that cannot be
    // written ends the run with one line on standard error and status 1.
    void write(const std::vector<TStreamAccumulator>& accumulators, bool interrupted);
    // Writes the document of a benchmark, its trials in its own section.
    void writeBenchmark(const TBenchmarkResults& benchmark, bool interrupted);
    // Writes the document of a service test, its steps in its own section.
    void writeServiceTest(const TServiceTestResults& test, bool interrupted);

  private:
    void writeDocument();

    std::string path;
    TRunResults run;
};

// Ends the run with one line on standard error and status 1 when `path` cannot be written.
void requireWritableResultsPath(const std::string& path);

// A stream's send stamps as the results file has them.
TSendStampReport sendStampReport(const TSendStampFigures& stamps);

// A result as the results file has it.
TStreamCycleFigures cycleFigures(const TResult& result);

// A stream's statistics as the results file has them, with the intervals the tables print.
TStreamStatistics streamStatistics(const TStreamAccumulator& accumulator, std::uint32_t stream,
                                   std::uint32_t cycles, float quantile);

#endif
