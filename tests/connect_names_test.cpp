// connect by name under a name service of the test's own: /etc files bound in
// a private mount namespace of the test's process, which the client's
// threads, started later, share. Addresses 127.0.12.x belong to this file.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <fstream>

#include "tests/support/client_harness.hpp"
#include "tests/support/private_namespaces.hpp"
#include "tests/support/raw_listener.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Binds content over /etc/name for this process. Made before the test
// starts a thread or a socket: without root, the namespaces it enters bring
// a network of their own.
struct PrivateEtc {
  testing::AssertionResult entered = private_namespaces::enterPrivateMounts();

  testing::AssertionResult put(const std::string& name, const std::string& content) {
    const std::string file = testing::TempDir() + "sotto-etc-" + std::to_string(::getpid()) + name;
    std::ofstream(file) << content;
    bound.push_back("/etc/" + name);
    const bool ok = ::mount(file.c_str(), bound.back().c_str(), "none", MS_BIND, nullptr) == 0;
    std::remove(file.c_str());  // the mount keeps it
    if (ok) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "cannot bind " << bound.back() << " in a mount namespace of its own";
  }
  ~PrivateEtc() {
    for (const auto& target : bound) ::umount2(target.c_str(), MNT_DETACH);
  }
  std::vector<std::string> bound;
};

// A client under a name service of the nsswitch "hosts:" sources and one
// more /etc file.
harness::Client clientUnder(PrivateEtc& etc, const std::string& sources, const std::string& file,
                            const std::string& content, std::chrono::milliseconds connectTimeout) {
  EXPECT_TRUE(etc.put("nsswitch.conf", "hosts: " + sources + "\n"));
  EXPECT_TRUE(etc.put(file, content));
  sotto::ClientOptions options;
  options.connectTimeout = connectTimeout;
  return harness::Client(options);
}

TEST(ConnectByName, DestroyingTheClientDoesNotWaitForAHungLookup) {
  PrivateEtc etc;
  ASSERT_ISOLATED(etc.entered);
  sockaddr_in sa{};
  const int dns = boundSocket("127.0.12.1", SOCK_DGRAM, 0, sa, 53);  // takes queries, never answers
  ASSERT_GE(dns, 0);
  harness::Client client =
      clientUnder(etc, "files dns", "resolv.conf", "nameserver 127.0.12.1\noptions timeout:30 attempts:1\n", 1s);
  const unsigned char key[32] = {};
  client.impl->setServer("nowhere.sotto-test", key, false);
  const auto start = Clock::now();
  EXPECT_EQ(client.impl->connect(), Client::networkError);
  EXPECT_GE(Clock::now() - start, 900ms);  // the deadline ended it: the lookup still hangs
  const auto destroying = Clock::now();
  client.impl.reset();
  EXPECT_LT(Clock::now() - destroying, 5s);
  ::close(dns);
}

TEST(ConnectByName, AnAddressThatDropsSynsDoesNotUseUpTheBudget) {
  PrivateEtc etc;
  ASSERT_ISOLATED(etc.entered);
  const SynSink sink("127.0.12.2");
  ASSERT_TRUE(sink.ok());
  testing_peer::TestPeer peer("127.0.12.3");
  // Both in one /24, so that the resolver keeps the file's order.
  harness::Client client =
      clientUnder(etc, "files", "hosts", "127.0.12.2 twohomes.sotto-test\n127.0.12.3 twohomes.sotto-test\n", 5s);
  auto result = client.connect("twohomes.sotto-test", peer);
  const auto session = peer.accept();
  EXPECT_TRUE(session);
  EXPECT_EQ(result.get(), Client::success);
}

}  // namespace
