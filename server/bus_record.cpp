#include "server/bus_record.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "proto/packet.hpp"

namespace sotto {

namespace {

static_assert(BusRecord::kHeaderSize == 1 + 16 + 8);
static_assert(BusRecord::kHeaderSize - 1 == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(BusRecord::kTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(BusRecord::kEntryOverhead == 1 + 8 + kKeySize - 1);
constexpr unsigned char kSameSender = 0x80;
constexpr unsigned char kNextSeq = 0x40;

// Parses an opened body into record; false if it is malformed.
bool parseBody(const unsigned char* body, std::size_t size, BusRecord& record) {
  if (size < BusRecord::kBodyHeadSize) return false;
  record.madeAt = getU64be(body);
  const unsigned char kind = body[8];
  std::size_t at = BusRecord::kBodyHeadSize;
  if (kind == BusRecord::Lost) {
    if (size != at + 8) return false;
    record.kind = BusRecord::Lost;
    record.dropped = getU64be(body + at);
    return true;
  }
  if (kind != BusRecord::Packets || size == at) return false;
  const unsigned char* sender = nullptr;
  std::uint64_t seq = 0;
  while (at < size) {
    const unsigned char type = body[at] & ~(kSameSender | kNextSeq);
    const bool same = (body[at] & kSameSender) != 0;
    const bool next = (body[at] & kNextSeq) != 0;
    if ((type != Broadcast && type != Direct) || ((same || next) && sender == nullptr)) return false;
    const std::size_t head = 1 + (next ? 0 : 8) + (type == Direct ? kKeySize : 0) + (same ? 0 : kKeySize) + 4;
    if (size - at < head) return false;
    BusRecord::Packet packet;
    ++at;
    seq = next ? seq + 1 : getU64be(body + at);
    if (!next) at += 8;
    packet.seq = seq;
    if (type == Direct) {
      std::copy(body + at, body + at + kKeySize, packet.named.begin());
      at += kKeySize;
    }
    if (!same) {
      sender = body + at;
      at += kKeySize;
    }
    const std::uint32_t length = getU32be(body + at);
    at += 4;
    if (size - at < length) return false;
    auto serialized = std::make_shared<Bytes>(Packet::headerSize + length);
    (*serialized)[0] = type;
    std::copy(sender, sender + kKeySize, serialized->begin() + Packet::keyOffset);
    std::copy(body + at - 4, body + at + length, serialized->begin() + Packet::lengthOffset);
    packet.serialized = std::move(serialized);
    at += length;
    record.packets.push_back(std::move(packet));
  }
  return true;
}

}  // namespace

std::size_t appendPacket(RecordBody& body, std::uint64_t seq, const Key& named, const Bytes& serialized) {
  Bytes& out = body.bytes;
  const std::size_t before = out.size();
  const unsigned char type = serialized[0];
  const unsigned char* sender = serialized.data() + Packet::keyOffset;
  const bool same = body.senderAt != 0 && std::equal(sender, sender + kKeySize, out.begin() + body.senderAt);
  const bool next = body.senderAt != 0 && seq == body.lastSeq + 1;
  out.push_back(static_cast<unsigned char>(type | (same ? kSameSender : 0) | (next ? kNextSeq : 0)));
  if (!next) {
    out.resize(out.size() + 8);
    putU64be(out.data() + out.size() - 8, seq);
  }
  body.lastSeq = seq;
  if (type == Direct) out.insert(out.end(), named.begin(), named.end());
  if (!same) {
    body.senderAt = out.size();
    out.insert(out.end(), sender, sender + kKeySize);
  }
  out.resize(out.size() + 4);
  putU32be(out.data() + out.size() - 4, static_cast<std::uint32_t>(serialized.size() - Packet::headerSize));
  out.insert(out.end(), serialized.begin() + Packet::headerSize, serialized.end());
  return out.size() - before;
}

Bytes lostBody(std::uint64_t dropped) {
  Bytes body(BusRecord::kBodyHeadSize);
  body.resize(body.size() + 8);
  putU64be(body.data() + BusRecord::kBodyHeadSize, dropped);
  return body;
}

std::optional<std::pair<InstanceId, std::uint64_t>> peekRecord(const unsigned char* data, std::size_t size) {
  if (size < BusRecord::kHeaderSize + BusRecord::kBodyHeadSize + BusRecord::kTagSize || data[0] != BusRecord::kFormat)
    return std::nullopt;
  std::pair<InstanceId, std::uint64_t> out;
  std::copy(data + 1, data + 17, out.first.begin());
  out.second = getU64be(data + 17);
  return out;
}

BusKey::BusKey(const unsigned char* serverSecret) {
  static_assert(sizeof key_ == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
  static_assert(kKeySize == crypto_kdf_KEYBYTES);
  // A key of its own for the bus, so that nothing sealed there could ever
  // be taken for something sealed with the long-term key.
  crypto_kdf_derive_from_key(key_, sizeof key_, 1, "sottobus", serverSecret);
}

BusKey::~BusKey() { sodium_memzero(key_, sizeof key_); }

Bytes BusKey::seal(const InstanceId& origin, std::uint64_t seq, BusRecord::Kind kind, std::uint64_t madeAt,
                   Bytes& body) const {
  putU64be(body.data(), madeAt);
  body[8] = kind;
  Bytes out(BusRecord::kHeaderSize + body.size() + BusRecord::kTagSize);
  out[0] = BusRecord::kFormat;
  std::copy(origin.begin(), origin.end(), out.begin() + 1);
  putU64be(out.data() + 17, seq);
  unsigned long long sealed = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out.data() + BusRecord::kHeaderSize, &sealed, body.data(), body.size(),
                                             out.data(), BusRecord::kHeaderSize, nullptr, out.data() + 1, key_);
  return out;
}

std::optional<BusRecord> BusKey::open(const unsigned char* data, std::size_t size, Bytes& scratch) const {
  const auto head = peekRecord(data, size);
  if (!head) return std::nullopt;
  scratch.resize(size - BusRecord::kHeaderSize - BusRecord::kTagSize);
  unsigned long long opened = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(scratch.data(), &opened, nullptr, data + BusRecord::kHeaderSize,
                                                 size - BusRecord::kHeaderSize, data, BusRecord::kHeaderSize,
                                                 data + 1, key_) != 0)
    return std::nullopt;
  BusRecord record;
  record.origin = head->first;
  record.seq = head->second;
  record.size = size;
  if (!parseBody(scratch.data(), opened, record)) return std::nullopt;
  return record;
}

OriginOrder::Arrival OriginOrder::classify(const BusRecord& record) const {
  const auto it = origins_.find(record.origin);
  if (it == origins_.end())
    return record.madeAt + static_cast<std::uint64_t>(kClockSkew.count()) >= joinedAt_ ? Arrival::New : Arrival::Stale;
  const Origin& origin = it->second;
  if (record.seq < origin.next || origin.waiting.count(record.seq)) return Arrival::Repeat;
  return Arrival::New;
}

std::optional<std::string> OriginOrder::accept(BusRecord&& record, std::vector<BusRecord>& ready,
                                               std::chrono::steady_clock::time_point now) {
  const InstanceId id = record.origin;
  auto [it, fresh] = origins_.try_emplace(id);
  Origin& origin = it->second;
  // An origin is taken up from its first record seen here: what it relayed
  // before this instance joined was never due here.
  if (fresh) origin.next = record.seq;
  if (origin.resync && record.seq >= origin.next) {
    origin.resync = false;
    origin.next = origin.waiting.empty() ? record.seq : std::min(record.seq, origin.waiting.begin()->first);
  }
  if (record.seq < origin.next || origin.waiting.count(record.seq)) return std::nullopt;
  if (record.seq > origin.next) {
    if (origin.waiting.empty()) origin.waitingSince = now;
    origin.waitingBytes += record.size;
    origin.waiting.emplace(record.seq, std::move(record));
    if (origin.waiting.size() <= kMaxWaiting && origin.waitingBytes <= kMaxWaitingBytes) return std::nullopt;
    return skip(id, origin, ready, "too many waited behind them", now);
  }
  auto why = take(id, origin, std::move(record), ready);
  auto more = drain(id, origin, ready);
  origin.waitingSince = now;
  return why ? why : more;
}

std::optional<std::string> OriginOrder::expire(std::vector<BusRecord>& ready, std::chrono::steady_clock::time_point now) {
  std::optional<std::string> why;
  for (auto& [id, origin] : origins_)
    if (!origin.waiting.empty() && now - origin.waitingSince >= kMaxWait)
      why = skip(id, origin, ready, "waited for 30 s", now);
  return why;
}

std::optional<std::chrono::steady_clock::time_point> OriginOrder::nextExpiry() const {
  std::optional<std::chrono::steady_clock::time_point> next;
  for (const auto& [id, origin] : origins_)
    if (!origin.waiting.empty() && (!next || origin.waitingSince + kMaxWait < *next))
      next = origin.waitingSince + kMaxWait;
  return next;
}

void OriginOrder::waitAfresh(std::chrono::steady_clock::time_point now) {
  for (auto& [id, origin] : origins_) origin.waitingSince = now;
}

void OriginOrder::resync() {
  for (auto& [id, origin] : origins_) origin.resync = true;
}

std::string OriginOrder::skip(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready, const char* why,
                              std::chrono::steady_clock::time_point now) {
  // The missing ones are not coming: go on from the first that waits.
  const std::uint64_t missing = origin.waiting.begin()->first - origin.next;
  origin.next = origin.waiting.begin()->first;
  const auto more = drain(id, origin, ready);
  origin.waitingSince = now;
  return std::to_string(missing) + " records from instance " + toHex(id.data(), 8) + " never came over the bus (" +
         why + ")" + (more ? "; " + *more : "");
}

std::optional<std::string> OriginOrder::take(const InstanceId& id, Origin& origin, BusRecord&& record,
                                             std::vector<BusRecord>& ready) {
  origin.next = record.seq + 1;
  if (record.kind == BusRecord::Lost)
    return "instance " + toHex(id.data(), 8) + " dropped " + std::to_string(record.dropped) +
           " packets while the bus was away longer than it could hold them";
  ready.push_back(std::move(record));
  return std::nullopt;
}

std::optional<std::string> OriginOrder::drain(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready) {
  std::optional<std::string> why;
  while (!origin.waiting.empty() && origin.waiting.begin()->first <= origin.next) {
    BusRecord record = std::move(origin.waiting.begin()->second);
    origin.waitingBytes -= record.size;
    origin.waiting.erase(origin.waiting.begin());
    if (record.seq < origin.next) continue;
    if (auto lost = take(id, origin, std::move(record), ready)) why = lost;
  }
  return why;
}

}  // namespace sotto
