// The one summary table that scripts/bench prints: each row is a figure from
// one benchmark, set beside the benchmark that is its baseline in the same run.
//
// A benchmark puts its figure in the counter named kFigure; a row names the
// benchmark (as registered), the unit and which direction is better, and
// optionally the benchmark it is compared with.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline constexpr const char* kFigure = "figure";

enum class Better { higher, lower };

struct Row {
  std::string benchmark;  // registered name
  std::string label;      // what the row shows
  std::string unit;       // a unit ending in "/s" gets k/M/G prefixes
  Better better;
  std::string baseline;  // registered name of the baseline, or empty
};

// Registers a benchmark and its row of the table; rows print in this order.
benchmark::internal::Benchmark* add(const Row& row, std::function<void(benchmark::State&)> body);

// Passes the usual per-benchmark lines to standard error as they come and
// prints the table on standard output at the end.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  TableReporter();
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Figure {
    double sum = 0;
    int count = 0;
    std::string error;
  };
  std::map<std::string, Figure> figures_;
};

}  // namespace bench
