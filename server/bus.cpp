#include "server/bus.hpp"

#include <nats/nats.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "proto/packet.hpp"
#include "server/url_list.hpp"

namespace sotto {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kStream = "SOTTO";
constexpr const char* kSubjects = "sotto.chat.>";
// A record not back from the stream this long after it was sent, or after
// the one before it came back, is sent again; each time it is late again
// the wait doubles, up to the longest.
constexpr auto kBackWait = std::chrono::seconds(2);
constexpr auto kLongestBackWait = std::chrono::seconds(32);
// Late this often in a row (2 + 4 + 8 s), the bus no longer paces the
// readers: it is taken for away.
constexpr auto kLongestTakingWait = std::chrono::seconds(8);
// Sent and not yet back: what a resend may send again at once.
constexpr std::size_t kWindowBytes = 8u * 1024 * 1024;
// Packets are put into one record until it holds about this much, or the
// most the bus takes in one message, if less: a record it refuses would be
// sent again for ever.
constexpr std::size_t kBatchBytes = 64 * 1024;
// Packets that come while a record is on its way and not yet back are
// gathered for this long, or until a record is full, before they are sent:
// under load many travel in one record; a packet that comes to an idle bus
// goes at once.
constexpr auto kHold = std::chrono::milliseconds(2);
// After JetStream refused a consumer or the stream (not ready yet after a
// restart, say).
constexpr auto kRetryPause = std::chrono::milliseconds(200);
constexpr std::int64_t kSecond = 1'000'000'000;
// The consumer's idle heartbeat, and how long without a word from it, while
// connected, before it is taken for gone.
constexpr std::int64_t kHeartbeat = kSecond;
constexpr auto kSilence = std::chrono::seconds(3);
// Records that are not believed are said at most this often.
constexpr auto kRefusalNoteEvery = std::chrono::minutes(1);

std::string failure(const std::string& what, natsStatus status) {
  return what + ": " + natsStatus_GetText(status) + " (" + nats_GetLastError(nullptr) + ")";
}

std::uint64_t nowMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

}  // namespace

Bus::Bus(const Settings& settings, const unsigned char* serverSecret, Handlers handlers)
    : settings_(settings), handlers_(std::move(handlers)), key_(serverSecret), order_(nowMillis()) {
  randombytes_buf(id_.data(), id_.size());
  subject_ = "sotto.chat." + toHex(id_.data(), id_.size());
  deliverPrefix_ = "_sotto.deliver." + toHex(id_.data(), id_.size()) + ".";
  resendWait_ = kBackWait;
}

std::unique_ptr<Bus> Bus::connect(const Settings& settings, const unsigned char* serverSecret, Handlers handlers,
                                  std::string& error) {
  std::unique_ptr<Bus> bus(new Bus(settings, serverSecret, std::move(handlers)));
  if (!bus->start(error)) return nullptr;
  return bus;
}

bool Bus::start(std::string& error) {
  natsOptions* options = nullptr;
  std::vector<const char*> urls;
  for (const auto& url : settings_.urls) urls.push_back(url.c_str());
  natsStatus s = natsOptions_Create(&options);
  if (s == NATS_OK) s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
  if (s == NATS_OK && !applyBusAccess(options, settings_.access, settings_.urls, error)) {
    natsOptions_Destroy(options);
    return false;
  }
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
  batchBytes_ = std::min(kBatchBytes, maxPacketSize() + BusRecord::kBodyHeadSize + BusRecord::kEntryOverhead);
  if (!makeStream(lastStreamSeq_, error)) return false;
  if (!openConsumer(generation_, lastStreamSeq_ + 1, error)) return false;
  heardAt_ = Clock::now();
  publisher_ = std::thread([this] { publisher(); });
  keeper_ = std::thread([this] { keeper(); });
  return true;
}

bool Bus::makeStream(std::uint64_t& last, std::string& error) {
  // Made by the first instance; the others find it.
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, js_, kStream, nullptr, &code);
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
    s = js_AddStream(&info, js_, &config, nullptr, &code);
    if (s != NATS_OK && code == JSStreamNameExistErr) s = js_GetStreamInfo(&info, js_, kStream, nullptr, &code);
  }
  if (s != NATS_OK) {
    error = failure("the bus's stream " + std::string(kStream) + " cannot be made", s);
    return false;
  }
  last = info->State.LastSeq;
  streamCreated_ = info->Created;
  jsStreamInfo_Destroy(info);
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
  jsCtx_Destroy(js_);
  natsConnection_Destroy(conn_);
}

