#include "tests/support/sotto_run.hpp"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/private_namespaces.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/tmux_session.hpp"

namespace sotto_run {

using tmux_harness::shellQuote;

SottoRun::SottoRun() {
  std::string pattern = (std::filesystem::temp_directory_path() / "sotto-run-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::filesystem::create_directory(dir_ / "tmp");
}

SottoRun::~SottoRun() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string inPrivateTmp(const std::filesystem::path& privateTmp, const std::vector<std::filesystem::path>& keep,
                         const std::string& then) {
  std::string script = "set -e; ";
  std::vector<std::string> done;
  for (const auto& path : keep) {
    const auto relative = std::filesystem::weakly_canonical(path).lexically_relative("/tmp");
    if (relative.empty() || *relative.begin() == "..") continue;
    const std::string top = relative.begin()->string();
    if (std::find(done.begin(), done.end(), top) != done.end()) continue;
    done.push_back(top);
    // Bound into the private /tmp before it covers the real one.
    const std::string inside = shellQuote((privateTmp / top).string());
    script += "mkdir -p " + inside + "; mount --bind " + shellQuote("/tmp/" + top) + " " + inside + "; ";
  }
  // Recursive, so that the directories bound in above come along.
  script += "mount --rbind " + shellQuote(privateTmp.string()) + " /tmp; " + then;
  return private_namespaces::unshareMount() + " sh -c " + shellQuote(script);
}
void SottoRun::writeConfig(const std::string& address, const unsigned char* serverKey,
                           const unsigned char* signPublicKey, const unsigned char* signSecretKey) const {
  std::string record(256, '\0');
  record.replace(0, address.size(), address);
  record.append(reinterpret_cast<const char*>(serverKey), 32);
  record.append(reinterpret_cast<const char*>(signPublicKey), 32);
  record.append(reinterpret_cast<const char*>(signSecretKey), 64);
  std::ofstream(configPath(), std::ios::binary) << record;
}

testing::AssertionResult SottoRun::privateTmpWorks() const {
  const auto marker = dir_ / "tmp" / "private-tmp-marker";
  std::ofstream(marker) << "x";
  const auto probe =
      tmux_harness::run({"sh", "-c", inPrivateTmp(dir_ / "tmp", {dir_}, "test -e /tmp/private-tmp-marker") + " 2>/dev/null"});
  std::filesystem::remove(marker);
  if (probe.status == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "cannot give the binary a private /tmp (" << private_namespaces::unshareMount()
                                     << " and mount --bind must be permitted); refusing to run it, as it would "
                                        "write the real /tmp/debug.log";
}

std::string SottoRun::command(const std::string& binary, const std::string& environment) const {
  std::filesystem::remove(dir_ / "status");
  const std::string run = "cd " + shellQuote(dir_.string()) + " && exec env LANG=C.UTF-8 " + environment + " " +
                          shellQuote(binary);
  const std::string status = shellQuote((dir_ / "status").string());
  const std::string partial = shellQuote((dir_ / "status.partial").string());
  // Appended piece by piece: GCC 12 at -O3 reports a false overlap
  // (-Wrestrict) in a chain of + that starts with a one-character literal.
  std::string line = "(";
  line += inPrivateTmp(dir_ / "tmp", {dir_, binary}, run);
  line += ") 2>" + shellQuote((dir_ / "stderr").string());
  line += "; echo $? >" + partial + " && mv " + partial + " " + status + "; exec sleep 3600";
  return line;
}

std::optional<int> SottoRun::waitStatus(std::chrono::milliseconds timeout) const {
  const auto until = std::chrono::steady_clock::now() + timeout;
  const auto path = dir_ / "status";
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
  int status = -1;
  std::ifstream(path) >> status;
  return status;
}

std::string SottoRun::standardError() const {
  return scratch::slurp(dir_ / "stderr");
}

}  // namespace sotto_run
