#include "server/outbox.hpp"

#include <sodium.h>

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
  if (queued > 0 &&
      (queued >= limits_.maxQueuedPacketsPerSession || queuedBytes_ + size > limits_.maxQueuedBytesPerSession))
    return false;
  queuedBytes_ += size;
  budget_.charge(size);
  if (relayed.lane == Lane::bulk)
    bulk_.push_back({relayed.packet, BulkHold(relayed.sender)});
  else
    quick_.push_back(relayed.packet);
  return true;
}

bool Outbox::pressed() const {
  return 2 * (quick_.size() + bulk_.size()) >= limits_.maxQueuedPacketsPerSession ||
         2 * queuedBytes_ > limits_.maxQueuedBytesPerSession;
}

void Outbox::seal(const Bytes& packet, FrameBatch& batch) {
  queuedBytes_ -= packet.size();
  sealedBytes_ += packet.size();
  batch.seal(packet, key_, nonce_);
}

std::size_t Outbox::sealQuick(FrameBatch& batch) {
  std::size_t sealed = 0;
  for (; !quick_.empty() && !full(batch); quick_.pop_front(), ++sealed) seal(*quick_.front(), batch);
  return sealed;
}

std::size_t Outbox::sealBulk(FrameBatch& batch, bool pressed) {
  const std::size_t until = pressed ? limits_.maxSealedPerWrite : batch.bytes().size() + limits_.bulkTurnBytes;
  std::size_t sealed = 0;
  for (; !bulk_.empty() && batch.bytes().size() < until; bulk_.pop_front(), ++sealed) seal(*bulk_.front().packet, batch);
  return sealed;
}

void Outbox::written() {
  budget_.discharge(sealedBytes_);
  sealedBytes_ = 0;
}

void Outbox::clear() {
  quick_.clear();
  // Their senders' later packets need not wait behind them any more.
  bulk_.clear();
  budget_.discharge(queuedBytes_ + sealedBytes_);
  queuedBytes_ = 0;
  sealedBytes_ = 0;
}

}  // namespace sotto
