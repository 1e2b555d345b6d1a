// connect against the independent test peer: every result code, the hello as
// the server sees it, the deadlines, and destruction while things wait.
// Addresses 127.0.2.x belong to this file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <sodium.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include "tests/support/client_harness.hpp"
#include "tests/support/raw_listener.hpp"
#include "tests/support/scratch.hpp"

namespace {

using namespace std::chrono_literals;
using testing_peer::Behaviour;
using testing_peer::TestPeer;
using Clock = std::chrono::steady_clock;

struct Harness : harness::Client {
  explicit Harness(std::chrono::milliseconds handshakeTimeout = 15s, std::chrono::milliseconds connectTimeout = 10s)
      : harness::Client(options(handshakeTimeout, connectTimeout)) {}
  static sotto::ClientOptions options(std::chrono::milliseconds handshake, std::chrono::milliseconds connect) {
    sotto::ClientOptions o;
    o.handshakeTimeout = handshake;
    o.connectTimeout = connect;
    return o;
  }
  ClientImpl* operator->() { return impl.get(); }
};

TEST(Connect, NewIdentitySendsTheSmallestProofAndGetsKeys) {
  TestPeer peer("127.0.2.1");
  Harness h;
  auto result = h.connect("127.0.2.1", peer, true);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  ASSERT_EQ(result.get(), Client::success);
  EXPECT_EQ(h.handshakeLine.str(), "CLIENT: Sending packet size = 213\n");

  const auto& hello = session->hello();
  ASSERT_EQ(hello.raw.size(), 213u);
  ASSERT_TRUE(hello.unsealed);
  EXPECT_TRUE(hello.signatureValid);
  EXPECT_EQ(hello.version(), 1u);
  EXPECT_EQ(hello.flag(), 1);
  EXPECT_TRUE(hello.proofOfWorkHolds());
  EXPECT_EQ(hello.signPublicKey(), h.id.signPublicKey);
  EXPECT_EQ(hello.kxPublicKey(), h.id.kxPublicKey);
  EXPECT_EQ(scratch::le64(hello.powNonce().data()), h.id.smallestNonce);

  // The session keys agree: a frame each way opens at the other end.
  session->sendPacket(2, h.id.signPublicKey, {'h', 'i'});
  std::vector<unsigned char> payload{'y', 'o'};
  h->sendBytesBroadcast(payload);
  auto frame = session->receiveFrame();
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->opened);
  EXPECT_EQ(frame->payload, payload);
}

TEST(Connect, KnownIdentitySendsFlagZeroAndNoProof) {
  TestPeer peer("127.0.2.2");
  Harness h;
  auto result = h.connect("127.0.2.2", peer, false);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  EXPECT_EQ(result.get(), Client::success);
  const auto& hello = session->hello();
  ASSERT_TRUE(hello.unsealed);
  EXPECT_TRUE(hello.signatureValid);
  EXPECT_EQ(hello.flag(), 0);
  for (std::size_t i = 64; i < 96; ++i) EXPECT_EQ(hello.initial[i], 0) << i;
  EXPECT_EQ(hello.version(), 1u);
}

struct Refusal {
  const char* name;
  const char* address;
  Behaviour behaviour;
  Client::values expected;
};

// By name: gtest would otherwise print the record's bytes, padding included.
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class ConnectRefused : public testing::TestWithParam<Refusal> {};

TEST_P(ConnectRefused, YieldsItsCodeWithoutHanging) {
  const Refusal r = GetParam();
  TestPeer peer(r.address);
  Harness h(1500ms);
  const auto start = Clock::now();
  auto result = h.connect(r.address, peer, false);
  auto session = peer.accept(r.behaviour);
  ASSERT_TRUE(session);
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), r.expected);
  EXPECT_LT(Clock::now() - start, 10s);
  if (r.expected == Client::cryptoError) {
    // A session that could not be keyed is not kept open.
    EXPECT_TRUE(session->waitClosed(5s));
  }
}

