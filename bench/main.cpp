// sotto-bench: every benchmark of the project, ending in one summary table
// (see table.hpp). A new area adds a register function here.
#include <benchmark/benchmark.h>

#include "bench/areas.hpp"
#include "bench/table.hpp"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Registered here rather than by static constructors: registration asks
  // which CPU features exist, and that is only safe once main has started.
  bench::registerMining();
  bench::registerHashRates();
  bench::registerFrames();
  bench::registerEndToEnd();
  bench::registerIdle();
  bench::registerScreen();
  bench::registerScale();
  bench::registerCluster();
  bench::registerHistory();
  bench::registerMembership();
  bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
