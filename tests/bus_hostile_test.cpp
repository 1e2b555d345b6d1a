// The cluster's bus against a party on it that holds the bus's credentials
// but not the instances' key, and against a bus that stalls or loses its
// store, with real nats-server, PostgreSQL and instances. Addresses
// 127.0.80.x (a cluster per test: nats on the tens, instances after it).
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "proto/packet.hpp"
#include "tests/support/cluster.hpp"

namespace {

using testing_peer::Bytes;
using namespace std::chrono_literals;

constexpr unsigned char kDirect = 1, kBroadcast = 2;

bool contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// On the bus with its credentials and nothing else: it sees every message
// on it and may publish anything anywhere.
class Intruder {
 public:
  struct Seen {
    std::string subject;
    Bytes data;
  };
  explicit Intruder(const NatsServer& nats) {
    EXPECT_EQ(natsConnection_ConnectTo(&conn_, nats.urlWithToken().c_str()), NATS_OK);
    EXPECT_EQ(natsConnection_SubscribeSync(&sub_, conn_, ">"), NATS_OK);
    EXPECT_EQ(natsConnection_Flush(conn_), NATS_OK);
  }
  ~Intruder() {
    natsSubscription_Destroy(sub_);
    natsConnection_Destroy(conn_);
  }
  // What came since the last call, waiting a little for stragglers.
  std::vector<Seen> seen() {
    std::vector<Seen> out;
    natsMsg* msg = nullptr;
    while (natsSubscription_NextMsg(&msg, sub_, 300) == NATS_OK) {
      const auto* data = reinterpret_cast<const unsigned char*>(natsMsg_GetData(msg));
      out.push_back({natsMsg_GetSubject(msg), Bytes(data, data + natsMsg_GetDataLength(msg))});
      natsMsg_Destroy(msg);
    }
    return out;
  }
  // Where the stream's consumers deliver, as JetStream tells anyone on the bus.
  std::vector<std::string> deliverSubjects() {
    std::vector<std::string> out;
    jsCtx* js = nullptr;
    jsConsumerInfoList* list = nullptr;
    if (natsConnection_JetStream(&js, conn_, nullptr) == NATS_OK &&
        js_Consumers(&list, js, "SOTTO", nullptr, nullptr) == NATS_OK) {
      for (int i = 0; i < list->Count; ++i) out.emplace_back(list->List[i]->Config->DeliverSubject);
      jsConsumerInfoList_Destroy(list);
    }
    jsCtx_Destroy(js);
    return out;
  }
  void publish(const std::string& subject, const Bytes& data, const char* reply = nullptr) {
    const int size = static_cast<int>(data.size());
    EXPECT_EQ(reply ? natsConnection_PublishRequest(conn_, subject.c_str(), reply, data.data(), size)
                    : natsConnection_Publish(conn_, subject.c_str(), data.data(), size),
              NATS_OK);
  }

 private:
  natsConnection* conn_ = nullptr;
  natsSubscription* sub_ = nullptr;
};

// A record as an instance of the version before sealing wrote it: kind,
// origin, sequence, then a packet's named key and the packet, or the first
// lost sequence.
Bytes plainRecord(unsigned char kind, const Bytes& origin, std::uint64_t seq, const Bytes& rest) {
  Bytes out(1 + origin.size(), kind);
  std::copy(origin.begin(), origin.end(), out.begin() + 1);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(seq >> shift));
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

Bytes forgedPacket(unsigned char type, const testing_peer::Key& named, const testing_peer::Key& sender,
                   const std::string& line) {
  Bytes rest(named.begin(), named.end());
  const Bytes packet = Packet(type, sender.data(), text(line)).serialize();
  rest.insert(rest.end(), packet.begin(), packet.end());
  return rest;
}

TEST(BusHostile, AnIntruderReadsNoLineAndWhatItForgesOrPlaysAgainChangesNothingForUsers) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.80", 10, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), ghost = fixed::make(3, 0);
  for (const auto* id : {&a, &b, &ghost}) cluster.seed(*id);
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b));
  ASSERT_TRUE(ca.ok() && cb.ok());
  Intruder intruder(cluster.nats);

  ca.send(kBroadcast, a.signPublicKey, text("the vault opens with 4711"));
  ca.send(kDirect, b.signPublicKey, text("between us: 0815"));
  ASSERT_TRUE(cb.waitFor(2));
  const auto seen = intruder.seen();
  std::vector<Intruder::Seen> records;
  for (const auto& s : seen) {
    EXPECT_FALSE(contains(s.data, text("4711")) || contains(s.data, text("0815"))) << s.subject;
    EXPECT_FALSE(contains(s.data, Bytes(a.signPublicKey.begin(), a.signPublicKey.end()))) << s.subject;
    if (s.subject.rfind("sotto.chat.", 0) == 0) records.push_back(s);
  }
  ASSERT_GE(records.size(), 1u);
  const auto deliverTo = intruder.deliverSubjects();
  ASSERT_EQ(deliverTo.size(), 2u);
  const Intruder::Seen& captured = records.front();
  const Bytes origin(captured.data.begin() + 1, captured.data.begin() + 17);

  // Records as the instances wrote them before they sealed them: a line
  // under the key of someone not even connected, a Direct under it, and a
  // "lost" with a huge sequence from a's instance.
  const std::string stranger = "sotto.chat.00112233445566778899aabbccddeeff";
  const Bytes strangerId(16, 0x11);
  intruder.publish(stranger, plainRecord(0, strangerId, 0, forgedPacket(kBroadcast, {}, ghost.signPublicKey, "forged")));
  intruder.publish(stranger,
                   plainRecord(0, strangerId, 1, forgedPacket(kDirect, b.signPublicKey, ghost.signPublicKey, "forged")));
  intruder.publish(captured.subject, plainRecord(1, origin, std::uint64_t{1} << 62, Bytes(8, 0)));
  // The sealed shape with a sequence far ahead, and a sealed record altered.
  Bytes ahead = captured.data;
  ahead[20] ^= 0x40;
  intruder.publish(captured.subject, ahead);
  Bytes altered = captured.data;
  altered.back() ^= 1;
  intruder.publish(captured.subject, altered);
  // The real record again, on the bus and straight to an instance's
  // consumer, claiming to stand far ahead in the stream.
  intruder.publish(captured.subject, captured.data);
  for (const auto& to : deliverTo) {
    intruder.publish(to, captured.data, "$JS.ACK.SOTTO.x.1.999999999.999999999.0.0");
    intruder.publish(to, ahead, "$JS.ACK.SOTTO.x.1.999999999.999999999.0.0");
  }

  // Nobody was closed, nobody is silenced, nothing forged or repeated
  // reached anyone.
  ca.send(kBroadcast, a.signPublicKey, text("still here"));
  cb.send(kBroadcast, b.signPublicKey, text("me too"));
  ASSERT_TRUE(cb.waitFor(3)) << cluster.log(1);
  ASSERT_TRUE(ca.waitFor(1)) << cluster.log(0);
  std::this_thread::sleep_for(1s);
  const auto atB = cb.received();
  ASSERT_EQ(atB.size(), 3u) << cluster.log(1);
  EXPECT_EQ(atB[0].payload, text("the vault opens with 4711"));
  EXPECT_EQ(atB[1].payload, text("between us: 0815"));
  EXPECT_EQ(atB[2].payload, text("still here"));
  EXPECT_EQ(ca.received().size(), 1u);
  EXPECT_FALSE(ca.waitEnded(0ms) || cb.waitEnded(0ms));
  EXPECT_TRUE(cluster.waitForLog(1, "records that do not open with this cluster's key")) << cluster.log(1);
  EXPECT_EQ(cluster.log(1).find("may have missed"), std::string::npos) << cluster.log(1);
}