std::size_t Bus::maxPacketSize() const {
  constexpr std::size_t overhead =
      BusRecord::kHeaderSize + BusRecord::kBodyHeadSize + BusRecord::kEntryOverhead + BusRecord::kTagSize;
  const std::int64_t room = natsConnection_GetMaxPayload(conn_) - static_cast<std::int64_t>(overhead);
  return room > 0 ? static_cast<std::size_t>(room) : 0;
}

Stats Bus::stats() const {
  Stats stats = counters_.read();
  const std::lock_guard lock(mutex_);
  stats.values[static_cast<std::size_t>(Count::busBacklogBytes)] = pendingBytes_ + sealingBytes_ + sentBytes_;
  return stats;
}

std::optional<std::uint64_t> Bus::publish(const Key& named, const Bytes& serialized) {
  // The relay hands on nothing else; a record holds nothing else.
  if (serialized.size() < Packet::headerSize || (serialized[0] != Broadcast && serialized[0] != Direct)) return {};
  if (serialized[0] == Direct && handlers_.mayHold && !handlers_.mayHold(named)) return {};
  // At most: a run of one sender's packets takes less.
  const std::size_t entry = BusRecord::kEntryOverhead + serialized.size();
  bool wake = false;
  std::uint64_t seq;
  {
    const std::lock_guard lock(mutex_);
    seq = nextPacketSeq_++;
    if (!dropping_ && pendingBytes_ + sealingBytes_ + sentBytes_ + entry > settings_.maxBacklogBytes) {
      dropping_ = true;
      dropNoted_ = false;
      wake = true;
    }
    if (dropping_) {
      ++dropped_;
      counters_.add(Count::busPacketsDropped);
    } else {
      if (pending_.empty()) {
        pendingSince_ = Clock::now();
        gathering_ = notBack_ > 0;
      }
      if (pending_.empty() || pending_.back().bytes.size() + entry > batchBytes_) {
        pending_.emplace_back();
        pendingBytes_ += BusRecord::kBodyHeadSize;
      }
      pendingBytes_ += appendPacket(pending_.back(), seq, named, serialized);
    }
    wake |= pressureTurned();
    // Woken once, however many come before it looks; while it gathers
    // packets, only once a record is full.
    wake = (wake || (!dropping_ && (!holding_ || pending_.size() > 1))) && std::exchange(idle_, false);
  }
  if (wake) wake_.notify_one();
  return seq;
}

bool Bus::pressureTurned() {
  const std::size_t held = pendingBytes_ + sealingBytes_ + sentBytes_;
  const bool pressed = pressed_.load(std::memory_order_relaxed);
  // Two marks, so that readers do not flap between waiting and reading. A
  // bus that has taken nothing back for a while is as good as away.
  const bool taking = connected_ && resendWait_ <= kLongestTakingWait;
  const bool now = taking && held > settings_.maxBacklogBytes / (pressed ? 4 : 2);
  if (now == pressed) return false;
  pressed_.store(now, std::memory_order_relaxed);
  pressureNoted_ = false;
  return true;
}

void Bus::sealPending(std::unique_lock<std::mutex>& lock, std::vector<std::shared_ptr<const Bytes>>& sending) {
  std::vector<std::pair<std::uint64_t, Bytes>> bodies;
  std::size_t taking = 0;
  while (!pending_.empty() && sentBytes_ + taking < kWindowBytes) {
    taking += pending_.front().bytes.size();
    bodies.emplace_back(nextSeq_++, std::move(pending_.front().bytes));
    pending_.pop_front();
  }
  if (bodies.empty()) return;
  pendingBytes_ -= taking;
  sealingBytes_ += taking;
  lock.unlock();
  const std::uint64_t madeAt = nowMillis();
  std::vector<std::shared_ptr<const Bytes>> records;
  for (auto& [seq, body] : bodies)
    records.push_back(std::make_shared<const Bytes>(key_.seal(id_, seq, BusRecord::Packets, madeAt, body)));
  lock.lock();
  sealingBytes_ -= taking;
  if (sent_.empty()) progressAt_ = Clock::now();
  notBack_ += records.size();
  counters_.add(Count::busRecordsPublished, records.size());

  for (std::size_t i = 0; i < records.size(); ++i) {
    sent_.push_back({bodies[i].first, records[i]});
    sentBytes_ += records[i]->size();
    sending.push_back(records[i]);
  }
}

