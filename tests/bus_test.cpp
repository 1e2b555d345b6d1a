// The cluster's bus between two in-process instances over a real nats-server:
// nothing lost, repeated or reordered across a restart of the bus; a backlog
// that overflows is owned up to. nats-server on 127.0.15.1-9.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/bus.hpp"
#include "server/bus_record.hpp"
#include "tests/support/nats_server.hpp"

namespace {

using namespace std::chrono_literals;

// One instance: its bus and what reached it.
struct Instance {
  explicit Instance(const std::string& url, std::size_t backlog = 64u << 20) {
    sotto::Bus::Handlers handlers;
    handlers.deliver = [this](const sotto::MessageId&, const sotto::Key&, const std::shared_ptr<const sotto::Bytes>& packet) {
      const std::lock_guard lock(mutex);
      got.push_back(std::stoul(std::string(packet->begin(), packet->end())));
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
    bus = sotto::Bus::connect({{url}, backlog}, handlers, error);
    EXPECT_TRUE(bus) << error;
  }
  void send(std::size_t n) {
    const std::string text = std::to_string(n);
    bus->publish(sotto::Key{}, sotto::Bytes(text.begin(), text.end()));
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

std::vector<std::size_t> upTo(std::size_t n) {
  std::vector<std::size_t> all(n);
  for (std::size_t i = 0; i < n; ++i) all[i] = i;
  return all;
}

// Arrivals from one origin: a packet's sequence, or a lost record as
// {-from, seq}. What is handed on, in order, and whether a loss is reported.
struct OrderCase {
  const char* name;
  std::vector<std::pair<long, long>> arrivals;  // {seq, 0} or {-lostFrom, seq}
  std::vector<std::uint64_t> handed;
  bool lost;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class Order : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Order, HandsOnEachOnceInOrderAndOwnsUpToHoles) {
  sotto::OriginOrder order;
  std::vector<std::uint64_t> handed;
  bool lost = false;
  for (const auto& [first, second] : GetParam().arrivals) {
    sotto::BusRecord r;
    if (first < 0) {
      r.kind = sotto::BusRecord::Lost;
      r.lostFrom = static_cast<std::uint64_t>(-first);
      r.seq = static_cast<std::uint64_t>(second);
    } else {
      r.seq = static_cast<std::uint64_t>(first);
    }
    std::vector<sotto::BusRecord> ready;
    lost |= !order.accept(std::move(r), ready).empty();
    for (const auto& x : ready) handed.push_back(x.seq);
  }
  EXPECT_EQ(handed, GetParam().handed);
  EXPECT_EQ(lost, GetParam().lost);
}

INSTANTIATE_TEST_SUITE_P(
    Bus, Order,
    ::testing::Values(OrderCase{"Straight", {{5, 0}, {6, 0}, {7, 0}}, {5, 6, 7}, false},
                      OrderCase{"Repeats", {{5, 0}, {6, 0}, {5, 0}, {6, 0}, {7, 0}}, {5, 6, 7}, false},
                      OrderCase{"EarlyOnesWait", {{5, 0}, {8, 0}, {7, 0}, {6, 0}, {8, 0}}, {5, 6, 7, 8}, false},
                      OrderCase{"DroppedOnesOwnedUpTo", {{5, 0}, {-6, 9}, {10, 0}}, {5, 10}, true},
                      OrderCase{"LostRecordAfterEverythingArrived", {{5, 0}, {6, 0}, {-7, 7}, {8, 0}}, {5, 6, 8}, false},
                      OrderCase{"LostRecordWaitsForTheOnesBefore", {{5, 0}, {-8, 10}, {7, 0}, {6, 0}, {11, 0}},
                                {5, 6, 7, 11}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bus, UnreachableAtStartSaysSo) {
  std::string error;
  EXPECT_FALSE(sotto::Bus::connect({{"nats://127.0.15.9:4222"}}, {}, error));
  EXPECT_NE(error.find("cannot reach the bus"), std::string::npos) << error;
}

TEST(Bus, KilledAndRestartedOnItsStoreLosesRepeatsAndReordersNothing) {
  NatsServer nats("127.0.15.1");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.url()), b(nats.url());
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
  Instance a(nats.url()), b(nats.url());
  a.send(0);
  ASSERT_TRUE(b.waitFor(1));
  const auto before = consumersOf(nats.url());
  EXPECT_EQ(before.size(), 2u);
  // Quiet for longer than a consumer may stay silent: its heartbeats keep it.
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(consumersOf(nats.url()), before);
  deleteConsumers(nats.url());
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
    Instance a(nats.url());
    nats.kill();
    ASSERT_TRUE(nats.start());
    std::unique_lock lock(a.mutex);
    ASSERT_TRUE(a.changed.wait_for(lock, 30s, [&] { return a.reconnects > 0; }));
  }
}

TEST(Bus, OutageLongerThanTheBacklogIsReportedLostNotSkipped) {
  NatsServer nats("127.0.15.2");
  ASSERT_TRUE(nats.ok());
  Instance a(nats.url(), 2000), b(nats.url());
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
}

}  // namespace
