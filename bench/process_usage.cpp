#include "bench/process_usage.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/scratch.hpp"

namespace bench {

std::istringstream statFields(int pid) {
  const std::string text = scratch::slurp("/proc/" + std::to_string(pid) + "/stat");
  const auto close = text.rfind(')');
  return std::istringstream(close == std::string::npos ? std::string() : text.substr(close + 2));
}

Usage usage(int pid) {
  Usage u;
  // Fields 14 and 15 of the file (utime, stime) are the 12th and 13th here.
  std::istringstream fields = statFields(pid);
  std::string skipped;
  for (int i = 3; i <= 13; ++i) fields >> skipped;
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  u.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = ::opendir(tasks.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const std::string task = tasks + "/" + entry->d_name;
      std::ifstream status(task + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos) u.switches += std::atol(line.c_str() + line.find(':') + 1);
      double onCpuNs = 0;
      std::ifstream(task + "/schedstat") >> onCpuNs;
      u.onCpuSeconds += onCpuNs / 1e9;
    }
    ::closedir(dir);
  }
  return u;
}

}  // namespace bench
