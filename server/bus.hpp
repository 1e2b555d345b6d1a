// The bus that makes several sotto-server instances one chat: NATS with
// JetStream. Each instance publishes every packet it relays, once, to the
// stream SOTTO (subject sotto.chat.<instance>), and consumes the stream in
// order from the moment it joined, handing the packets of the other
// instances to its own sessions.
//
// Nothing is lost silently:
// - Publishing never waits: packets go into a backlog that a thread of the
//   bus's own sends in relay order and keeps until JetStream acknowledges
//   each one. When the bus comes back, whatever was not acknowledged is sent
//   again, under the same message id, so JetStream stores it once.
// - Every record carries its instance and a sequence per instance, and the
//   consumer takes each instance's records in that order, once.
// - The consumer is the bus's push consumer, kept here: made again from the
//   record after the last one read whenever the bus comes back, a delivery
//   went missing, or it falls silent.
// - When the backlog outgrows its bound during an outage, further packets
//   are dropped, and once the bus is back a record owns up to them, so that
//   the other instances close the sessions that missed them. A consumer that
//   finds the stream no longer holds what it had not read yet does the same.
//
//   std::string error;
//   auto bus = Bus::connect({"nats://10.0.0.1:4222"}, handlers, error);
//   bus->publish(named, serialized);   // any thread
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/bus_record.hpp"
#include "server/histogram.hpp"
#include "server/onward.hpp"

struct __natsConnection;
struct __natsSubscription;
struct __jsCtx;
struct __natsMsg;

namespace sotto {

class Bus final : public Onward {
 public:
  struct Settings {
    std::vector<std::string> urls;
    // Published and not yet acknowledged: what an outage can be bridged with.
    std::size_t maxBacklogBytes = 64u * 1024 * 1024;
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
  };

  // Connects, makes the stream if it is missing and starts consuming at its
  // end. Nothing and the reason if the bus cannot be reached.
  static std::unique_ptr<Bus> connect(const Settings& settings, Handlers handlers, std::string& error);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Any thread; never waits on the bus. Calls from one thread are published
  // in the order they were made. Returns the record's seq.
  std::uint64_t publish(const Key& named, const Bytes& serialized) override;
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

 private:
  struct Outgoing {
    std::uint64_t seq;
    std::shared_ptr<const Bytes> record;
    bool acked = false;
  };

  Bus(const Settings& settings, Handlers handlers);
  bool start(std::string& error);
  void publisher();
  void enqueue(Bytes&& record, std::uint64_t seq);  // under mutex_
  void onAck(__natsMsg* msg);
  // Subscribes to a new consumer of the stream from `from` on, then lets go
  // of the one before. Start, then the keeper.
  bool openConsumer(std::uint64_t generation, std::uint64_t from, std::string& error);
  void keeper();
  void onRecord(__natsSubscription* from, __natsMsg* msg);
  void onControl(__natsSubscription* from, __natsMsg* msg);
  void onConnection(bool up);
  // Counts a library thread that calls back until it says it has finished.
  bool watchEnd(__natsSubscription* sub);
  void finished();

  const Settings settings_;
  const Handlers handlers_;
  InstanceId id_{};
  std::string subject_;
  std::string ackPrefix_;
  std::string deliverPrefix_;
  __natsConnection* conn_ = nullptr;
  __jsCtx* js_ = nullptr;
  __natsSubscription* ackSub_ = nullptr;

  // Shared by the publishing threads, the publisher and the ack handler.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Outgoing> backlog_;  // by sequence, oldest first
  std::size_t sentCount_ = 0;     // the leading part of backlog_ already sent
  std::size_t backlogBytes_ = 0;
  std::uint64_t nextSeq_ = 0;
  bool connected_ = true;
  bool resend_ = false;
  std::chrono::steady_clock::time_point resendAfter_{};
  std::chrono::steady_clock::time_point oldestSentAt_{};
  bool dropping_ = false;
  std::uint64_t lostFrom_ = 0;
  std::uint64_t dropped_ = 0;
  bool stopping_ = false;
  int unfinished_ = 0;  // library callbacks still to finish at the end

  // The consumer: the current one's subscription and name, and the count of
  // consumers made, belong to the keeper thread (and to start() before it).
  __natsSubscription* recordSub_ = nullptr;
  std::string consumerName_;
  std::uint64_t generation_ = 0;
  // Shared by the keeper, the delivery threads and the connection callback.
  std::mutex consumerMutex_;
  std::condition_variable consumerWake_;
  // The subscription of the consumer being made or in use; what others
  // deliver is ignored.
  const __natsSubscription* current_ = nullptr;
  std::uint64_t delivered_ = 0;   // its count of deliveries, as of the last one here
  std::uint64_t lastStreamSeq_ = 0;
  OriginOrder order_;
  // Written under consumerMutex_ alone, read by report() without it.
  DurationCounters lag_;
  bool renew_ = false;
  bool busUp_ = true;
  bool keeperStopping_ = false;
  std::chrono::steady_clock::time_point heardAt_{};
  std::chrono::steady_clock::time_point retryAt_{};

  std::thread publisher_;
  std::thread keeper_;
};

}  // namespace sotto
