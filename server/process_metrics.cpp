#include "server/process_metrics.hpp"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace sotto {

namespace {

// Descriptors open now, this listing's own included.
long openFiles() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  long n = 0;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n;
}

}  // namespace

void writeProcessMetrics(MetricsText& text, std::chrono::system_clock::time_point startedAt) {
  // Fields 14 and 15 (user and system time, in clock ticks), 23 (virtual
  // size, bytes) and 24 (resident set, pages), counted after the command
  // name, which may hold blanks and ends at the last ')'.
  std::ifstream file("/proc/self/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), {});
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0, virtualBytes = 0, residentPages = 0;
    for (int n = 3; fields >> field; ++n) {
      if (n == 14 || n == 15) ticks += std::strtod(field.c_str(), nullptr);
      if (n == 23) virtualBytes = std::strtod(field.c_str(), nullptr);
      if (n == 24) residentPages = std::strtod(field.c_str(), nullptr);
    }
    text.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    text.sample("process_cpu_seconds_total", ticks / static_cast<double>(::sysconf(_SC_CLK_TCK)));
    text.family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    text.sample("process_virtual_memory_bytes", virtualBytes);
    text.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    text.sample("process_resident_memory_bytes", residentPages * static_cast<double>(::sysconf(_SC_PAGESIZE)));
  }
  if (const long open = openFiles(); open >= 0) {
    text.family("process_open_fds", "gauge", "Number of open file descriptors.");
    text.sample("process_open_fds", static_cast<double>(open));
  }
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    text.family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    text.sample("process_max_fds", static_cast<double>(files.rlim_cur));
  }
  text.family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
  text.sample("process_start_time_seconds",
              std::chrono::duration<double>(startedAt.time_since_epoch()).count());
}

}  // namespace sotto
