// The cluster's bus between two in-process instances over a real nats-server:
// nothing lost, repeated or reordered across a restart of the bus; a backlog
// that overflows is owned up to; what it carries, drops and refuses is
// counted. nats-server on 127.0.15.1-9.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/bus.hpp"
#include "proto/packet.hpp"
#include "server/bus_record.hpp"
#include "tests/support/nats_server.hpp"

namespace {

using namespace std::chrono_literals;
using sotto::Count;

// The long-term key every instance of a test cluster shares.
const unsigned char kServerSecret[32] = {7};

// One instance: its bus and what reached it.
struct Instance {
  explicit Instance(const std::string& url, std::size_t backlog = 64u << 20) {
    sotto::Bus::Handlers handlers;
    handlers.deliver = [this](const sotto::MessageId&, const sotto::Key&,
                              const std::shared_ptr<const sotto::Bytes>& serialized) {
      const Packet packet(*serialized);
      const std::lock_guard lock(mutex);
      got.push_back(std::stoul(std::string(packet.payload.begin(), packet.payload.end())));
      changed.notify_all();
    };
    handlers.lost = [this](const std::string& why) {
      const std::lock_guard lock(mutex);
      lost.push_back(why);
      changed.notify_all();
    };
    handlers.note = [this](const std::string& what) {
      if (what.rfind("connected again", 0) != 0) return;
      const std::lock_guard lock(mutex);
      ++reconnects;
      changed.notify_all();
    };
    std::string error;
    bus = sotto::Bus::connect({{url}, backlog, {}}, kServerSecret, handlers, error);
    EXPECT_TRUE(bus) << error;
  }
  // Packet n, its payload padded to `size` bytes.
  void send(std::size_t n, std::size_t size = 0) {
    std::string text = std::to_string(n);
    text.resize(std::max(size, text.size()), ' ');
    bus->publish(sotto::Key{}, Packet(Broadcast, sotto::Key{}.data(), sotto::Bytes(text.begin(), text.end())).serialize());
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return got.size() >= count; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::size_t> got;
  std::vector<std::string> lost;
  int reconnects = 0;
  std::unique_ptr<sotto::Bus> bus;
};

// The names of the stream's consumers, as the bus itself lists them.
std::vector<std::string> consumersOf(const std::string& url) {
  natsConnection* conn = nullptr;
  jsCtx* js = nullptr;
  jsConsumerNamesList* list = nullptr;
  std::vector<std::string> names;
  if (natsConnection_ConnectTo(&conn, url.c_str()) == NATS_OK && natsConnection_JetStream(&js, conn, nullptr) == NATS_OK &&
      js_ConsumerNames(&list, js, "SOTTO", nullptr, nullptr) == NATS_OK) {
    for (int i = 0; i < list->Count; ++i) names.emplace_back(list->List[i]);
    jsConsumerNamesList_Destroy(list);
  }
  jsCtx_Destroy(js);
  natsConnection_Destroy(conn);
  std::sort(names.begin(), names.end());
  return names;
}

void deleteConsumers(const std::string& url) {
  natsConnection* conn = nullptr;
  jsCtx* js = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&conn, url.c_str()), NATS_OK);
  ASSERT_EQ(natsConnection_JetStream(&js, conn, nullptr), NATS_OK);
  for (const auto& name : consumersOf(url)) EXPECT_EQ(js_DeleteConsumer(js, "SOTTO", name.c_str(), nullptr, nullptr), NATS_OK);
  jsCtx_Destroy(js);
  natsConnection_Destroy(conn);
}

// The instance's backlog once what it published came back, or 10 s on.
std::uint64_t backlogOnceBack(const Instance& instance) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (instance.bus->stats()[Count::busBacklogBytes] != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  return instance.bus->stats()[Count::busBacklogBytes];
}

std::vector<std::size_t> upTo(std::size_t n) {
  std::vector<std::size_t> all(n);
  for (std::size_t i = 0; i < n; ++i) all[i] = i;
  return all;
}

