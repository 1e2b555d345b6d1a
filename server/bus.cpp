#include "server/bus.hpp"

#include <nats/nats.h>
#include <sodium.h>

#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "server/url_list.hpp"

namespace sotto {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kStream = "SOTTO";
constexpr const char* kSubjects = "sotto.chat.>";
// Unacknowledged for this long while connected: sent again.
constexpr auto kAckWait = std::chrono::seconds(2);
// After JetStream refused a record or a consumer (not ready yet after a
// restart, say).
constexpr auto kRetryPause = std::chrono::milliseconds(200);
constexpr std::int64_t kSecond = 1'000'000'000;
// The consumer's idle heartbeat, and how long without a word from it, while
// connected, before it is taken for gone.
constexpr std::int64_t kHeartbeat = kSecond;
constexpr auto kSilence = std::chrono::seconds(3);

std::string failure(const std::string& what, natsStatus status) {
  return what + ": " + natsStatus_GetText(status) + " (" + nats_GetLastError(nullptr) + ")";
}

}  // namespace

Bus::Bus(const Settings& settings, Handlers handlers) : settings_(settings), handlers_(std::move(handlers)) {
  randombytes_buf(id_.data(), id_.size());
  subject_ = "sotto.chat." + toHex(id_.data(), id_.size());
  ackPrefix_ = "_sotto.ack." + toHex(id_.data(), id_.size()) + ".";
  deliverPrefix_ = "_sotto.deliver." + toHex(id_.data(), id_.size()) + ".";
}

std::unique_ptr<Bus> Bus::connect(const Settings& settings, Handlers handlers, std::string& error) {
  std::unique_ptr<Bus> bus(new Bus(settings, std::move(handlers)));
  if (!bus->start(error)) return nullptr;
  return bus;
}

bool Bus::start(std::string& error) {
  natsOptions* options = nullptr;
  std::vector<const char*> urls;
  for (const auto& url : settings_.urls) urls.push_back(url.c_str());
  natsStatus s = natsOptions_Create(&options);
  if (s == NATS_OK) s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
  if (s == NATS_OK) s = natsOptions_SetTimeout(options, 2000);
  // Reconnect for as long as it takes; the backlog bridges the outage.
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(options, -1);
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(options, 100);
  // Each record goes out at once rather than at the library flusher's next
  // round, which costs a millisecond on every hop between instances.
  if (s == NATS_OK) s = natsOptions_SetSendAsap(options, true);
  if (s == NATS_OK) s = natsOptions_SetPingInterval(options, 1000);
  if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(options, 3);
  if (s == NATS_OK)
    s = natsOptions_SetDisconnectedCB(
        options, [](natsConnection*, void* self) { static_cast<Bus*>(self)->onConnection(false); }, this);
  if (s == NATS_OK)
    s = natsOptions_SetReconnectedCB(
        options, [](natsConnection*, void* self) { static_cast<Bus*>(self)->onConnection(true); }, this);
  if (s == NATS_OK)
    s = natsOptions_SetClosedCB(
        options, [](natsConnection*, void* self) { static_cast<Bus*>(self)->finished(); }, this);
  if (s == NATS_OK)
    s = natsOptions_SetErrorHandler(
        options,
        [](natsConnection*, natsSubscription*, natsStatus err, void* self) {
          static_cast<Bus*>(self)->handlers_.note(natsStatus_GetText(err));
        },
        this);
  if (s == NATS_OK) s = natsConnection_Connect(&conn_, options);
  natsOptions_Destroy(options);
  if (s != NATS_OK) {
    error = failure("cannot reach the bus at " + joinUrls(settings_.urls), s);
    return false;
  }
  jsOptions jsOpts;
  jsOptions_Init(&jsOpts);
  jsOpts.Wait = 5000;
  s = natsConnection_JetStream(&js_, conn_, &jsOpts);
  if (s != NATS_OK) {
    error = failure("no JetStream on the bus", s);
    return false;
  }

  // The stream: made by the first instance; the others find it.
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  s = js_GetStreamInfo(&info, js_, kStream, nullptr, &code);
  if (s != NATS_OK && code == JSStreamNotFoundErr) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {kSubjects};
    config.Name = kStream;
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Retention = js_LimitsPolicy;
    config.Discard = js_DiscardOld;
    // Long enough for any instance to catch up after an outage it can bridge.
    config.MaxAge = 15 * 60 * kSecond;
    config.MaxBytes = 1ll << 30;
    config.Duplicates = 2 * 60 * kSecond;
    s = js_AddStream(&info, js_, &config, nullptr, &code);
    if (s != NATS_OK && code == JSStreamNameExistErr) s = js_GetStreamInfo(&info, js_, kStream, nullptr, &code);
  }
  if (s != NATS_OK) {
    error = failure("the bus's stream " + std::string(kStream) + " cannot be made", s);
    return false;
  }
  lastStreamSeq_ = info->State.LastSeq;
  jsStreamInfo_Destroy(info);

  s = natsConnection_Subscribe(
      &ackSub_, conn_, (ackPrefix_ + "*").c_str(),
      [](natsConnection*, natsSubscription*, natsMsg* msg, void* self) { static_cast<Bus*>(self)->onAck(msg); }, this);
  if (s == NATS_OK && !watchEnd(ackSub_)) s = NATS_ERR;
  if (s != NATS_OK) {
    error = failure("cannot subscribe on the bus", s);
    return false;
  }
  if (!openConsumer(generation_, lastStreamSeq_ + 1, error)) return false;
  heardAt_ = Clock::now();
  publisher_ = std::thread([this] { publisher(); });
  keeper_ = std::thread([this] { keeper(); });
  return true;
}

