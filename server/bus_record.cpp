#include "server/bus_record.hpp"

namespace sotto {

namespace {

void appendU64(Bytes& out, std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

std::uint64_t readU64(const unsigned char* p) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | p[i];
  return value;
}

Bytes header(BusRecord::Kind kind, const InstanceId& origin, std::uint64_t seq) {
  Bytes out(BusRecord::kSeqOffset);
  out[0] = kind;
  std::copy(origin.begin(), origin.end(), out.begin() + 1);
  appendU64(out, seq);
  return out;
}

}  // namespace

Bytes encodePacketRecord(const InstanceId& origin, const Key& named, const Bytes& serialized) {
  Bytes out = header(BusRecord::Packet, origin, 0);
  out.reserve(BusRecord::kPacketOffset + serialized.size());
  out.insert(out.end(), named.begin(), named.end());
  out.insert(out.end(), serialized.begin(), serialized.end());
  return out;
}

Bytes encodeLostRecord(const InstanceId& origin, std::uint64_t seq, std::uint64_t lostFrom) {
  Bytes out = header(BusRecord::Lost, origin, seq);
  appendU64(out, lostFrom);
  return out;
}

void stampSeq(Bytes& record, std::uint64_t seq) {
  for (int i = 0; i < 8; ++i) record[BusRecord::kSeqOffset + i] = static_cast<unsigned char>(seq >> (56 - 8 * i));
}

std::optional<BusRecord> decodeRecord(const unsigned char* data, std::size_t size) {
  if (size < BusRecord::kSeqOffset + 8) return std::nullopt;
  BusRecord record;
  std::copy(data + 1, data + 17, record.origin.begin());
  record.seq = readU64(data + BusRecord::kSeqOffset);
  if (data[0] == BusRecord::Lost && size == BusRecord::kSeqOffset + 16) {
    record.kind = BusRecord::Lost;
    record.lostFrom = readU64(data + BusRecord::kSeqOffset + 8);
    if (record.lostFrom > record.seq) return std::nullopt;
    return record;
  }
  if (data[0] != BusRecord::Packet || size <= BusRecord::kPacketOffset) return std::nullopt;
  std::copy(data + 25, data + 57, record.named.begin());
  record.packet = std::make_shared<const Bytes>(data + BusRecord::kPacketOffset, data + size);
  return record;
}

std::string OriginOrder::accept(BusRecord&& record, std::vector<BusRecord>& ready,
                                std::chrono::steady_clock::time_point now) {
  const InstanceId id = record.origin;
  auto [it, fresh] = origins_.try_emplace(id);
  Origin& origin = it->second;
  // An origin is taken up from its first record seen here: what it relayed
  // before this instance joined was never due here.
  if (fresh) origin.next = record.first();
  if (record.seq < origin.next) return {};
  if (record.first() > origin.next) {
    if (origin.waiting.empty()) origin.waitingSince = now;
    origin.waiting.emplace(record.first(), std::move(record));
    if (origin.waiting.size() <= kMaxWaiting && now - origin.waitingSince <= kMaxWait) return {};
    // The missing ones are not coming: go on from the first that waits.
    const std::uint64_t missing = origin.waiting.begin()->first - origin.next;
    origin.next = origin.waiting.begin()->first;
    std::string why = drain(id, origin, ready);
    return std::to_string(missing) + " packets from instance " + toHex(id.data(), 8) + " never came over the bus" +
           (why.empty() ? "" : "; " + why);
  }
  std::string why = take(id, origin, std::move(record), ready);
  std::string more = drain(id, origin, ready);
  origin.waitingSince = now;
  return why.empty() ? more : why;
}

std::string OriginOrder::take(const InstanceId& id, Origin& origin, BusRecord&& record, std::vector<BusRecord>& ready) {
  std::string why;
  if (record.kind == BusRecord::Lost && record.seq > origin.next)
    why = "instance " + toHex(id.data(), 8) + " dropped " + std::to_string(record.seq - origin.next) +
          " packets while the bus was away longer than it could hold them";
  origin.next = record.seq + 1;
  if (record.kind == BusRecord::Packet) ready.push_back(std::move(record));
  return why;
}

std::string OriginOrder::drain(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready) {
  std::string why;
  while (!origin.waiting.empty() && origin.waiting.begin()->first <= origin.next) {
    BusRecord record = std::move(origin.waiting.begin()->second);
    origin.waiting.erase(origin.waiting.begin());
    if (record.seq < origin.next) continue;
    std::string lost = take(id, origin, std::move(record), ready);
    if (!lost.empty()) why = lost;
  }
  return why;
}

}  // namespace sotto
