// What the SQLite and PostgreSQL histories share: a departure's columns, a
// row's messages, and the searches for what a member missed.
#include "server/history_store.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>

#include "proto/packet.hpp"

namespace sotto::history_sql {

namespace {

constexpr std::size_t kIdSize = sizeof(InstanceId) + 8;

// A message's head in a row: seq, time, the packet's length.
constexpr std::size_t kMessageHead = 8 + 8 + 4;

void putU64(unsigned char* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}

void putU64be(Bytes& out, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint64_t getU64be(const unsigned char* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

void putId(Bytes& out, const InstanceId& origin, std::uint64_t seq) {
  out.insert(out.end(), origin.begin(), origin.end());
  putU64be(out, seq);
}

MessageId getId(const unsigned char* in) {
  MessageId id;
  std::memcpy(id.origin.data(), in, id.origin.size());
  id.seq = getU64be(in + id.origin.size());
  return id;
}

// A table of (origin, next) pairs; a first row that matches no origin keeps
// it from being empty, which SQL does not allow.
// Placeholders are numbered as param is called, so each is appended in a
// statement of its own: the operands of one + chain have no fixed order.
std::string pairs(const char* name, std::size_t count, const std::function<std::string(char)>& param) {
  std::string sql = std::string(name) + "(origin, next) AS (VALUES ";
  for (std::size_t i = 0; i <= count; ++i) {
    sql += i == 0 ? "(" : ", (";
    sql += param('b');
    sql += ", ";
    sql += param('i');
    sql += ")";
  }
  return sql + ")";
}

BatchRow& startRow(std::vector<BatchRow>& rows, const Kept& k) {
  BatchRow& row = rows.emplace_back();
  row.origin = k.id.origin;
  row.firstSeq = k.id.seq;
  row.firstAt = k.at;
  return row;
}

}  // namespace

DepartureColumns encodeDeparture(const Departure& departure) {
  DepartureColumns out;
  for (const auto& [origin, next] : departure.cut) putId(out.cut, origin, next);
  for (const MessageId& id : departure.missed) putId(out.missed, id.origin, id.seq);
  return out;
}

std::optional<Departure> decodeDeparture(const Key& identity, std::int64_t at, std::span<const unsigned char> cut,
                                         std::span<const unsigned char> missed) {
  if (cut.size() % kIdSize != 0 || missed.size() % kIdSize != 0) return std::nullopt;
  Departure d;
  d.identity = identity;
  d.at = at;
  for (std::size_t i = 0; i < cut.size(); i += kIdSize) {
    const MessageId id = getId(cut.data() + i);
    d.cut[id.origin] = id.seq;
  }
  for (std::size_t i = 0; i < missed.size(); i += kIdSize) d.missed.push_back(getId(missed.data() + i));
  return d;
}

std::vector<BatchRow> batchRows(const KeptQueue& kept) {
  const auto entrySize = [](const Kept& k) { return kMessageHead + k.packet->size() + (k.named ? kKeySize : 0); };
  const auto startsRow = [](const Kept& k, const Kept* before, std::size_t rowSize) {
    return !before || before->id.origin != k.id.origin || rowSize >= kRowBytes;
  };
  // Each row's size first, so that its bytes are written once, in place:
  // growing it would copy a megabyte over and over on the writer's thread.
  std::vector<std::size_t> sizes;
  const Kept* before = nullptr;
  for (const Kept& k : kept) {
    if (startsRow(k, before, sizes.empty() ? 0 : sizes.back())) sizes.push_back(0);
    sizes.back() += entrySize(k);
    before = &k;
  }
  std::vector<BatchRow> rows;
  rows.reserve(sizes.size());
  BatchRow* row = nullptr;
  std::size_t left = 0;  // bytes of the current row still to come
  for (const Kept& k : kept) {
    if (left == 0) {
      row = &startRow(rows, k);
      left = sizes[rows.size() - 1];
      row->messages.reserve(left);
    }
    left -= entrySize(k);
    row->lastSeq = k.id.seq;
    row->lastAt = k.at;
    unsigned char head[kMessageHead];
    putU64(head, k.id.seq);
    putU64(head + 8, static_cast<std::uint64_t>(k.at));
    putU32be(head + 16, static_cast<std::uint32_t>(k.packet->size()));
    Bytes& out = row->messages;
    out.insert(out.end(), head, head + kMessageHead);
    out.insert(out.end(), k.packet->begin(), k.packet->end());
    if (k.named) out.insert(out.end(), k.named->begin(), k.named->end());
  }
  return rows;
}

std::string rowSearch(std::size_t departed, std::size_t joined, const std::function<std::string(char)>& param) {
  std::string sql = "WITH " + pairs("dc", departed, param);
  sql += ", " + pairs("jc", joined, param);
  sql += " SELECT b.origin, b.first_seq, b.messages FROM history_batches b";
  sql += " LEFT JOIN dc ON dc.origin = b.origin LEFT JOIN jc ON jc.origin = b.origin";
  sql += " WHERE b.last_at > " + param('i') + " AND (dc.next IS NULL OR b.last_seq >= dc.next)";
  sql += " AND ((jc.next IS NOT NULL AND b.first_seq < jc.next) OR (jc.next IS NULL AND b.first_at < " + param('i') +
         "))";
  return sql + " ORDER BY b.last_at DESC";
}

std::string listedRowSearch(const std::function<std::string(char)>& param) {
  std::string sql = "SELECT origin, first_seq, messages FROM history_batches WHERE origin = " + param('b');
  sql += " AND first_seq <= " + param('i');
  sql += " AND last_seq >= " + param('i');
  // From the row that holds the first, if any: not every older row of the origin.
  sql += " AND first_seq >= (SELECT coalesce(max(first_seq), 0) FROM history_batches WHERE origin = " + param('b');
  return sql + " AND first_seq <= " + param('i') + ")";
}

std::map<InstanceId, std::pair<std::uint64_t, std::uint64_t>> listedRuns(const std::vector<MessageId>& listed) {
  std::map<InstanceId, std::pair<std::uint64_t, std::uint64_t>> runs;
  for (const MessageId& id : listed) {
    auto [it, added] = runs.try_emplace(id.origin, id.seq, id.seq);
    it->second.first = std::min(it->second.first, id.seq);
    it->second.second = std::max(it->second.second, id.seq);
  }
  return runs;
}

bool MissedGather::add(const InstanceId& origin, std::uint64_t firstSeq, std::span<const unsigned char> messages) {
  if (!rowsSeen_.emplace(origin, firstSeq).second) return true;
  const MissedQuery& q = query_;
  const auto departed = q.departed.find(origin);
  const auto joined = q.joined.find(origin);
  const unsigned char* p = messages.data();
  std::size_t left = messages.size();
  while (left > 0) {
    if (left < kMessageHead) return false;
    const MessageId id{origin, getU64be(p)};
    const auto at = static_cast<std::int64_t>(getU64be(p + 8));
    const std::size_t size = getU32be(p + 16);
    if (size <= Packet::headerSize || left - kMessageHead < size) return false;
    const unsigned char* packet = p + kMessageHead;
    const bool direct = packet[0] == Direct;
    const std::size_t whole = kMessageHead + size + (direct ? kKeySize : 0);
    if (left < whole) return false;
    p += whole;
    left -= whole;
    // A Direct to the member, or a Broadcast of someone else's.
    const unsigned char* who = direct ? packet + size : packet + Packet::keyOffset;
    if (direct != (std::memcmp(who, q.identity.data(), kKeySize) == 0)) continue;
    // What the instance it signs in on relays to it live is not missed.
    if (joined != q.joined.end() ? id.seq >= joined->second : at >= q.startedAt) continue;
    const bool listed = std::binary_search(q.listed.begin(), q.listed.end(), id);
    if (!listed && (at <= q.since || (departed != q.departed.end() && id.seq < departed->second))) continue;
    ++total_;
    const auto newer = [](const Stored& a, const Stored& b) {
      return std::tie(a.at, a.id.origin, a.id.seq) > std::tie(b.at, b.id.origin, b.id.seq);
    };
    Stored stored{id, at, nullptr};
    if (!listed && newest_.size() >= q.limit) {
      if (newest_.empty() || !newer(stored, newest_.front())) continue;
      std::pop_heap(newest_.begin(), newest_.end(), newer);
      newest_.pop_back();
    }
    stored.packet = std::make_shared<const Bytes>(packet, packet + size);
    if (listed) {
      listed_.push_back(std::move(stored));
      continue;
    }
    newest_.push_back(std::move(stored));
    std::push_heap(newest_.begin(), newest_.end(), newer);
  }
  return true;
}

void MissedGather::take(std::vector<Stored>& rows) {
  std::move(newest_.begin(), newest_.end(), std::back_inserter(rows));
  std::move(listed_.begin(), listed_.end(), std::back_inserter(rows));
  newest_.clear();
  listed_.clear();
}

}  // namespace sotto::history_sql