bool Bus::watchEnd(natsSubscription* sub) {
  if (natsSubscription_SetOnCompleteCB(sub, [](void* self) { static_cast<Bus*>(self)->finished(); }, this) != NATS_OK)
    return false;
  const std::lock_guard lock(mutex_);
  ++unfinished_;
  return true;
}

void Bus::finished() {
  const std::lock_guard lock(mutex_);
  --unfinished_;
  wake_.notify_all();
}

Bus::~Bus() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  {
    const std::lock_guard lock(consumerMutex_);
    keeperStopping_ = true;
  }
  consumerWake_.notify_all();
  if (publisher_.joinable()) publisher_.join();
  if (keeper_.joinable()) keeper_.join();
  if (conn_) {
    // The library calls back on threads of its own until the connection's
    // closed callback and each subscription's last one have run.
    {
      const std::lock_guard lock(mutex_);
      ++unfinished_;
    }
    natsConnection_Close(conn_);
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return unfinished_ == 0; });
  }
  natsSubscription_Destroy(recordSub_);
  natsSubscription_Destroy(ackSub_);
  jsCtx_Destroy(js_);
  natsConnection_Destroy(conn_);
}

std::size_t Bus::maxPacketSize() const {
  // The bus counts the message id header in its limit too.
  const std::int64_t room = natsConnection_GetMaxPayload(conn_) - static_cast<std::int64_t>(BusRecord::kPacketOffset) - 128;
  return room > 0 ? static_cast<std::size_t>(room) : 0;
}

std::uint64_t Bus::publish(const Key& named, const Bytes& serialized) {
  Bytes record = encodePacketRecord(id_, named, serialized);
  std::uint64_t seq;
  {
    const std::lock_guard lock(mutex_);
    seq = nextSeq_++;
    if (!dropping_ && backlogBytes_ + record.size() > settings_.maxBacklogBytes) {
      dropping_ = true;
      lostFrom_ = seq;
      handlers_.note("the backlog is full (" + std::to_string(backlogBytes_) +
                     " bytes unacknowledged); packets for the other instances are dropped until the bus takes "
                     "them again");
    }
    if (dropping_) {
      ++dropped_;
      return seq;
    }
    stampSeq(record, seq);
    enqueue(std::move(record), seq);
  }
  wake_.notify_one();
  return seq;
}

