#include "bench/process.hpp"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/scratch.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The fields of /proc/PID/stat after the command name, from the state on.
// The name is in parentheses and may hold anything, so the fields start
// after the last ')'.
std::istringstream statFields(int pid) {
  const std::string text = scratch::slurp("/proc/" + std::to_string(pid) + "/stat");
  const auto close = text.rfind(')');
  return std::istringstream(close == std::string::npos ? std::string() : text.substr(close + 2));
}

// Parent of every process.
std::map<int, int> parents() {
  std::map<int, int> parent;
  DIR* proc = ::opendir("/proc");
  if (!proc) return parent;
  while (const dirent* entry = ::readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::istringstream fields = statFields(pid);
    char state = 0;
    int ppid = 0;
    if (fields >> state >> ppid) parent[pid] = ppid;
  }
  ::closedir(proc);
  return parent;
}

std::string commandName(int pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace

int findUnder(int root, const std::string& name) {
  const auto until = Clock::now() + 10s;
  while (Clock::now() < until) {
    std::map<int, int> parent = parents();
    for (const auto& [pid, up] : parent) {
      if (commandName(pid) != name) continue;
      for (int above = up; above > 1; above = parent[above])
        if (above == root) return pid;
    }
    std::this_thread::sleep_for(20ms);
  }
  return -1;
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

long statusKiB(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

const char* serverBinary() {
  const char* other = std::getenv("SOTTO_BENCH_SERVER");
  return other ? other : SOTTO_SERVER_BINARY;
}

}  // namespace bench