INSTANTIATE_TEST_SUITE_P(
    PeerMisbehaves, ConnectRefused,
    testing::Values(Refusal{"closeAfterHello", "127.0.2.3", Behaviour::closeAfterHello, Client::networkError},
                    Refusal{"partialWelcome", "127.0.2.4", Behaviour::partialWelcome, Client::networkError},
                    Refusal{"wrongKeyWelcome", "127.0.2.5", Behaviour::wrongKeyWelcome, Client::cryptoError},
                    Refusal{"zeroSessionKey", "127.0.2.6", Behaviour::zeroSessionKey, Client::cryptoError},
                    Refusal{"neverAnswer", "127.0.2.7", Behaviour::neverAnswer, Client::networkError},
                    Refusal{"acceptOnly", "127.0.2.8", Behaviour::acceptOnly, Client::networkError}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(Connect, NothingListeningIsANetworkError) {
  Harness h;
  const unsigned char key[32] = {};
  h->setServer("127.0.2.9", key, false);
  EXPECT_EQ(h->connect(), Client::networkError);
}

TEST(Connect, UnresolvableHostIsANetworkError) {
  Harness h(15s, 3s);
  const unsigned char key[32] = {};
  h->setServer("no-such-host.invalid", key, false);
  EXPECT_EQ(h->connect(), Client::networkError);
}

TEST(Connect, EmptyAddressIsANetworkError) {
  Harness h(15s, 3s);
  const unsigned char key[32] = {};
  h->setServer("", key, false);
  EXPECT_EQ(h->connect(), Client::networkError);
}

TEST(Connect, UnansweredSynHitsTheConnectDeadline) {
  const SynSink sink("127.0.2.10");
  ASSERT_TRUE(sink.ok());
  Harness h(15s, 800ms);
  const unsigned char key[32] = {};
  h->setServer("127.0.2.10", key, false);
  const auto start = Clock::now();
  EXPECT_EQ(h->connect(), Client::networkError);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(Lifecycle, DestroyedWithoutConnectReturnsPromptly) {
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    auto c = Client::create();
    unsigned char pk[32], sk[64];
    c->genKeys(pk, sk);
  }
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(Lifecycle, DestroyedWhileBothLoopsWaitClosesTheConnection) {
  TestPeer peer("127.0.2.11");
  Harness h;
  auto result = h.connect("127.0.2.11", peer, false);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  ASSERT_EQ(result.get(), Client::success);
  std::this_thread::sleep_for(50ms);  // both loops are now parked
  const auto start = Clock::now();
  h.impl.reset();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(session->waitClosed(2s));
}

// Objects as Client::create makes them (random key-exchange pair), but with
// the debug log kept away from the real path.
std::unique_ptr<Client> makeQuietClient() {
  sotto::ClientOptions options;
  options.debugLogPath = "/nonexistent-dir/debug.log";
  options.handshakeOut = &scratch::discard();
  return std::make_unique<ClientImpl>(options);
}

TEST(Lifecycle, GenKeysMakesAFreshPairEachTimeAndKeepsTheLast) {
  TestPeer peer("127.0.2.12");
  auto c = makeQuietClient();
  unsigned char pk1[32], sk1[64], pk2[32], sk2[64];
  c->genKeys(pk1, sk1);
  c->genKeys(pk2, sk2);
  EXPECT_NE(0, std::memcmp(pk1, pk2, 32));
  EXPECT_NE(0, std::memcmp(sk1, sk2, 64));
  EXPECT_EQ(0, std::memcmp(sk2 + 32, pk2, 32));  // libsodium's secret key ends with the public key

  c->setServer("127.0.2.12", peer.publicKey().data(), false);
  auto result = std::async(std::launch::async, [&] { return c->connect(); });
  auto session = peer.accept();
  ASSERT_TRUE(session);
  EXPECT_EQ(result.get(), Client::success);
  EXPECT_EQ(0, std::memcmp(session->hello().signPublicKey().data(), pk2, 32));
  EXPECT_TRUE(session->hello().signatureValid);
}

TEST(Lifecycle, EachObjectHasItsOwnKeyExchangePair) {
  TestPeer peer("127.0.2.13");
  unsigned char pk[32], sk[64];
  std::vector<testing_peer::Key> kx;
  for (int i = 0; i < 2; ++i) {
    auto c = makeQuietClient();
    c->genKeys(pk, sk);
    c->setServer("127.0.2.13", peer.publicKey().data(), false);
    auto result = std::async(std::launch::async, [&] { return c->connect(); });
    auto session = peer.accept();
    ASSERT_TRUE(session);
    EXPECT_EQ(result.get(), Client::success);
    kx.push_back(session->hello().kxPublicKey());
  }
  EXPECT_NE(kx[0], kx[1]);
}

// Reads exactly size bytes within the timeout; false on the end of the stream,
// an error or the timeout.
bool readAll(int fd, unsigned char* out, std::size_t size, std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
    const ssize_t n = ::read(fd, out, size);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

TEST(Connect, SuccessIsNeverReportedOnAConnectionTheDeadlineClosed) {
  // This server answers before it has read the hello, so the welcome already
  // waits when the client turns to read it, while a handshake deadline of zero
  // has already fired: the two race. Whichever wins, a success must leave a
  // live connection behind.
  const fixed::Identity id = fixed::twoByteNonce();
  unsigned char serverPk[32], serverSk[32], sessionPk[32], sessionSk[32];
  crypto_box_keypair(serverPk, serverSk);
  crypto_kx_keypair(sessionPk, sessionSk);
  unsigned char plain[36] = {};
  std::memcpy(plain, sessionPk, 32);
  unsigned char welcome[76];
  randombytes_buf(welcome, 24);
  ASSERT_EQ(0, crypto_box_easy(welcome + 24, plain, sizeof plain, welcome, id.kxPublicKey.data(), serverSk));

  sockaddr_in sa{};
  const int listener = boundSocket("127.0.2.20", SOCK_STREAM, 8, sa);
  ASSERT_GE(listener, 0);

  std::vector<int> deadSuccesses;
  for (int trial = 0; trial < 20; ++trial) {
    Harness h(0ms);
    h->setServer("127.0.2.20", serverPk, false);
    auto result = std::async(std::launch::async, [&] { return h->connect(); });
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 5000));
    const int fd = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(76, ::write(fd, welcome, sizeof welcome));
    unsigned char hello[213];
    readAll(fd, hello, sizeof hello, 2s);
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    const Client::values v = result.get();
    if (v == Client::success) {
      h->sendBytesBroadcast({'x'});
      unsigned char word[4];
      if (!readAll(fd, word, sizeof word, 2s)) deadSuccesses.push_back(trial);
    }
    ::close(fd);
  }
  EXPECT_TRUE(deadSuccesses.empty()) << deadSuccesses.size() << " of 20 trials reported success and never sent a frame";
  ::close(listener);
}

}  // namespace