Bus::Report Bus::report() const {
  const std::lock_guard lock(mutex_);
  Report report{connected_, backlogBytes_, dropped_, {}};
  report.lag = lag_.read();
  return report;
}

void Bus::enqueue(Bytes&& record, std::uint64_t seq) {
  backlogBytes_ += record.size();
  backlog_.push_back({seq, std::make_shared<const Bytes>(std::move(record))});
}

void Bus::publisher() {
  std::vector<Outgoing> sending;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    if (dropping_ && backlog_.empty() && connected_) {
      // Everything before the drop is stored: own up to what was dropped.
      const std::uint64_t seq = nextSeq_++;
      handlers_.note("back; " + std::to_string(seq - lostFrom_) +
                     " packets that did not fit in the backlog are reported lost to the other instances");
      enqueue(encodeLostRecord(id_, seq, lostFrom_), seq);
      dropping_ = false;
    }
    const bool overdue = sentCount_ > 0 && now - oldestSentAt_ > kAckWait;
    if (connected_ && (resend_ || overdue) && now >= resendAfter_) {
      sentCount_ = 0;
      resend_ = false;
    }
    if (!connected_ || sentCount_ == backlog_.size() || now < resendAfter_) {
      wake_.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }
    if (sentCount_ == 0) oldestSentAt_ = now;
    for (std::size_t i = sentCount_; i < backlog_.size(); ++i) sending.push_back(backlog_[i]);
    sentCount_ = backlog_.size();
    lock.unlock();
    bool failed = false;
    for (const Outgoing& out : sending) {
      natsMsg* msg = nullptr;
      const std::string reply = ackPrefix_ + std::to_string(out.seq);
      const std::string msgId = toHex(id_.data(), id_.size()) + "-" + std::to_string(out.seq);
      natsStatus s = natsMsg_Create(&msg, subject_.c_str(), reply.c_str(),
                                    reinterpret_cast<const char*>(out.record->data()),
                                    static_cast<int>(out.record->size()));
      // JetStream stores a record sent again within its window once.
      if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Nats-Msg-Id", msgId.c_str());
      if (s == NATS_OK) s = natsConnection_PublishMsg(conn_, msg);
      natsMsg_Destroy(msg);
      if (s != NATS_OK) {
        failed = true;
        break;
      }
    }
    sending.clear();
    lock.lock();
    if (failed) {
      resend_ = true;
      resendAfter_ = Clock::now() + kRetryPause;
    }
  }
}

