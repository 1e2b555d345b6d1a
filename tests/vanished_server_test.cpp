// A server that vanishes while a typed line waits for its acknowledgement is
// still noticed within about two minutes. It waits out the real bound, so it
// runs with the long tests (ctest --preset soak), not by default. Addresses
// 127.0.41.x belong to this file, in a network namespace of its own.
#include <gtest/gtest.h>

#include "tests/support/vanished_server.hpp"

namespace {

using namespace std::chrono_literals;

TEST(VanishedServer, IsNoticedWithinAboutTwoMinutesThoughALineWaitsForItsAcknowledgement) {
  if (const auto why = vanished_server::enterPrivateNetwork()) GTEST_SKIP() << *why;
  std::string why;
  const auto seconds = vanished_server::secondsToNotice(SOTTO_BINARY, "127.0.41.1", true, 300s, why);
  ASSERT_TRUE(seconds) << why;
  RecordProperty("noticed_after_s", static_cast<int>(*seconds));
  // Keepalive and the unacknowledged-data timeout both give up after 120 s.
  EXPECT_GT(*seconds, 100);
  EXPECT_LT(*seconds, 150);
}

}  // namespace
