// The server against independent raw clients: registration, sign-in and the
// relay of Broadcast and Direct packets, on one I/O thread and on two.
// Addresses 127.0.5.1-9 and 127.0.8.1-9.
#include <gtest/gtest.h>

#include "tests/support/server_harness.hpp"

namespace {

using harness::hex;
using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;

class Registration : public harness::OnThreads {};
class Relay : public harness::OnThreads {};

TEST_P(Registration, ProofRegistersAndLaterHellosNeedNone) {
  RunningServer server(address(1), {}, "", {}, threads());
  const auto id = fixed::twoByteNonce();
  const auto other = harness::plain(1);
  server.seed(other);

  // Unknown without a proof; then a proof one short of the smallest fails.
  auto unknown = raw_client::connect(server.address(), raw_client::hello(id, server.key(), 0), server.key(), id);
  EXPECT_FALSE(unknown.welcomed);
  EXPECT_TRUE(server.log.waitFor("refused: unknown identity " + hex(id)));
  auto shortProof = raw_client::connect(
      server.address(), raw_client::hello(id, server.key(), 1, id.smallestNonce - 1), server.key(), id);
  EXPECT_FALSE(shortProof.welcomed);
  EXPECT_TRUE(server.log.waitFor("refused: missing proof of work"));

  auto first = raw_client::connect(server.address(), raw_client::hello(id, server.key(), 1, id.smallestNonce),
                                   server.key(), id);
  ASSERT_TRUE(first.welcomed) << server.log.all();
  EXPECT_TRUE(server.log.waitFor("registered " + hex(id)));
  first.session->close();

  auto again = server.join(id);
  ASSERT_TRUE(again);
  EXPECT_TRUE(server.log.waitFor("signed in " + hex(id)));
  // The session is keyed both ways: a broadcast from it reaches another.
  auto peer = server.join(other);
  again->sendPacket(2, id.signPublicKey, text("hi"));
  const auto frame = next(*peer);
  EXPECT_EQ(frame.key, id.signPublicKey);
  EXPECT_EQ(frame.payload, text("hi"));
}

TEST_P(Relay, BroadcastGoesToEveryOtherSessionFromTheAuthenticatedSender) {
  RunningServer server(address(2), {}, "", {}, threads());
  const auto a = plain(1), b = plain(2), c = plain(3);
  for (const auto* id : {&a, &b, &c}) server.seed(*id);
  auto sa = server.join(a), sb = server.join(b), sc = server.join(c);
  ASSERT_TRUE(sa && sb && sc);

  // The key field claims to be c; the server knows better.
  sa->sendPacket(2, c.signPublicKey, text("from a"));
  for (auto* s : {sb.get(), sc.get()}) {
    const auto frame = next(*s);
    EXPECT_EQ(frame.type, 2);
    EXPECT_EQ(frame.key, a.signPublicKey);
    EXPECT_EQ(frame.payload, text("from a"));
  }
  // Not echoed: the next thing a sees is b's line.
  sb->sendPacket(2, b.signPublicKey, text("from b"));
  EXPECT_EQ(next(*sa).payload, text("from b"));
  EXPECT_EQ(next(*sc).payload, text("from b"));

  // Past 256 frames each direction's nonce carries into its second byte;
  // order and authentication hold throughout.
  for (int i = 0; i < 300; ++i) sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(next(*sb).payload, text(std::to_string(i))) << i;
}

TEST_P(Relay, DirectGoesOnlyToTheNamedIdentitysSessions) {
  RunningServer server(address(3), {}, "", {}, threads());
  const auto a = plain(1), b = plain(2), c = plain(3), absent = plain(4);
  for (const auto* id : {&a, &b, &c}) server.seed(*id);
  auto sa = server.join(a), sb1 = server.join(b), sb2 = server.join(b), sc = server.join(c);
  ASSERT_TRUE(sa && sb1 && sb2 && sc);

  sa->sendPacket(1, b.signPublicKey, text("for b"));
  for (auto* s : {sb1.get(), sb2.get()}) {
    const auto frame = next(*s);
    EXPECT_EQ(frame.type, 1);
    EXPECT_EQ(frame.key, a.signPublicKey);  // rewritten to the sender
    EXPECT_EQ(frame.payload, text("for b"));
  }
  // Nobody online under that key: dropped, and a stays connected.
  sa->sendPacket(1, absent.signPublicKey, text("lost"));
  sa->sendPacket(2, a.signPublicKey, text("after"));
  EXPECT_EQ(next(*sc).payload, text("after"));  // c never saw the direct
  EXPECT_EQ(next(*sb1).payload, text("after"));
}

TEST_P(Relay, EmptyPayloadsUnknownTypesAndUnparsablePacketsGoNowhere) {
  RunningServer server(address(4), {}, "", {}, threads());
  const auto a = plain(1), b = plain(2);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);

  sa->sendPacket(2, a.signPublicKey, {});
  sa->sendPacket(1, b.signPublicKey, {});
  sa->sendPacket(7, a.signPublicKey, text("odd type"));
  // Authentic, but its length field promises more than follows.
  auto truncated = testing_peer::Session::packet(2, a.signPublicKey, text("abc"));
  truncated.pop_back();
  sa->sendRaw(sa->sealFrame(truncated));
  sa->sendPacket(2, a.signPublicKey, text("marker"));
  EXPECT_EQ(next(*sb).payload, text("marker"));
}

INSTANTIATE_TEST_SUITE_P(Threads, Registration, testing::Values(1u, 2u), harness::threadsName);
INSTANTIATE_TEST_SUITE_P(Threads, Relay, testing::Values(1u, 2u), harness::threadsName);

}  // namespace
