// The bus that makes several sotto-server instances one chat: NATS with
// JetStream. Each instance publishes every packet it relays, once, to the
// stream SOTTO (subject sotto.chat.<instance>), and consumes the stream in
// order from the moment it joined, handing the packets of the other
// instances to its own sessions.
//
// Only the cluster's instances can read or make what is on the bus: records
// are sealed with a key derived from the long-term key they share
// (server/bus_record.hpp). What does not open is dropped and counted, and
// nothing it claims is believed.
//
// Nothing is lost silently:
// - Publishing never waits: packets go into a backlog that a thread of the
//   bus's own seals, several to a record, and publishes in relay order. A
//   record stays in the backlog until the instance reads it back from the
//   stream, which no one without the key can fake; one that does not come
//   back in time is sent again, the wait doubling each time.
// - Every record carries its instance and a sequence per instance, and the
//   consumer takes each instance's records in that order, once; a record
//   missing from that order is waited for at most 30 s (while the bus is
//   there), then owned up to as lost.
// - The consumer is the bus's push consumer, kept here: made again from the
//   record after the last one read whenever the bus comes back, a delivery
//   went missing, or it falls silent; the stream is made again if it has
//   gone, and a stream made anew, or one that lost records not read yet,
//   is reported as lost.
// - When the backlog outgrows its bound during an outage, further packets
//   are dropped, and once the bus is back a record owns up to them, so that
//   the other instances close the sessions that missed them.
//
//   std::string error;
//   auto bus = Bus::connect({{"nats://10.0.0.1:4222"}}, serverSecret, handlers, error);
//   bus->publish(named, serialized);   // any thread
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/bus_access.hpp"
#include "server/bus_record.hpp"
#include "server/histogram.hpp"
#include "server/onward.hpp"
#include "server/stats.hpp"

struct __natsConnection;
struct __natsSubscription;
struct __jsCtx;
struct __natsMsg;

namespace sotto {

class Bus final : public Onward {
 public:
  struct Settings {
    std::vector<std::string> urls;
    // Relayed and not yet back from the bus: what an outage can be bridged with.
    std::size_t maxBacklogBytes = 64u * 1024 * 1024;
    BusAccess access;
  };
  struct Handlers {
    // A packet relayed by another instance (its origin and seq in id), on
    // one of the bus's threads, one call at a time, in each origin's order.
    std::function<void(const MessageId& id, const Key& named, const std::shared_ptr<const Bytes>& packet)> deliver;
    // Packets due here are lost for good: the sessions here may have missed
    // them. Called as deliver is.
    std::function<void(const std::string& why)> lost;
    // A line for the log; any of the bus's threads.
    std::function<void(const std::string& what)> note;
    // Whether an identity may be registered: a Direct to one that the
    // registry says is not never reaches the bus, as no instance can have a
    // session of it. Publishing threads; never waits. Unset: every Direct is
    // carried.
    std::function<bool(const Key& identity)> mayHold;
  };

  // Connects, makes the stream if it is missing and starts consuming at its
  // end; the bus key is derived from serverSecret. Nothing and the reason
  // if the bus cannot be reached.
  static std::unique_ptr<Bus> connect(const Settings& settings, const unsigned char* serverSecret, Handlers handlers,
                                      std::string& error);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Any thread; never waits on the bus. Calls from one thread are published
  // in the order they were made. The packet's seq among this instance's
  // relayed packets (one dropped from a full backlog has one too); nothing
  // for a Direct to an identity the registry does not hold, which is not
  // published.
  std::optional<std::uint64_t> publish(const Key& named, const Bytes& serialized) override;
  // Any thread: the backlog is past half its bound while the bus is there
  // (it stalls, or is slower than the relay); the readers whose packets feed
  // it wait until it is back under a quarter. While the bus is away, or has
  // taken nothing back for some 14 s, they read on: chat within the instance
  // goes on, and what does not fit is owned up to.
  bool pressed() const override { return pressed_.load(std::memory_order_relaxed); }
  const InstanceId& id() const { return id_; }
  // For the operator, any thread (it takes the publishers' lock a moment):
  // whether the bus is connected, what waits for it, the packets dropped
  // from a full backlog since the start, and how long other instances'
  // records took from the bus's store to here.
  struct Report {
    bool up = false;
    std::size_t backlogBytes = 0;
    std::uint64_t dropped = 0;
    Durations lag;
  };
  Report report() const;
  // The largest serialized packet the bus carries in one record.
  std::size_t maxPacketSize() const;
  // Any thread: the bus's counts, and its backlog now.
  Stats stats() const;

 private:
  struct Outgoing {
    std::uint64_t seq;
    std::shared_ptr<const Bytes> record;
    bool back = false;  // read back from the stream
  };
  // What the keeper found the stream to be.
  enum class Stream { Unreachable, Kept, Lost };

