// Signing in as the front end does (lin/sign_in.hpp), over the library with
// pinned key-exchange pairs, so that the proof a retry mines has a known
// smallest nonce. The binary's own runs are in first_run_test.cpp.
// Addresses 127.0.42.x belong to this file.
#include <gtest/gtest.h>

#include <future>

#include "client/client_impl.hpp"
#include "lin/sign_in.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/test_peer.hpp"

namespace {

using testing_peer::Behaviour;

struct Retry {
  const char* name;
  Behaviour second;  // the answer to the hello with the proof
  const char* address;
  Client::values result;
};
void PrintTo(const Retry& retry, std::ostream* out) { *out << retry.name; }

class SignIn : public testing::TestWithParam<Retry> {};

TEST_P(SignIn, ARefusedPlainHelloIsSentOnceMoreWithTheSmallestProofUnderAFreshKey) {
  const Retry& retry = GetParam();
  testing_peer::TestPeer peer(retry.address);
  const fixed::Identity me = fixed::twoByteNonce(), first = fixed::threeByteNonce();
  sotto::ClientOptions options;
  options.debugLogPath = "/nonexistent-dir/debug.log";
  options.handshakeOut = &scratch::discard();
  // The retry's pair is the one whose smallest nonce is known for this identity.
  options.kxPairs = {first.kxPair(), me.kxPair()};
  ClientImpl client(options);
  Config config;
  config.setServerAddress(retry.address);
  std::copy(peer.publicKey().begin(), peer.publicKey().end(), config.serverPublicKey());
  std::copy(me.signPublicKey.begin(), me.signPublicKey.end(), config.signPublicKey());
  std::copy(me.signSecretKey.begin(), me.signSecretKey.end(), config.signSecretKey());

  auto result = std::async(std::launch::async, [&] { return signIn(client, config, false); });
  const auto refused = peer.accept(Behaviour::closeAfterHello);
  const auto proved = peer.accept(retry.second);
  ASSERT_TRUE(refused && proved);
  ASSERT_EQ(result.get(), retry.result);
  EXPECT_EQ(refused->hello().flag(), 0);
  EXPECT_EQ(refused->hello().kxPublicKey(), first.kxPublicKey);
  EXPECT_EQ(proved->hello().flag(), 1);
  EXPECT_EQ(proved->hello().kxPublicKey(), me.kxPublicKey);
  EXPECT_EQ(scratch::le64(proved->hello().powNonce().data()), me.smallestNonce);
  EXPECT_TRUE(proved->hello().signatureValid);
  if (retry.result != Client::success) {
    EXPECT_EQ(client.failure(), Client::Failure::refused);
    EXPECT_EQ(failureReason(client.failure(), retry.address)
                  .rfind("The server closed the connection after the hello: it refused this identity", 0),
              0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SignIn,
    testing::Values(Retry{"Registers", Behaviour::normal, "127.0.42.1", Client::success},
                    Retry{"IsRefusedAgain", Behaviour::closeAfterHello, "127.0.42.2", Client::networkError}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