void Bus::publisher() {
  std::vector<std::shared_ptr<const Bytes>> sending;
  // Said once the lock is let go: publishing threads never wait on the log.
  std::vector<std::string> notes;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!notes.empty()) {
      lock.unlock();
      for (const auto& note : notes) handlers_.note(note);
      notes.clear();
      lock.lock();
    }
    if (!pressureNoted_) {
      pressureNoted_ = true;
      notes.push_back(pressed_.load(std::memory_order_relaxed)
                          ? "the backlog holds " + std::to_string(pendingBytes_ + sentBytes_) +
                                " bytes, past half its bound: the clients here are not read until it drains"
                          : std::string("the backlog has drained: the clients here are read again"));
    }
    if (dropping_ && !dropNoted_) {
      dropNoted_ = true;
      notes.push_back("the backlog is full (" + std::to_string(pendingBytes_ + sentBytes_) +
                     " bytes not yet back from the bus); packets for the other instances are dropped until the "
                     "bus takes them again");
    }
    if (connected_ && dropping_ && pending_.empty() && sent_.empty()) {
      // Everything before the drop is on the bus: own up to what was dropped.
      notes.push_back("back; " + std::to_string(dropped_) +
                     " packets that did not fit in the backlog are reported lost to the other instances");
      Bytes body = lostBody(dropped_);
      const std::uint64_t seq = nextSeq_++;
      auto record = std::make_shared<const Bytes>(key_.seal(id_, seq, BusRecord::Lost, nowMillis(), body));
      progressAt_ = Clock::now();
      ++notBack_;
      counters_.add(Count::busRecordsPublished);
      sent_.push_back({seq, record});
      sentBytes_ += record->size();
      sending.push_back(record);
      dropping_ = false;
      dropped_ = 0;
    }
    const auto now = Clock::now();
    if (connected_ && !sent_.empty() && (resendNow_ || now >= progressAt_ + resendWait_)) {
      const bool late = !resendNow_;
      // Said once, as records first come back late: the bus may be slow or
      // have lost them.
      const bool first = late && resendWait_ == kBackWait;
      // Late again: wait longer before the next time, so that a bus that
      // stores nothing is not sent the same records over and over.
      if (late) resendWait_ = std::min<Clock::duration>(resendWait_ * 2, kLongestBackWait);
      pressureTurned();
      resendNow_ = false;
      progressAt_ = now;
      const std::size_t before = sending.size();
      for (const Outgoing& out : sent_)
        if (!out.back) sending.push_back(out.record);
      counters_.add(Count::busRecordsResent, sending.size() - before);
      if (first)
        notes.push_back(std::to_string(sending.size() - before) + " records not back from the bus within " +
                        std::to_string(std::chrono::seconds(kBackWait).count()) +
                        " s are sent again; while they stay late the wait doubles, up to " +
                        std::to_string(std::chrono::seconds(kLongestBackWait).count()) + " s");
    }
    const bool hold = gathering_ && pending_.size() == 1 && now < pendingSince_ + kHold;
    if (connected_ && !hold) sealPending(lock, sending);
    if (sending.empty()) {
      if (!notes.empty()) continue;
      auto until = Clock::time_point::max();
      if (connected_ && !sent_.empty()) until = progressAt_ + resendWait_;
      if (connected_ && hold) until = std::min(until, pendingSince_ + kHold);
      idle_ = true;
      holding_ = connected_ && hold;
      if (until == Clock::time_point::max())
        wake_.wait(lock);
      else
        wake_.wait_until(lock, until);
      idle_ = holding_ = false;
      continue;
    }
    lock.unlock();
    for (const auto& record : sending)
      if (natsConnection_Publish(conn_, subject_.c_str(), record->data(), static_cast<int>(record->size())) != NATS_OK)
        break;
    sending.clear();
    lock.lock();
  }
}

bool Bus::cameBack(std::uint64_t seq, const unsigned char* data, std::size_t size) {
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    if (sent_.empty() || seq < sent_.front().seq || seq - sent_.front().seq >= sent_.size()) return false;
    Outgoing& out = sent_[seq - sent_.front().seq];
    if (out.back || out.record->size() != size || std::memcmp(out.record->data(), data, size) != 0) return false;
    out.back = true;
    --notBack_;
    // The bus is storing: a consumer that lags does not make it resend.
    progressAt_ = Clock::now();
    resendWait_ = kBackWait;
    const bool windowFull = sentBytes_ >= kWindowBytes;
    while (!sent_.empty() && sent_.front().back) {
      sentBytes_ -= sent_.front().record->size();
      sent_.pop_front();
    }
    // Only what the publisher waits for: there is room to send, or
    // everything is back before it owns up to a drop.
    // A wake-up per record would cost every relayed packet a switch of threads.
    const bool turned = pressureTurned();
    wake = ((windowFull && sentBytes_ < kWindowBytes && !pending_.empty()) || (dropping_ && sent_.empty()) || turned) &&
           std::exchange(idle_, false);
  }
  if (wake) wake_.notify_one();
  return true;
}