  Bus(const Settings& settings, const unsigned char* serverSecret, Handlers handlers);
  bool start(std::string& error);
  // Finds the stream or makes it; last is its last sequence.
  bool makeStream(std::uint64_t& last, std::string& error);
  void publisher();
  // Takes what waits into records and seals them; publisher, mutex_ held
  // on entry and on return.
  void sealPending(std::unique_lock<std::mutex>& lock, std::vector<std::shared_ptr<const Bytes>>& sending);
  // A record of this instance read back from the stream; true if it was
  // one still waiting to come back. A delivery thread.
  bool cameBack(std::uint64_t seq, const unsigned char* data, std::size_t size);
  void resendSoon();
  // mutex_ held: whether the backlog's pressure turned now.
  bool pressureTurned();
  // Subscribes to a new consumer of the stream from `from` on, then lets go
  // of the one before. Start, then the keeper.
  bool openConsumer(std::uint64_t generation, std::uint64_t from, std::string& error);
  // Whether the stream is the one read so far, made again if missing; from
  // is where to read on. The keeper.
  Stream checkStream(std::uint64_t& from, std::string& why);
  void keeper();
  void renewConsumer(std::unique_lock<std::mutex>& lock, bool& failing);
  void onRecord(__natsSubscription* from, __natsMsg* msg);
  void onControl(__natsSubscription* from, __natsMsg* msg);
  void onConnection(bool up);
  // Under consumerMutex_: hands on what is due, and says why packets were lost.
  void handOn(const std::optional<std::string>& why, std::vector<BusRecord>& ready);
  // Under consumerMutex_: a record not believed, counted and said at most
  // once a minute.
  void refused(bool replayed, std::chrono::steady_clock::time_point now);
  void noteRefusals(std::chrono::steady_clock::time_point now);
  // Counts a library thread that calls back until it says it has finished.
  bool watchEnd(__natsSubscription* sub);
  void finished();

  const Settings settings_;
  const Handlers handlers_;
  const BusKey key_;
  InstanceId id_{};
  std::string subject_;
  std::string deliverPrefix_;
  __natsConnection* conn_ = nullptr;
  __jsCtx* js_ = nullptr;
  // The most one record's body holds: set by start(), before any publishing.
  std::size_t batchBytes_ = 0;

  // The bus's counts: each written under one lock (the publishing ones
  // under mutex_, the refusals under consumerMutex_), read by any thread.
  Counters counters_;

  // Shared by the publishing threads, the publisher, the delivery threads
  // (for what came back) and the connection callback.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<RecordBody> pending_;  // record bodies being filled, oldest first
  std::size_t pendingBytes_ = 0;
  std::size_t sealingBytes_ = 0;   // taken from pending_, not yet in sent_
  std::deque<Outgoing> sent_;      // by sequence, oldest first, until back
  std::size_t sentBytes_ = 0;
  std::uint64_t nextSeq_ = 0;        // of records
  std::uint64_t nextPacketSeq_ = 0;  // of packets
  bool connected_ = true;
  bool resendNow_ = false;
  std::chrono::steady_clock::time_point progressAt_{};  // the oldest sent last came back or was sent
  std::chrono::steady_clock::duration resendWait_{};
  bool dropping_ = false;
  bool dropNoted_ = false;
  std::uint64_t dropped_ = 0;
  std::size_t notBack_ = 0;  // records sent and not yet back
  std::chrono::steady_clock::time_point pendingSince_{};  // the oldest packet of pending_ came
  bool gathering_ = false;  // ... while a record was on its way: more are gathered
  std::atomic<bool> pressed_{false};  // written under mutex_
  bool pressureNoted_ = true;
  bool idle_ = false;     // the publisher waits for work
  bool holding_ = false;  // ... and gathers packets into a record not full
  bool stopping_ = false;
  int unfinished_ = 0;  // library callbacks still to finish at the end

  // The consumer: the current one's subscription and name, the count of
  // consumers made and the stream's birth belong to the keeper thread (and
  // to start() before it).
  __natsSubscription* recordSub_ = nullptr;
  std::string consumerName_;
  std::uint64_t generation_ = 0;
  std::int64_t streamCreated_ = 0;
  // Shared by the keeper, the delivery threads and the connection callback.
  std::mutex consumerMutex_;
  std::condition_variable consumerWake_;
  // The subscription of the consumer being made or in use; what others
  // deliver is ignored.
  const __natsSubscription* current_ = nullptr;
  std::uint64_t delivered_ = 0;  // its count of deliveries, as of the last one here
  std::uint64_t lastStreamSeq_ = 0;
  OriginOrder order_;
  // Written under consumerMutex_ alone, read by report() without it.
  DurationCounters lag_;
  Bytes opened_;  // scratch for opening records
  std::uint64_t refused_ = 0;
  std::uint64_t replayed_ = 0;
  std::chrono::steady_clock::time_point refusalNoteAt_{};
  bool renew_ = false;
  bool busUp_ = true;
  bool keeperStopping_ = false;
  std::chrono::steady_clock::time_point heardAt_{};
  std::chrono::steady_clock::time_point retryAt_{};

  std::thread publisher_;
  std::thread keeper_;
};

}  // namespace sotto
