#include "bench/table.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

namespace bench {

namespace {

std::vector<Row>& rows() {
  static std::vector<Row> all;
  return all;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : value >= 1 ? "%.2f" : "%.3g",
                value);
  return text;
}

std::string withUnit(double value, const std::string& unit) {
  const bool rate = unit.size() >= 2 && unit.compare(unit.size() - 2, 2, "/s") == 0;
  if (rate) {
    for (auto [scale, prefix] : {std::pair{1e9, "G "}, {1e6, "M "}, {1e3, "k "}})
      if (value >= scale) return number(value / scale) + " " + prefix + unit;
  }
  return number(value) + " " + unit;
}

std::string cpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

}  // namespace

benchmark::internal::Benchmark* add(const Row& row, std::function<void(benchmark::State&)> body) {
  rows().push_back(row);
  return benchmark::RegisterBenchmark(row.benchmark.c_str(), std::move(body))->UseRealTime();
}

void addRow(const Row& row) { rows().push_back(row); }

TableReporter::TableReporter() {
  SetOutputStream(&std::cerr);
  SetErrorStream(&std::cerr);
}

void TableReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Iteration) continue;
    Runs& of = runs_[run.run_name.function_name];
    if (run.error_occurred) {
      of.error = run.error_message;
      continue;
    }
    for (const auto& [name, counter] : run.counters) {
      Figure& figure = of.counters[name];
      figure.sum += counter.value;
      ++figure.count;
    }
  }
}

void TableReporter::Finalize() {
  ConsoleReporter::Finalize();
  auto value = [this](const std::string& name, const std::string& counter, double& out) -> std::string {
    const auto found = runs_.find(name);
    if (found == runs_.end()) return "not run";
    if (!found->second.error.empty()) return "failed: " + found->second.error;
    const auto figure = found->second.counters.find(counter);
    if (figure == found->second.counters.end() || figure->second.count == 0) return "no figure";
    out = figure->second.sum / figure->second.count;
    return {};
  };
  std::cout << "Machine: " << cpuModel() << ", " << std::thread::hardware_concurrency()
            << " hardware threads\n\n"
            << "| figure | ours | baseline | baseline figure | ratio |\n"
            << "|---|---:|---|---:|---:|\n";
  for (const Row& row : rows()) {
    if (runs_.find(row.benchmark) == runs_.end()) continue;  // filtered out
    double ours = 0, base = 0;
    const std::string oursProblem = value(row.benchmark, row.figure, ours);
    std::cout << "| " << row.label << " | " << (oursProblem.empty() ? withUnit(ours, row.unit) : oursProblem);
    if (row.baseline.empty()) {
      std::cout << " | | | |\n";
      continue;
    }
    const std::string baseProblem = value(row.baseline, row.figure, base);
    std::cout << " | " << row.baseline << " | " << (baseProblem.empty() ? withUnit(base, row.unit) : baseProblem)
              << " | ";
    if (oursProblem.empty() && baseProblem.empty() && ours > 0 && base > 0)
      std::cout << number(row.better == Better::higher ? ours / base : base / ours) << "x";
    std::cout << " |\n";
  }
  std::cout.flush();
}

}  // namespace bench
