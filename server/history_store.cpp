// What the SQLite and PostgreSQL histories share: a departure's columns, a
// row's messages, and the searches for what a member missed.
#include "server/history_store.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>
#include <utility>

#include "proto/packet.hpp"

namespace sotto::history_sql {

namespace {

constexpr std::size_t kIdSize = sizeof(InstanceId) + 8;

// A message's head in a row written before rows were compact: seq, time,
// the packet's length.
constexpr std::size_t kMessageHead = 8 + 8 + 4;

// Seven bits a byte, the lowest first; the top bit says more follow.
unsigned char* putVarint(unsigned char* out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) *out++ = static_cast<unsigned char>(v | 0x80);
  *out++ = static_cast<unsigned char>(v);
  return out;
}

bool getVarint(const unsigned char*& p, std::size_t& left, std::uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64 && left > 0; shift += 7) {
    const unsigned char byte = *p++;
    --left;
    v |= std::uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// A difference that may be negative, as an unsigned number small either way.
std::uint64_t zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int64_t unzigzag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

void putId(Bytes& out, const InstanceId& origin, std::uint64_t seq) {
  out.insert(out.end(), origin.begin(), origin.end());
  out.resize(out.size() + 8);
  putU64be(out.data() + out.size() - 8, seq);
}

MessageId getId(const unsigned char* in) {
  MessageId id;
  std::memcpy(id.origin.data(), in, id.origin.size());
  id.seq = getU64be(in + id.origin.size());
  return id;
}

// Calls visit for each message of a row, in order; false when the row does
// not read back (what came before was visited).
template <class Visit>
bool forEachMessage(std::span<const unsigned char> messages, Visit&& visit) {
  const unsigned char* p = messages.data();
  std::size_t left = messages.size();
  if (left > 0 && *p == KeptBatch::kCompact) {
    ++p;
    --left;
    std::uint64_t seq = 0;
    std::int64_t at = 0;
    Bytes packet;
    while (left > 0) {
      const unsigned char flags = *p++;
      --left;
      std::uint64_t seqStep = 0, atStep = 0, size = 0;
      if (!getVarint(p, left, seqStep) || !getVarint(p, left, atStep) || !getVarint(p, left, size) || size == 0 ||
          left < size)
        return false;
      seq += seqStep;
      at += unzigzag(atStep);
      RowMessage m{seq, at, {}, nullptr};
      if (flags & KeptBatch::kSameSender) {
        // The sender of the message before, which the row left out.
        if (packet.size() <= Packet::headerSize) return false;
        packet.erase(packet.begin() + Packet::keyOffset + kKeySize, packet.end());
        packet[0] = p[0];
        packet.insert(packet.end(), p + 1, p + size);
      } else {
        packet.assign(p, p + size);
      }
      p += size;
      left -= size;
      if (packet.size() <= Packet::headerSize) return false;
      m.packet = packet;
      if (packet[0] == Direct) {
        if (left < kKeySize) return false;
        m.named = p;
        p += kKeySize;
        left -= kKeySize;
      }
      visit(m);
    }
    return true;
  }
  // A row written before rows were compact: its first byte is the top byte
  // of a seq, which is never kCompact.
  while (left > 0) {
    if (left < kMessageHead) return false;
    RowMessage m;
    m.seq = getU64be(p);
    m.at = static_cast<std::int64_t>(getU64be(p + 8));
    const std::size_t size = getU32be(p + 16);
    if (size <= Packet::headerSize || left - kMessageHead < size) return false;
    m.packet = std::span(p + kMessageHead, size);
    const bool direct = m.packet[0] == Direct;
    const std::size_t whole = kMessageHead + size + (direct ? kKeySize : 0);
    if (left < whole) return false;
    if (direct) m.named = p + kMessageHead + size;
    p += whole;
    left -= whole;
    visit(m);
  }
  return true;
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

bool readRow(std::span<const unsigned char> messages, const std::function<void(const RowMessage&)>& visit) {
  return forEachMessage(messages, visit);
}

bool MissedGather::add(const InstanceId& origin, std::uint64_t firstSeq, std::span<const unsigned char> messages) {
  if (!rowsSeen_.emplace(origin, firstSeq).second) return true;
  const MissedQuery& q = query_;
  const auto departed = q.departed.find(origin);
  const auto joined = q.joined.find(origin);
  const auto newer = [](const Stored& a, const Stored& b) {
    return std::tie(a.at, a.id.origin, a.id.seq) > std::tie(b.at, b.id.origin, b.id.seq);
  };
  return forEachMessage(messages, [&](const RowMessage& m) {
    const MessageId id{origin, m.seq};
    // A Direct to the member, or a Broadcast of someone else's.
    const unsigned char* who = m.named ? m.named : m.packet.data() + Packet::keyOffset;
    if ((m.named != nullptr) != (std::memcmp(who, q.identity.data(), kKeySize) == 0)) return;
    // What the instance it signs in on relays to it live is not missed.
    if (joined != q.joined.end() ? id.seq >= joined->second : m.at >= q.startedAt) return;
    const bool listed = std::binary_search(q.listed.begin(), q.listed.end(), id);
    if (!listed && (m.at <= q.since || (departed != q.departed.end() && id.seq < departed->second))) return;
    ++total_;
    Stored stored{id, m.at, nullptr};
    if (!listed && newest_.size() >= q.limit) {
      if (newest_.empty() || !newer(stored, newest_.front())) return;
      std::pop_heap(newest_.begin(), newest_.end(), newer);
      newest_.pop_back();
    }
    stored.packet = std::make_shared<const Bytes>(m.packet.begin(), m.packet.end());
    if (listed) {
      listed_.push_back(std::move(stored));
      return;
    }
    newest_.push_back(std::move(stored));
    std::push_heap(newest_.begin(), newest_.end(), newer);
  });
}

void MissedGather::take(std::vector<Stored>& rows) {
  std::move(newest_.begin(), newest_.end(), std::back_inserter(rows));
  std::move(listed_.begin(), listed_.end(), std::back_inserter(rows));
  newest_.clear();
  listed_.clear();
}

}  // namespace sotto::history_sql

namespace sotto {

std::size_t KeptBatch::add(std::uint64_t seq, std::int64_t at, std::span<const unsigned char> packet,
                           const unsigned char* named) {
  using namespace history_sql;
  const std::size_t entry = entryBytes(packet.size(), named != nullptr);
  std::size_t added = 0;
  if (rows_.empty() || rows_.back().messages.size() + entry > kRowBytes) {
    BatchRow& row = rows_.emplace_back();
    if (!spares_.empty()) {
      row.messages = std::move(spares_.back());
      spares_.pop_back();
    } else {
      row.messages.reserve(std::max(kRowBytes, entry + 1));
    }
    row.messages.push_back(kCompact);
    added = 1;
    row.firstSeq = seq;
    row.firstAt = at;
  }
  BatchRow& row = rows_.back();
  const unsigned char* sender = packet.data() + Packet::keyOffset;
  const bool first = row.messages.size() == 1;
  const bool same = !first && std::memcmp(sender, row.lastSender.data(), kKeySize) == 0;
  const std::size_t size = packet.size() - (same ? kKeySize : 0);
  // Appended within the row's reserve (this runs under the relay's lock).
  unsigned char head[kHeadBytes];
  unsigned char* h = head;
  *h++ = same ? kSameSender : 0;
  h = putVarint(h, seq - (first ? 0 : row.lastSeq));
  h = putVarint(h, zigzag(at - (first ? 0 : row.lastAt)));
  h = putVarint(h, size);
  Bytes& out = row.messages;
  const std::size_t start = out.size();
  out.insert(out.end(), head, h);
  if (same) {
    out.push_back(packet[0]);
    out.insert(out.end(), sender + kKeySize, packet.data() + packet.size());
  } else {
    out.insert(out.end(), packet.begin(), packet.end());
    std::memcpy(row.lastSender.data(), sender, kKeySize);
  }
  if (named) out.insert(out.end(), named, named + kKeySize);
  row.directs += named != nullptr;
  row.lastSeq = seq;
  row.lastAt = at;
  ++count_;
  added += out.size() - start;
  bytes_ += added;
  return added;
}

void KeptBatch::take(KeptBatch& other) {
  if (empty()) {
    rows_ = std::exchange(other.rows_, {});
    count_ = std::exchange(other.count_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    return;
  }
  // A batch that failed to commit and waits for its retry: rare, so copied.
  for (const BatchRow& row : other.rows_)
    history_sql::forEachMessage(row.messages, [&](const history_sql::RowMessage& m) {
      add(m.seq, m.at, m.packet, m.named);
    });
  other.rows_.clear();
  other.count_ = other.bytes_ = 0;
}

void KeptBatch::keepDirects(const std::function<bool(const Key&)>& kept) {
  const auto keeps = [&](const history_sql::RowMessage& m) {
    if (!m.named) return true;
    Key named;
    std::memcpy(named.data(), m.named, named.size());
    return kept(named);
  };
  std::vector<BatchRow> rows;
  // Rows without a Direct, most of a busy chat's, are not read at all.
  for (BatchRow& row : rows_) {
    bool all = true;
    if (row.directs > 0)
      history_sql::forEachMessage(row.messages, [&](const history_sql::RowMessage& m) { all = all && keeps(m); });
    if (all) {
      rows.push_back(std::move(row));
      continue;
    }
    // The row is made again without them; its first seq may change, which
    // is safe as no row of this batch was written yet.
    KeptBatch again;
    std::size_t had = 0;
    history_sql::forEachMessage(row.messages, [&](const history_sql::RowMessage& m) {
      ++had;
      if (keeps(m)) again.add(m.seq, m.at, m.packet, m.named);
    });
    count_ = count_ - had + again.count_;
    bytes_ = bytes_ - row.messages.size() + again.bytes_;
    for (BatchRow& r : again.rows_) rows.push_back(std::move(r));
  }
  rows_ = std::move(rows);
}

std::vector<BatchRow> KeptBatch::recycle(KeptBatch& used) {
  for (BatchRow& row : used.rows_) {
    if (spares_.size() >= kSpareRows) break;
    row.messages.clear();
    spares_.push_back(std::move(row.messages));
  }
  used.count_ = used.bytes_ = 0;
  return std::exchange(used.rows_, {});
}

}  // namespace sotto