TEST(BusHostile, ABusBackWithAnEmptyStoreCarriesChatAgainAndClosesTheSessionsThatMayHaveMissedLines) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.80", 20, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  for (const auto* id : {&a, &b}) cluster.seed(*id);
  {
    Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b));
    ASSERT_TRUE(ca.ok() && cb.ok());
    for (int i = 0; i < 10; ++i) ca.send(kBroadcast, a.signPublicKey, line(0, i, 40));
    ASSERT_TRUE(cb.waitFor(10));
    ASSERT_TRUE(cluster.nats.startEmpty());
    const auto back = std::chrono::steady_clock::now();
    // Both instances close their sessions, each when it finds the stream
    // gone: a sign-in before that would be closed with them.
    EXPECT_TRUE(ca.waitEnded()) << cluster.log(0);
    EXPECT_TRUE(cb.waitEnded()) << cluster.log(1);
    for (int i : {0, 1})
      EXPECT_TRUE(cluster.waitForLog(i, "may have missed packets: the bus's stream was")) << cluster.log(i);
    // Chat across instances again, within seconds.
    Chatter ca2(cluster.join(0, a)), cb2(cluster.join(1, b));
    ASSERT_TRUE(ca2.ok() && cb2.ok());
    bool across = false;
    for (int i = 0; !across && std::chrono::steady_clock::now() - back < 10s; ++i) {
      ca2.send(kBroadcast, a.signPublicKey, line(0, 100 + i, 40));
      across = cb2.waitFor(1, 200ms);
    }
    EXPECT_TRUE(across) << cluster.log(0) << cluster.log(1);
  }
}

TEST(BusHostile, ABusThatStallsDuringOneUsersFloodOfDirectsClosesNoOneElsewhere) {
  // The flooder's instance holds 16 MiB for the bus: the flood outgrows it
  // within the stall unless it is made to wait.
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.80", 30, 2, {{"--bus-backlog", "16777216"}});
  ASSERT_TRUE(cluster.ok());
  const auto flooder = fixed::make(1, 0), b = fixed::make(2, 0), away = fixed::make(3, 0), nobody = fixed::make(4, 0);
  for (const auto* id : {&flooder, &b, &away}) cluster.seed(*id);
  Chatter cf(cluster.join(0, flooder)), cb(cluster.join(1, b));
  ASSERT_TRUE(cf.ok() && cb.ok());
  // 64 KiB Directs as fast as the instance takes them, to one registered
  // but not here and now and then to a key the registry does not hold.
  const Bytes big(65536, 'f');
  const auto start = std::chrono::steady_clock::now();
  std::thread flood([&] {
    for (int i = 0; std::chrono::steady_clock::now() - start < 6s; ++i)
      cf.send(kDirect, (i % 4 ? away : nobody).signPublicKey, big);
  });
  std::this_thread::sleep_for(1s);
  cluster.nats.pause(true);
  std::this_thread::sleep_for(2500ms);
  cluster.nats.pause(false);
  flood.join();
  cf.send(kBroadcast, flooder.signPublicKey, text("done"));
  ASSERT_TRUE(cb.waitFor(1)) << cluster.log(0) << cluster.log(1);
  EXPECT_EQ(cb.received().back().payload, text("done"));
  EXPECT_FALSE(cb.waitEnded(0ms));
  EXPECT_EQ(cluster.log(1).find("may have missed"), std::string::npos) << cluster.log(1);
}

}  // namespace
