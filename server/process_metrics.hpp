// The process's own figures under the names every Prometheus exporter uses
// (process_cpu_seconds_total, process_resident_memory_bytes, ...), read
// from /proc/self, which a unit with ProcSubset=pid still shows.
#pragma once

#include <chrono>

#include "server/metrics_text.hpp"

namespace sotto {

// startedAt: when the process began, for process_start_time_seconds.
void writeProcessMetrics(MetricsText& text, std::chrono::system_clock::time_point startedAt);

}  // namespace sotto
