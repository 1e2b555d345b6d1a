// What a process that a benchmark started costs, read from /proc: found by
// name under the terminal pane that runs it.
#pragma once

#include <string>

namespace bench {

// The process named `name` (its first 15 characters, as /proc keeps them)
// below process `root`, once it has started; -1 after 10 s without it.
int findUnder(int root, const std::string& name);

struct Usage {
  double cpuSeconds = 0;    // utime + stime of every thread, in clock ticks
  double onCpuSeconds = 0;  // the scheduler's own count for every thread, in ns
  long switches = 0;        // context switches of every thread
};

Usage usage(int pid);

// A field of /proc/PID/status in kB ("VmRSS", "RssAnon"...), or -1.
long statusKiB(int pid, const std::string& field);

// The sotto-server the rows run as a process of its own: this build's, or
// SOTTO_BENCH_SERVER=PATH, another build's, for figures before and after a
// change from one run.
const char* serverBinary();

}  // namespace bench