void Bus::onAck(natsMsg* msg) {
  const std::string_view subject = natsMsg_GetSubject(msg);
  const std::string_view body(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  const std::uint64_t seq = std::strtoull(subject.data() + ackPrefix_.size(), nullptr, 10);
  // A stored record, or one stored before (a duplicate): both are on the
  // bus. Anything else (no JetStream yet, an error) is sent again.
  const bool stored = body.find("\"seq\"") != std::string_view::npos && body.find("\"error\"") == std::string_view::npos;
  natsMsg_Destroy(msg);
  bool drained = false;
  {
    const std::lock_guard lock(mutex_);
    if (!stored) {
      resend_ = true;
      resendAfter_ = Clock::now() + kRetryPause;
      return;
    }
    if (backlog_.empty() || seq < backlog_.front().seq || seq - backlog_.front().seq >= backlog_.size()) return;
    backlog_[seq - backlog_.front().seq].acked = true;
    while (!backlog_.empty() && backlog_.front().acked) {
      backlogBytes_ -= backlog_.front().record->size();
      backlog_.pop_front();
      if (sentCount_ > 0) --sentCount_;
      oldestSentAt_ = Clock::now();
    }
    drained = backlog_.empty() && dropping_;
  }
  if (drained) wake_.notify_one();
}

bool Bus::openConsumer(std::uint64_t generation, std::uint64_t from, std::string& error) {
  // Each consumer delivers to a subject and subscription of its own, so that
  // nothing an earlier one still sends is taken for this one's.
  const std::string subject = deliverPrefix_ + std::to_string(generation);
  natsSubscription* sub = nullptr;
  natsStatus s = natsConnection_Subscribe(
      &sub, conn_, subject.c_str(),
      [](natsConnection*, natsSubscription* from, natsMsg* msg, void* self) {
        static_cast<Bus*>(self)->onRecord(from, msg);
      },
      this);
  if (s == NATS_OK) {
    const std::lock_guard lock(consumerMutex_);
    current_ = sub;
  }
  if (s == NATS_OK) s = natsSubscription_SetPendingLimits(sub, 1 << 20, 1 << 30);
  if (s == NATS_OK && !watchEnd(sub)) s = NATS_ERR;
  jsConsumerInfo* info = nullptr;
  if (s == NATS_OK) {
    // What the library's ordered consumer makes. That one is not used: when
    // a write fails while it remakes itself (the bus going away again, or
    // closing the connection), the library detaches a null thread and the
    // process dies.
    jsConsumerConfig config;
    jsConsumerConfig_Init(&config);
    config.DeliverSubject = subject.c_str();
    config.DeliverPolicy = js_DeliverByStartSequence;
    config.OptStartSeq = from;
    config.AckPolicy = js_AckNone;
    config.MaxDeliver = 1;
    config.FlowControl = true;
    config.Heartbeat = kHeartbeat;
    config.MemoryStorage = true;
    jsErrCode code = static_cast<jsErrCode>(0);
    s = js_AddConsumer(&info, js_, kStream, &config, nullptr, &code);
  }
  if (s != NATS_OK) {
    error = failure("cannot consume the bus's stream", s);
    if (sub != nullptr) {
      natsSubscription_Unsubscribe(sub);
      natsSubscription_Destroy(sub);
    }
    return false;
  }
  const std::string name = info->Name;
  jsConsumerInfo_Destroy(info);
  natsSubscription* old = std::exchange(recordSub_, sub);
  const std::string oldName = std::exchange(consumerName_, name);
  if (old != nullptr) {
    natsSubscription_Unsubscribe(old);
    natsSubscription_Destroy(old);
    // With nobody listening the bus drops it within seconds anyway.
    jsErrCode code = static_cast<jsErrCode>(0);
    js_DeleteConsumer(js_, kStream, oldName.c_str(), nullptr, &code);
  }
  return true;
}

void Bus::keeper() {
  bool failing = false;
  std::unique_lock lock(consumerMutex_);
  while (!keeperStopping_) {
    const auto now = Clock::now();
    if (busUp_ && now - heardAt_ > kSilence) renew_ = true;
    if (!renew_ || !busUp_ || now < retryAt_) {
      consumerWake_.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }
    const std::uint64_t generation = ++generation_;
    const std::uint64_t from = lastStreamSeq_ + 1;
    current_ = nullptr;
    delivered_ = 0;
    renew_ = false;
    lock.unlock();
    std::string error;
    const bool opened = openConsumer(generation, from, error);
    if (opened != !failing) handlers_.note(opened ? "consuming the stream again" : error + "; trying again");
    failing = !opened;
    lock.lock();
    heardAt_ = Clock::now();
    if (!opened) {
      renew_ = true;
      retryAt_ = heardAt_ + kRetryPause;
    }
  }
}

void Bus::onRecord(natsSubscription* from, natsMsg* msg) {
  const char* status = nullptr;
  if (natsMsgHeader_Get(msg, "Status", &status) == NATS_OK) {
    onControl(from, msg);
    return;
  }
  jsMsgMetaData* meta = nullptr;
  std::uint64_t streamSeq = 0;
  std::uint64_t delivered = 0;
  std::int64_t storedAt = 0;  // by the bus's clock, nanoseconds since the epoch
  if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
    streamSeq = meta->Sequence.Stream;
    delivered = meta->Sequence.Consumer;
    storedAt = meta->Timestamp;
    jsMsgMetaData_Destroy(meta);
  }
  // One record at a time, whichever consumer's thread it came on.
  const std::lock_guard lock(consumerMutex_);
  if (from != current_ || renew_) {
    natsMsg_Destroy(msg);
    return;
  }
  heardAt_ = Clock::now();
  // The consumer numbers its deliveries: any other step means some never
  // got here (dropped as too many pending, say). Read again from here.
  if (delivered != delivered_ + 1) {
    renew_ = true;
    consumerWake_.notify_one();
    natsMsg_Destroy(msg);
    return;
  }
  delivered_ = delivered;
  std::string why;
  // The consumer reads every record of the stream, so a jump means records
  // it had not read yet are gone (aged out, or the store was lost). A step
  // back is a record read again, or a store that lost its tail and numbers
  // anew: the records themselves say which, by their origins' sequences.
  if (streamSeq > lastStreamSeq_ + 1)
    why = "the bus no longer held " + std::to_string(streamSeq - lastStreamSeq_ - 1) + " records not read yet";
  lastStreamSeq_ = streamSeq;
  auto record = decodeRecord(reinterpret_cast<const unsigned char*>(natsMsg_GetData(msg)),
                             static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  natsMsg_Destroy(msg);
  std::vector<BusRecord> ready;
  if (record && record->origin != id_) {
    // Across machines this holds their clocks' difference too; a clock
    // behind the bus's counts as no lag.
    if (storedAt > 0)
      lag_.observe(std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch()) -
                   std::chrono::nanoseconds(storedAt));
    std::string lost = order_.accept(std::move(*record), ready);
    if (!lost.empty()) why = lost;
  }
  if (!why.empty()) handlers_.lost(why);
  for (const BusRecord& r : ready) handlers_.deliver(MessageId{r.origin, r.seq}, r.named, r.packet);
}

