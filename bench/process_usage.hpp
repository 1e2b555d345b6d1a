// What a process has used of the machine, read from /proc: for the
// benchmarks that measure the CPU of something left idle.
#pragma once

#include <sstream>

namespace bench {

// The fields of /proc/PID/stat after the command name, from the state on.
// The name is in parentheses and may hold anything, so the fields start
// after the last ')'.
std::istringstream statFields(int pid);

struct Usage {
  double cpuSeconds = 0;    // utime + stime of every thread, in clock ticks
  double onCpuSeconds = 0;  // the scheduler's own count for every thread, in ns
  long switches = 0;        // context switches of every thread
};

Usage usage(int pid);

}  // namespace bench
