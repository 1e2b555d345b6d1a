// What ships: the systemd unit as systemd-analyze judges it, what `cmake
// --install` puts where, and the Debian packages as lintian judges them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/support/child_process.hpp"
#include "tests/support/scratch.hpp"

namespace {

using scratch::slurp;
using scratch::TempDir;

// Packing and lintian take their time on a loaded machine.
Outcome shell(const std::string& command) {
  return runToEnd({"/bin/sh", "-c", command + " 2>&1"}, std::chrono::minutes(3));
}

TEST(Unit, PassesVerifyAndIsRatedTwoOrBetter) {
  const TempDir dir;
  // verify wants the program it starts: this build's.
  std::string unit = slurp(SOTTO_SOURCE_DIR "/packaging/sotto-server.service");
  unit = std::regex_replace(unit, std::regex("/usr/bin/sotto-server"), SOTTO_SERVER_BINARY);
  const std::string path = dir / "sotto-server.service";
  std::ofstream(path) << unit;
  const Outcome verify = shell("systemd-analyze verify " + path);
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(verify.out, "");

  const Outcome security = shell("systemd-analyze security --offline=yes " + path);
  std::smatch level;
  ASSERT_TRUE(std::regex_search(security.out, level, std::regex("Overall exposure level for [^:]+: ([0-9.]+)")))
      << security.out;
  RecordProperty("exposure", level[1].str());
  EXPECT_LE(std::stod(level[1].str()), 2.0) << security.out;
}

TEST(Install, PutsTheProgramsTheUnitAndTheReadmeUnderThePrefix) {
  const TempDir prefix;
  const Outcome install = shell("cmake --install " SOTTO_BUILD_DIR " --prefix " + prefix.path());
  ASSERT_EQ(install.status, 0) << install.out;
  for (const char* file : {"bin/sotto", "bin/sotto-server", "share/doc/sotto/README.md",
                           "share/doc/sotto-server/README.md", "lib/systemd/system/sotto-server.service"})
    EXPECT_TRUE(std::filesystem::exists(prefix / file)) << file;
  // The unit starts the program where this install put it.
  EXPECT_NE(slurp(prefix / "lib/systemd/system/sotto-server.service")
                .find("\nExecStart=" + prefix.path() + "/bin/sotto-server "),
            std::string::npos);
}

TEST(Packages, HaveNoLintianErrors) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "packages are made from the release build";
#endif
  const TempDir out;
  const Outcome cpack = shell("cpack --config " SOTTO_BUILD_DIR "/CPackConfig.cmake -B " + out.path());
  ASSERT_EQ(cpack.status, 0) << cpack.out;
  for (const char* package : {"sotto_", "sotto-server_"}) {
    const Outcome lintian = shell("lintian --fail-on error " + out.path() + "/" + package + "*.deb");
    EXPECT_EQ(lintian.status, 0) << package << ": " << lintian.out;
    EXPECT_EQ(lintian.out.find("\nE: "), std::string::npos) << lintian.out;
  }
}

}  // namespace