void Bus::resendSoon() {
  {
    const std::lock_guard lock(mutex_);
    resendNow_ = true;
    resendWait_ = kBackWait;
  }
  wake_.notify_one();
}

Bus::Report Bus::report() const {
  const std::lock_guard lock(mutex_);
  Report report{connected_, pendingBytes_ + sealingBytes_ + sentBytes_,
                counters_.read()[Count::busPacketsDropped], {}};
  report.lag = lag_.read();
  return report;
}

bool Bus::openConsumer(std::uint64_t generation, std::uint64_t from, std::string& error) {
  // Each consumer delivers to a subject and subscription of its own, so that
  // nothing an earlier one still sends is taken for this one's; the subject
  // cannot be guessed, so that a party on the bus that does not see its
  // traffic cannot send there what looks like the consumer's word.
  unsigned char unguessable[16];
  randombytes_buf(unguessable, sizeof unguessable);
  const std::string subject =
      deliverPrefix_ + std::to_string(generation) + "." + toHex(unguessable, sizeof unguessable);
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

Bus::Stream Bus::checkStream(std::uint64_t& from, std::string& why) {
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, js_, kStream, nullptr, &code);
  if (s != NATS_OK && code == JSStreamNotFoundErr) {
    std::string error;
    std::uint64_t last = 0;
    if (!makeStream(last, error)) {
      why = error;
      return Stream::Unreachable;
    }
    handlers_.note("the bus's stream " + std::string(kStream) + " was missing; it is made again");
    why = "the bus's stream was missing and is made anew: records not yet read here may be lost";
    from = 1;
    return Stream::Lost;
  }
  if (s != NATS_OK) {
    why = failure("cannot look at the bus's stream", s);
    return Stream::Unreachable;
  }
  const std::int64_t created = info->Created;
  const std::uint64_t first = std::max<std::uint64_t>(info->State.FirstSeq, 1);
  const std::uint64_t last = info->State.LastSeq;
  jsStreamInfo_Destroy(info);
  if (created != streamCreated_) {
    streamCreated_ = created;
    why = "the bus's stream was made anew: records not yet read here may be lost";
  } else if (last + 1 < from) {
    why = "the bus's stream lost records not yet read here (it ends at " + std::to_string(last) + ", before " +
          std::to_string(from) + ")";
  } else {
    return Stream::Kept;
  }
  from = first;
  return Stream::Lost;
}

void Bus::keeper() {
  bool failing = false;
  std::unique_lock lock(consumerMutex_);
  while (!keeperStopping_) {
    const auto now = Clock::now();
    if (busUp_) {
      std::vector<BusRecord> ready;
      const auto why = order_.expire(ready, now);
      handOn(why, ready);
    }
    if (refused_ + replayed_ > 0 && now >= refusalNoteAt_) noteRefusals(now);
    if (busUp_ && now - heardAt_ > kSilence) renew_ = true;
    if (renew_ && busUp_ && now >= retryAt_) {
      renewConsumer(lock, failing);
      continue;
    }
    // Asleep until something is due: an idle instance, or one whose bus is
    // away, costs nothing.
    auto until = Clock::time_point::max();
    if (busUp_) {
      until = std::min(until, renew_ ? retryAt_ : heardAt_ + kSilence);
      if (const auto expiry = order_.nextExpiry()) until = std::min(until, *expiry);
    }
    if (refused_ + replayed_ > 0) until = std::min(until, refusalNoteAt_);
    if (until == Clock::time_point::max())
      consumerWake_.wait(lock);
    else
      consumerWake_.wait_until(lock, until);
  }
}

void Bus::renewConsumer(std::unique_lock<std::mutex>& lock, bool& failing) {
  const std::uint64_t generation = ++generation_;
  std::uint64_t from = lastStreamSeq_ + 1;
  current_ = nullptr;
  delivered_ = 0;
  renew_ = false;
  lock.unlock();
  std::string why;
  const Stream stream = checkStream(from, why);
  if (stream == Stream::Lost) {
    lock.lock();
    // Whatever each instance sends next is taken; what may be missing
    // before it is owned up to here, once.
    order_.resync();
    lastStreamSeq_ = from - 1;
    std::vector<BusRecord> none;
    handOn(why, none);
    lock.unlock();
    resendSoon();
  }
  std::string error = why;
  const bool opened = stream != Stream::Unreachable && openConsumer(generation, from, error);
  if (opened != !failing) handlers_.note(opened ? "consuming the stream again" : error + "; trying again");
  failing = !opened;
  lock.lock();
  heardAt_ = Clock::now();
  if (!opened) {
    renew_ = true;
    retryAt_ = heardAt_ + kRetryPause;
  }
}

