#include "server/outbox.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace sotto {

Outbox::Outbox(const Limits& limits, Budget& budget, const unsigned char* key) : limits_(limits), budget_(budget) {
  std::memcpy(key_, key, sizeof key_);
}

Outbox::~Outbox() {
  clear();
  sodium_memzero(key_, sizeof key_);
}

bool Outbox::push(const Relayed& relayed) {
  const std::size_t size = relayed.packet->size();
  const std::size_t queued = quick_.size() + bulk_.size();
  const bool over =
      queued >= limits_.maxQueuedPacketsPerSession || queuedBytes_ + size > limits_.maxQueuedBytesPerSession;
  if (!holding_ && !over) held_ = false;
  const bool overHeld = queued >= 2 * limits_.maxQueuedPacketsPerSession ||
                        queuedBytes_ + size > 2 * limits_.maxQueuedBytesPerSession;
  if (queued > 0 && (held_ ? overHeld : over)) return false;
  queuedBytes_ += size;
  budget_.charge(size);
  const Queued entry{relayed.packet, relayed.id, relayed.numbered};
  if (relayed.lane == Lane::bulk)
    bulk_.push_back({entry, BulkHold(relayed.sender)});
  else
    quick_.push_back(entry);
  return true;
}

void Outbox::release(std::vector<Queued>&& missed) {
  holding_ = false;
  for (Queued& q : missed) {
    missedBytes_ += q.packet->size();
    budget_.charge(q.packet->size());
    missed_.push_back(std::move(q));
  }
}

std::vector<MessageId> Outbox::queuedIds() const {
  std::vector<MessageId> ids;
  for (const Queued& q : quick_)
    if (q.numbered) ids.push_back(q.id);
  for (const Bulk& b : bulk_)
    if (b.queued.numbered) ids.push_back(b.queued.id);
  return ids;
}

void Outbox::acknowledged(std::uint64_t acked) {
  sent_.erase(sent_.begin(),
              std::partition_point(sent_.begin(), sent_.end(), [&](const Sent& s) { return s.end <= acked; }));
  // What a flood left unacknowledged for a while is not kept reserved.
  constexpr std::size_t kKeep = 256;
  if (sent_.capacity() > kKeep && sent_.size() < sent_.capacity() / 4) sent_.shrink_to_fit();
}

std::vector<MessageId> Outbox::missed(std::uint64_t acked) const {
  std::vector<MessageId> ids;
  for (const Sent& s : sent_)
    if (s.end > acked) ids.push_back(s.id);
  for (std::size_t i = missedAt_; i < missed_.size(); ++i)
    if (missed_[i].numbered) ids.push_back(missed_[i].id);
  std::vector<MessageId> queued = queuedIds();
  ids.insert(ids.end(), queued.begin(), queued.end());
  ids.insert(ids.end(), closed_.begin(), closed_.end());
  return ids;
}

bool Outbox::pressed() const {
  return 2 * (quick_.size() + bulk_.size()) >= limits_.maxQueuedPacketsPerSession ||
         2 * queuedBytes_ > limits_.maxQueuedBytesPerSession;
}

void Outbox::seal(const Queued& queued, FrameBatch& batch) {
  const std::size_t size = queued.packet->size();
  sealedBytes_ += size;
  batch.seal(*queued.packet, key_, nonce_);
  if (!tracking_) return;
  stream_ += kFrameLengthSize + size + kFrameTagSize;
  if (queued.numbered) sent_.push_back({queued.id, stream_});
}

std::size_t Outbox::sealQuick(FrameBatch& batch) {
  std::size_t sealed = 0;
  for (; missedAt_ < missed_.size() && !full(batch); ++missedAt_, ++sealed) {
    missedBytes_ -= missed_[missedAt_].packet->size();
    seal(missed_[missedAt_], batch);
  }
  if (missedAt_ > 0 && missedAt_ == missed_.size()) {
    missed_ = {};
    missedAt_ = 0;
  }
  for (; !quick_.empty() && !full(batch); quick_.pop_front(), ++sealed) {
    queuedBytes_ -= quick_.front().packet->size();
    seal(quick_.front(), batch);
  }
  return sealed;
}

std::size_t Outbox::sealBulk(FrameBatch& batch, bool pressed) {
  const std::size_t until = pressed ? limits_.maxSealedPerWrite : batch.bytes().size() + limits_.bulkTurnBytes;
  std::size_t sealed = 0;
  for (; !bulk_.empty() && batch.bytes().size() < until; bulk_.pop_front(), ++sealed) {
    queuedBytes_ -= bulk_.front().queued.packet->size();
    seal(bulk_.front().queued, batch);
  }
  return sealed;
}

void Outbox::written() {
  budget_.discharge(sealedBytes_);
  sealedBytes_ = 0;
}

void Outbox::close() {
  for (std::size_t i = missedAt_; i < missed_.size(); ++i)
    if (missed_[i].numbered) closed_.push_back(missed_[i].id);
  const std::vector<MessageId> queued = queuedIds();
  closed_.insert(closed_.end(), queued.begin(), queued.end());
  missed_ = {};
  missedAt_ = 0;
  quick_.clear();
  // Their senders' later packets need not wait behind them any more.
  bulk_.clear();
  budget_.discharge(queuedBytes_ + sealedBytes_ + missedBytes_);
  queuedBytes_ = 0;
  sealedBytes_ = 0;
  missedBytes_ = 0;
}

void Outbox::clear() {
  close();
  sent_.clear();
  closed_.clear();
}

}  // namespace sotto