// Packets as the relay hands them on: type, named (a Direct's), sender,
// payload, and the seq the relay gave it.
struct Carried {
  unsigned char type;
  unsigned char named, sender;
  std::size_t payload;
  std::uint64_t seq;
};
struct RecordCase {
  const char* name;
  std::vector<Carried> packets;
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }
class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, CarryEveryPacketWholeWithItsSenderNamedIdentityAndSeq) {
  const sotto::BusKey key(kServerSecret);
  sotto::RecordBody body;
  std::vector<sotto::Bytes> sent;
  std::vector<sotto::Key> named;
  for (const Carried& c : GetParam().packets) {
    sotto::Key sender{}, to{};
    sender.fill(c.sender);
    to.fill(c.named);
    sotto::Bytes payload(c.payload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7 + sent.size());
    sent.push_back(Packet(c.type, sender.data(), payload).serialize());
    named.push_back(c.type == Direct ? to : sotto::Key{});
    EXPECT_LE(sotto::appendPacket(body, c.seq, to, sent.back()), sent.back().size() + sotto::BusRecord::kEntryOverhead);
  }
  const sotto::InstanceId origin{9};
  const sotto::Bytes sealed = key.seal(origin, 4, sotto::BusRecord::Packets, 1'000, body.bytes);
  sotto::Bytes scratch;
  const auto record = key.open(sealed.data(), sealed.size(), scratch);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->packets.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(*record->packets[i].serialized, sent[i]) << i;
    EXPECT_EQ(record->packets[i].named, named[i]) << i;
    EXPECT_EQ(record->packets[i].seq, GetParam().packets[i].seq) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bus, Records,
    ::testing::Values(RecordCase{"OneBroadcast", {{Broadcast, 0, 1, 64, 7}}},
                      RecordCase{"OneSendersRun",
                                 {{Broadcast, 0, 1, 64, 0}, {Broadcast, 0, 1, 1, 1}, {Broadcast, 0, 1, 300, 2}}},
                      // Seqs with a gap: what was dropped in between.
                      RecordCase{"SendersTakingTurns",
                                 {{Broadcast, 0, 1, 5, 5}, {Broadcast, 0, 2, 5, 6}, {Broadcast, 0, 1, 5, 9},
                                  {Broadcast, 0, 1, 9, 10}}},
                      RecordCase{"DirectsAndBroadcastsMixed",
                                 {{Direct, 3, 1, 10, std::uint64_t{1} << 40}, {Direct, 4, 1, 10, (std::uint64_t{1} << 40) + 1},
                                  {Broadcast, 0, 1, 2, (std::uint64_t{1} << 40) + 2}, {Direct, 3, 2, 65'536, (std::uint64_t{1} << 40) + 3}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bus, ABodyThatClaimsTheSenderOrSeqBeforeTheFirstOrAnotherTypeDoesNotOpen) {
  const sotto::BusKey key(kServerSecret);
  for (const unsigned char first : {0x80 | Broadcast, 0x40 | Broadcast, 0, 3, 0x80 | Direct}) {
    sotto::Bytes body(sotto::BusRecord::kBodyHeadSize + 1 + 32 + 32 + 4, 0);
    body[sotto::BusRecord::kBodyHeadSize] = first;
    const sotto::Bytes sealed = key.seal(sotto::InstanceId{9}, 4, sotto::BusRecord::Packets, 1'000, body);
    sotto::Bytes scratch;
    EXPECT_FALSE(key.open(sealed.data(), sealed.size(), scratch)) << int(first);
  }
}

// Arrivals from one origin: a packet record's sequence, or a lost record's
// as {seq, true}. What is handed on, in order, and whether a loss is reported.
struct OrderCase {
  const char* name;
  std::vector<std::pair<std::uint64_t, bool>> arrivals;
  std::vector<std::uint64_t> handed;
  bool lost;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class Order : public ::testing::TestWithParam<OrderCase> {};

sotto::BusRecord record(std::uint64_t seq, bool lost = false, std::uint64_t madeAt = 1'000'000) {
  sotto::BusRecord r;
  r.seq = seq;
  r.madeAt = madeAt;
  r.kind = lost ? sotto::BusRecord::Lost : sotto::BusRecord::Packets;
  return r;
}

TEST_P(Order, HandsOnEachOnceInOrderAndOwnsUpToHoles) {
  sotto::OriginOrder order(1'000'000);
  std::vector<std::uint64_t> handed;
  bool lost = false;
  for (const auto& [seq, isLost] : GetParam().arrivals) {
    std::vector<sotto::BusRecord> ready;
    lost |= order.accept(record(seq, isLost), ready).has_value();
    for (const auto& x : ready) handed.push_back(x.seq);
  }
  EXPECT_EQ(handed, GetParam().handed);
  EXPECT_EQ(lost, GetParam().lost);
}

INSTANTIATE_TEST_SUITE_P(
    Bus, Order,
    ::testing::Values(OrderCase{"Straight", {{5, false}, {6, false}, {7, false}}, {5, 6, 7}, false},
                      OrderCase{"Repeats", {{5, false}, {6, false}, {5, false}, {6, false}, {7, false}}, {5, 6, 7}, false},
                      OrderCase{"EarlyOnesWait", {{5, false}, {8, false}, {7, false}, {6, false}, {8, false}}, {5, 6, 7, 8},
                                false},
                      OrderCase{"DroppedOnesOwnedUpTo", {{5, false}, {6, true}, {7, false}}, {5, 7}, true},
                      OrderCase{"LostRecordWaitsForTheOnesBefore", {{5, false}, {8, true}, {7, false}, {6, false}},
                                {5, 6, 7}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bus, AGapFromAQuietInstanceIsGivenUpAfterTheLimitAndSaidSo) {
  sotto::OriginOrder order(1'000'000);
  const auto start = std::chrono::steady_clock::now();
  std::vector<sotto::BusRecord> ready;
  EXPECT_FALSE(order.accept(record(5), ready, start));
  EXPECT_FALSE(order.accept(record(7), ready, start));
  EXPECT_FALSE(order.expire(ready, start + sotto::OriginOrder::kMaxWait - 1s));
  EXPECT_EQ(order.nextExpiry(), start + sotto::OriginOrder::kMaxWait);
  const auto why = order.expire(ready, start + sotto::OriginOrder::kMaxWait);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("1 records from instance"), std::string::npos) << *why;
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[1].seq, 7u);
  EXPECT_FALSE(order.nextExpiry());
}

TEST(Bus, OldRecordsOfAnInstanceNotHeardFromAreNotDueAndRepeatsAreKnown) {
  const std::uint64_t joined = 10'000'000;
  sotto::OriginOrder order(joined);
  const auto skew = static_cast<std::uint64_t>(sotto::OriginOrder::kClockSkew.count());
  using Arrival = sotto::OriginOrder::Arrival;
  EXPECT_EQ(order.classify(record(3, false, joined - skew - 1)), Arrival::Stale);
  EXPECT_EQ(order.classify(record(3, false, joined - skew)), Arrival::New);
  std::vector<sotto::BusRecord> ready;
  order.accept(record(3, false, joined), ready);
  EXPECT_EQ(order.classify(record(3, false, joined)), Arrival::Repeat);
  EXPECT_EQ(order.classify(record(4, false, 0)), Arrival::New);
  // After the bus lost its store, what comes next is taken over the hole.
  order.resync();
  EXPECT_FALSE(order.accept(record(9), ready));
  EXPECT_EQ(ready.back().seq, 9u);
}

TEST(Bus, UnreachableAtStartSaysSo) {
  std::string error;
  EXPECT_FALSE(sotto::Bus::connect({{"nats://127.0.15.9:4222"}, 1 << 20, {}}, kServerSecret, {}, error));
  EXPECT_NE(error.find("cannot reach the bus"), std::string::npos) << error;
}

TEST(Bus, KilledAndRestartedOnItsStoreLosesRepeatsAndReordersNothing) {
  NatsServer nats("127.0.15.1");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.urlWithToken()), b(nats.urlWithToken());
  // A keeps relaying while the bus dies under it and comes back.
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent{0};
  std::thread sender([&] {
    for (; !stop; ++sent) {
      a.send(sent);
      if (sent % 10 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(b.waitFor(300));
  nats.kill();
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(nats.start());
  const std::size_t afterRestart = sent;
  ASSERT_TRUE(b.waitFor(afterRestart + 300));
  stop = true;
  sender.join();
  ASSERT_TRUE(b.waitFor(sent));
  std::this_thread::sleep_for(300ms);
  const std::lock_guard lock(b.mutex);
  EXPECT_EQ(b.got, upTo(sent));
  EXPECT_TRUE(b.lost.empty());
  EXPECT_TRUE(a.got.empty());
}

TEST(Bus, ConsumersOutliveQuietSpellsAndOneTheBusDropsIsMadeAgainFromWhereItWas) {
  NatsServer nats("127.0.15.3");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.urlWithToken()), b(nats.urlWithToken());
  a.send(0);
  ASSERT_TRUE(b.waitFor(1));
  const auto before = consumersOf(nats.urlWithToken());
  EXPECT_EQ(before.size(), 2u);
  // Quiet for longer than a consumer may stay silent: its heartbeats keep it.
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(consumersOf(nats.urlWithToken()), before);
  deleteConsumers(nats.urlWithToken());
  for (std::size_t i = 1; i < 100; ++i) a.send(i);
  ASSERT_TRUE(b.waitFor(100));
  std::this_thread::sleep_for(300ms);
  const std::lock_guard lock(b.mutex);
  EXPECT_EQ(b.got, upTo(100));
  EXPECT_TRUE(b.lost.empty());
}

// The consumer is made again as the bus comes back; closing at that moment
// ends cleanly.
TEST(Bus, ClosedAsTheBusComesBackItEndsCleanly) {
  NatsServer nats("127.0.15.4");
  ASSERT_TRUE(nats.ok());
  for (int round = 0; round < 20; ++round) {
    Instance a(nats.urlWithToken());
    nats.kill();
    ASSERT_TRUE(nats.start());
    std::unique_lock lock(a.mutex);
    ASSERT_TRUE(a.changed.wait_for(lock, 30s, [&] { return a.reconnects > 0; }));
  }
}

TEST(Bus, OutageLongerThanTheBacklogIsReportedLostNotSkipped) {
  NatsServer nats("127.0.15.2");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.urlWithToken(), 2000), b(nats.urlWithToken());
  a.send(0);
  ASSERT_TRUE(b.waitFor(1));
  nats.kill();
  for (std::size_t i = 1; i < 500; ++i) a.send(i);
  ASSERT_TRUE(nats.start());
  {
    std::unique_lock lock(b.mutex);
    ASSERT_TRUE(b.changed.wait_for(lock, 30s, [&] { return !b.lost.empty(); }));
    EXPECT_NE(b.lost[0].find("dropped"), std::string::npos) << b.lost[0];
  }
  // What came through is in order, and what follows the loss arrives.
  a.send(500);
  std::unique_lock lock(b.mutex);
  ASSERT_TRUE(b.changed.wait_for(lock, 30s, [&] { return b.got.back() == 500; }));
  EXPECT_TRUE(std::is_sorted(b.got.begin(), b.got.end()));
  EXPECT_LT(b.got.size(), 500u);
  // Each packet was carried or counted as dropped, and the backlog empties.
  EXPECT_EQ(a.bus->stats()[Count::busPacketsDropped] + b.got.size(), 501u);
  EXPECT_GT(a.bus->stats()[Count::busRecordsPublished], 0u);
  EXPECT_EQ(backlogOnceBack(a), 0u);
}

TEST(Bus, RecordsStayWithinWhatTheBusTakesInOneMessage) {
  // Far less than a full record: packets sent faster than the bus takes
  // them back would otherwise gather into records it refuses.
  NatsServer nats("127.0.15.6", 4222, 40'000);
  ASSERT_TRUE(nats.ok());
  Instance a(nats.urlWithToken()), b(nats.urlWithToken());
  constexpr std::size_t kPackets = 4'000;
  for (std::size_t i = 0; i < kPackets; ++i) a.send(i, 600);
  ASSERT_TRUE(b.waitFor(kPackets));
  const std::lock_guard lock(b.mutex);
  EXPECT_EQ(b.got, upTo(kPackets));
  EXPECT_GT(a.bus->stats()[Count::busRecordsPublished], 2'400'000u / 40'000);
}

TEST(Bus, ARecordThatDoesNotOpenIsCountedAndChangesNothing) {
  NatsServer nats("127.0.15.5");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.urlWithToken()), b(nats.urlWithToken());
  natsConnection* stranger = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&stranger, nats.urlWithToken().c_str()), NATS_OK);
  EXPECT_EQ(natsConnection_PublishString(stranger, "sotto.chat.forged", "7"), NATS_OK);
  natsConnection_Destroy(stranger);
  a.send(0);
  ASSERT_TRUE(b.waitFor(1));
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (b.bus->stats()[Count::busRecordsRefused] == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(b.bus->stats()[Count::busRecordsRefused], 1u);
  EXPECT_EQ(a.bus->stats()[Count::busRecordsPublished], 1u);
  EXPECT_EQ(backlogOnceBack(a), 0u);
  const std::lock_guard lock(b.mutex);
  EXPECT_EQ(b.got, upTo(1));
  EXPECT_TRUE(b.lost.empty());
}

}  // namespace