void Bus::handOn(const std::optional<std::string>& why, std::vector<BusRecord>& ready) {
  if (why) handlers_.lost(*why);
  for (const BusRecord& record : ready)
    for (const BusRecord::Packet& packet : record.packets)
      handlers_.deliver(MessageId{record.origin, packet.seq}, packet.named, packet.serialized);
}

void Bus::refused(bool replayed, Clock::time_point now) {
  ++(replayed ? replayed_ : refused_);
  counters_.add(replayed ? Count::busRecordsReplayed : Count::busRecordsRefused);
  if (now >= refusalNoteAt_) noteRefusals(now);
}

void Bus::noteRefusals(Clock::time_point now) {
  std::string what = "dropped";
  if (refused_ > 0) {
    what += ' ';
    what += std::to_string(refused_);
    what += " records that do not open with this cluster's key (forged, or from an instance of another version)";
  }
  if (replayed_ > 0) {
    what += refused_ > 0 ? " and " : " ";
    what += std::to_string(replayed_);
    what += " old records played again";
  }
  handlers_.note(what);
  refused_ = replayed_ = 0;
  refusalNoteAt_ = now + kRefusalNoteEvery;
  consumerWake_.notify_one();
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
  const auto* data = reinterpret_cast<const unsigned char*>(natsMsg_GetData(msg));
  const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
  // One record at a time, whichever consumer's thread it came on.
  const std::lock_guard lock(consumerMutex_);
  if (from != current_ || renew_) {
    natsMsg_Destroy(msg);
    return;
  }
  const auto now = Clock::now();
  // Only a record sealed here, and new, vouches for where it says it stands
  // in the stream: anyone on the bus can send to this subscription.
  bool believed = false;
  std::optional<BusRecord> record;
  const auto head = peekRecord(data, size);
  if (head && head->first == id_) {
    believed = cameBack(head->second, data, size);
  } else if ((record = key_.open(data, size, opened_))) {
    const auto arrival = order_.classify(*record);
    believed = arrival == OriginOrder::Arrival::New;
    if (arrival == OriginOrder::Arrival::Stale) refused(true, now);
  } else {
    refused(false, now);
  }
  natsMsg_Destroy(msg);
  const bool inStep = delivered == delivered_ + 1;
  if (!believed) {
    // Kept in step with what the consumer really sent, not led away by it.
    if (inStep) {
      delivered_ = delivered;
      heardAt_ = now;
      if (streamSeq == lastStreamSeq_ + 1) lastStreamSeq_ = streamSeq;
    }
    return;
  }
  // The consumer numbers its deliveries: any other step means some never
  // got here (dropped as too many pending, say). Read again from here.
  if (!inStep) {
    renew_ = true;
    consumerWake_.notify_one();
    return;
  }
  delivered_ = delivered;
  heardAt_ = now;
  std::optional<std::string> why;
  // The consumer reads every record of the stream, so a jump means records
  // it had not read yet are gone (aged out).
  if (streamSeq > lastStreamSeq_ + 1)
    why = "the bus no longer held " + std::to_string(streamSeq - lastStreamSeq_ - 1) + " records not read yet";
  lastStreamSeq_ = streamSeq;
  std::vector<BusRecord> ready;
  if (record) {
    // Across machines this holds their clocks' difference too; a clock
    // behind the bus's counts as no lag.
    if (storedAt > 0)
      lag_.observe(std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch()) -
                   std::chrono::nanoseconds(storedAt));
    if (auto lost = order_.accept(std::move(*record), ready, now)) why = lost;
  }
  handOn(why, ready);
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
    pressureTurned();
    if (up) {
      // Whatever was in flight when the bus went away may not be stored.
      resendNow_ = true;
      resendWait_ = kBackWait;
    }
  }
  {
    const std::lock_guard lock(consumerMutex_);
    busUp_ = up;
    // What the consumer sent meanwhile is not coming, and a bus that
    // restarted may not have the consumer at all. Records waited for were
    // not due while it was away.
    if (up) {
      renew_ = true;
      order_.waitAfresh(Clock::now());
    }
  }
  consumerWake_.notify_one();
  handlers_.note(up ? "connected again; records not yet back from the bus are sent again"
                    : "connection lost; packets wait in the backlog");
  wake_.notify_one();
}

}  // namespace sotto
