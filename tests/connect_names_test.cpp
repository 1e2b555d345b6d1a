// connect by name, with the name service as the test sets it up: its own
// /etc files bound in a mount namespace of the test's thread, which the
// client's threads, started later, inherit. Addresses 127.0.12.x belong to
// this file.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "client_harness.hpp"
#include "raw_listener.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PrivateEtc {
 public:
  PrivateEtc() {
    char pattern[] = "/tmp/sotto-etc-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    // Private propagation first, so that nothing bound here shows outside.
    ok_ = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }
  ~PrivateEtc() {
    for (const auto& target : bound_) ::umount2(target.c_str(), MNT_DETACH);
    std::filesystem::remove_all(dir_);
  }
  // Puts content in place of /etc/name for this thread and those it starts.
  testing::AssertionResult put(const std::string& name, const std::string& content) {
    const auto file = dir_ / name;
    std::ofstream(file) << content;
    const std::string target = "/etc/" + name;
    if (!ok_ || ::mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return testing::AssertionFailure() << "cannot bind a private " << target
                                         << " (a mount namespace of its own must be permitted)";
    bound_.push_back(target);
    return testing::AssertionSuccess();
  }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
  std::vector<std::string> bound_;
};

sotto::ClientOptions withConnectTimeout(std::chrono::milliseconds timeout) {
  sotto::ClientOptions options;
  options.connectTimeout = timeout;
  return options;
}

TEST(ConnectByName, DestroyingTheClientDoesNotWaitForAHungLookup) {
  // A name server that takes every query and never answers.
  const int dns = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(53);
  ::inet_pton(AF_INET, "127.0.12.1", &sa.sin_addr);
  ASSERT_EQ(0, ::bind(dns, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  PrivateEtc etc;
  ASSERT_TRUE(etc.put("nsswitch.conf", "hosts: files dns\n"));
  ASSERT_TRUE(etc.put("resolv.conf", "nameserver 127.0.12.1\noptions timeout:30 attempts:1\n"));

  harness::Client client(withConnectTimeout(1s));
  const unsigned char key[32] = {};
  client.impl->setServer("nowhere.sotto-test", key, false);
  const auto start = Clock::now();
  EXPECT_EQ(client.impl->connect(), Client::networkError);
  // The deadline, not a quick answer, ended it: the lookup still hangs.
  EXPECT_GE(Clock::now() - start, 900ms);
  const auto destroying = Clock::now();
  client.impl.reset();
  EXPECT_LT(Clock::now() - destroying, 5s);
  ::close(dns);
}

TEST(ConnectByName, AnAddressThatDropsSynsDoesNotUseUpTheBudget) {
  const SynSink sink("127.0.12.2");
  ASSERT_TRUE(sink.ok());
  testing_peer::TestPeer peer("127.0.12.3");
  PrivateEtc etc;
  ASSERT_TRUE(etc.put("nsswitch.conf", "hosts: files\n"));
  // Both in one /24, so that the resolver keeps the file's order.
  ASSERT_TRUE(etc.put("hosts", "127.0.12.2 twohomes.sotto-test\n127.0.12.3 twohomes.sotto-test\n"));

  harness::Client client(withConnectTimeout(5s));
  testing::internal::CaptureStdout();
  auto result = client.connect("twohomes.sotto-test", peer);
  auto session = peer.accept();
  EXPECT_TRUE(session);
  EXPECT_EQ(result.get(), Client::success);
  testing::internal::GetCapturedStdout();
}

}  // namespace
