// Hostile and broken clients: each is cut off alone, with the reason in the
// log, while two honest sessions go on chatting and new ones still get in.
// Addresses 127.0.5.10-29.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>

#include "tests/support/server_harness.hpp"

namespace {

using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using namespace std::chrono_literals;
using Hostile = std::function<std::unique_ptr<testing_peer::Session>(RunningServer&, const fixed::Identity&)>;

std::unique_ptr<testing_peer::Session> sendHello(RunningServer& server, const fixed::Identity& id,
                                                 const testing_peer::Bytes& bytes) {
  auto outcome = raw_client::connect(server.address(), bytes, server.key(), id);
  EXPECT_FALSE(outcome.welcomed);
  return std::move(outcome.session);
}

struct Attack {
  const char* name;
  const char* address;
  const char* logged;  // the refusal or disconnection reason
  Hostile run;
};

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.name; }

class HostileClient : public testing::TestWithParam<Attack> {};

TEST_P(HostileClient, IsCutOffAloneAndTheOthersChatOn) {
  const Attack& attack = GetParam();
  RunningServer server(attack.address);
  const auto a = plain(1), b = plain(2), attacker = plain(9);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);

  auto hostile = attack.run(server, attacker);
  ASSERT_TRUE(hostile);
  EXPECT_TRUE(hostile->waitClosed(5s));
  EXPECT_TRUE(server.log.waitFor(attack.logged)) << server.log.all();

  sa->sendPacket(2, a.signPublicKey, text("still here"));
  EXPECT_EQ(next(*sb).payload, text("still here"));
  sb->sendPacket(1, a.signPublicKey, text("me too"));
  EXPECT_EQ(next(*sa).payload, text("me too"));
  auto late = server.join(plain(1));
  EXPECT_TRUE(late);
}

const Attack kAttacks[] = {
    {"BadSignature", "127.0.5.10", "refused: bad signature",
     [](RunningServer& s, const fixed::Identity& id) {
       const auto other = plain(10);
       raw_client::HelloFields fields;
       fields.signWith = other.signSecretKey.data();
       return sendHello(s, id, raw_client::hello(id, s.key(), fields));
     }},
    {"WrongVersion", "127.0.5.11", "refused: unsupported version",
     [](RunningServer& s, const fixed::Identity& id) {
       s.seed(id);
       raw_client::HelloFields fields;
       fields.version = 2;
       return sendHello(s, id, raw_client::hello(id, s.key(), fields));
     }},
    {"FlagTwo", "127.0.5.12", "refused: bad new-identity flag",
     [](RunningServer& s, const fixed::Identity& id) {
       s.seed(id);
       return sendHello(s, id, raw_client::hello(id, s.key(), 2));
     }},
    {"UnknownWithoutProof", "127.0.5.13", "refused: unknown identity",
     [](RunningServer& s, const fixed::Identity& id) { return sendHello(s, id, raw_client::hello(id, s.key(), 0)); }},
    {"NewWithoutProof", "127.0.5.14", "refused: missing proof of work",
     [](RunningServer& s, const fixed::Identity& id) { return sendHello(s, id, raw_client::hello(id, s.key(), 1)); }},
    {"Garbage", "127.0.5.15", "refused: hello does not unseal",
     [](RunningServer& s, const fixed::Identity& id) {
       testing_peer::Bytes junk(213);
       randombytes_buf(junk.data(), junk.size());
       return sendHello(s, id, junk);
     }},
    {"SealedToAnotherServer", "127.0.5.16", "refused: hello does not unseal",
     [](RunningServer& s, const fixed::Identity& id) {
       raw_client::Key otherPk, otherSk;
       crypto_box_keypair(otherPk.data(), otherSk.data());
       return sendHello(s, id, raw_client::hello(id, otherPk, 0));
     }},
    {"TruncatedHello", "127.0.5.17", "refused: closed after 100 of 213 hello bytes",
     [](RunningServer& s, const fixed::Identity& id) {
       s.seed(id);
       auto hello = raw_client::hello(id, s.key(), 0);
       hello.resize(100);
       const int fd = raw_client::dial(s.address());
       ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
       ::shutdown(fd, SHUT_WR);
       return std::make_unique<testing_peer::Session>(fd, testing_peer::Hello{}, false, raw_client::Key{},
                                                      raw_client::Key{});
     }},
    {"OversizedFrame", "127.0.5.18", "frame longer than 16 MiB",
     [](RunningServer& s, const fixed::Identity& id) {
       auto session = s.seedAndJoin(id);
       // 16 MiB + 1, and never a body: the server must not wait for it.
       session->sendRaw({0x01, 0x00, 0x00, 0x01});
       return session;
     }},
    {"ReplayedFrame", "127.0.5.19", "frame failed authentication",
     [](RunningServer& s, const fixed::Identity& id) {
       auto session = s.seedAndJoin(id);
       // A direct to itself, so that the honest pair's links stay quiet.
       const auto frame = session->sealFrame(testing_peer::Session::packet(1, id.signPublicKey, text("once")));
       session->sendRaw(frame);
       session->sendRaw(frame);
       return session;
     }},
    {"TamperedFrame", "127.0.5.20", "frame failed authentication",
     [](RunningServer& s, const fixed::Identity& id) {
       auto session = s.seedAndJoin(id);
       auto frame = session->sealFrame(testing_peer::Session::packet(2, id.signPublicKey, text("x")));
       frame[10] ^= 0x01;
       session->sendRaw(frame);
       return session;
     }},
    {"ShortFrame", "127.0.5.21", "frame too short",
     [](RunningServer& s, const fixed::Identity& id) {
       auto session = s.seedAndJoin(id);
       session->sendRaw({0, 0, 0, 3, 1, 2, 3});
       return session;
     }},
    {"GarbageAfterWelcome", "127.0.5.22", "frame failed authentication",
     [](RunningServer& s, const fixed::Identity& id) {
       auto session = s.seedAndJoin(id);
       testing_peer::Bytes junk(4 + 200);
       randombytes_buf(junk.data(), junk.size());
       junk[0] = junk[1] = 0;
       junk[2] = 0;
       junk[3] = 200;
       session->sendRaw(junk);
       return session;
     }},
};

INSTANTIATE_TEST_SUITE_P(Server, HostileClient, testing::ValuesIn(kAttacks),
                         [](const testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

TEST(HostileClient, ReplayedFrameIsRelayedOnlyOnce) {
  RunningServer server("127.0.5.23");
  const auto a = plain(1), b = plain(2);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);
  const auto frame = sa->sealFrame(testing_peer::Session::packet(2, a.signPublicKey, text("once")));
  sa->sendRaw(frame);
  sa->sendRaw(frame);
  EXPECT_EQ(next(*sb).payload, text("once"));
  EXPECT_TRUE(sa->waitClosed(5s));
  // Nothing else reached b: its link stays quiet until the next real line.
  EXPECT_FALSE(sb->receiveFrame(200ms));
}

}  // namespace