void Bus::onControl(natsSubscription* from, natsMsg* msg) {
  // An idle heartbeat says how many the consumer has delivered.
  const char* last = nullptr;
  const bool counted = natsMsgHeader_Get(msg, "Nats-Last-Consumer", &last) == NATS_OK;
  const std::uint64_t sent = counted ? std::strtoull(last, nullptr, 10) : 0;
  {
    const std::lock_guard lock(consumerMutex_);
    if (from != current_) {
      natsMsg_Destroy(msg);
      return;
    }
    heardAt_ = Clock::now();
    if (counted && sent != delivered_) {
      renew_ = true;
      consumerWake_.notify_one();
    }
  }
  // A flow-control request, or a heartbeat saying deliveries are held up for
  // want of an answer: deliveries go on once it is answered.
  const char* reply = natsMsg_GetReply(msg);
  if (reply != nullptr && *reply != '\0') natsConnection_Publish(conn_, reply, nullptr, 0);
  const char* stalled = nullptr;
  if (natsMsgHeader_Get(msg, "Nats-Consumer-Stalled", &stalled) == NATS_OK)
    natsConnection_Publish(conn_, stalled, nullptr, 0);
  natsMsg_Destroy(msg);
}

void Bus::onConnection(bool up) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return;
    connected_ = up;
    if (up) {
      // Whatever was in flight when the bus went away may not be stored.
      resend_ = true;
      resendAfter_ = Clock::now();
    }
  }
  {
    const std::lock_guard lock(consumerMutex_);
    busUp_ = up;
    // What the consumer sent meanwhile is not coming, and a bus that
    // restarted may not have the consumer at all.
    if (up) renew_ = true;
  }
  consumerWake_.notify_one();
  handlers_.note(up ? "connected again; unacknowledged packets are sent again"
                    : "connection lost; packets wait in the backlog");
  wake_.notify_one();
}

}  // namespace sotto
