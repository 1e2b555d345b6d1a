// What the SQLite and PostgreSQL histories share: a departure's columns and
// the searches for what a member missed.
#include "server/history_store.hpp"

#include <algorithm>
#include <cstring>

namespace sotto::history_sql {

namespace {

constexpr std::size_t kIdSize = sizeof(InstanceId) + 8;

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

std::string missedSearch(std::size_t departed, std::size_t joined, bool count,
                         const std::function<std::string(char)>& param) {
  std::string sql = "WITH " + pairs("dc", departed, param);
  sql += ", " + pairs("jc", joined, param);
  sql += count ? " SELECT count(*)" : " SELECT m.origin, m.seq, m.at, m.packet";
  sql += " FROM history m LEFT JOIN dc ON dc.origin = m.origin LEFT JOIN jc ON jc.origin = m.origin";
  sql += " WHERE m.at > " + param('i') + " AND (dc.next IS NULL OR m.seq >= dc.next)";
  sql += " AND ((jc.next IS NOT NULL AND m.seq < jc.next) OR (jc.next IS NULL AND m.at < " + param('i') + "))";
  const std::string who = param('b');
  sql += " AND ((m.named IS NULL AND m.sender <> " + who + ") OR m.named = " + param('b') + ")";
  if (!count) sql += " ORDER BY m.at DESC, m.origin DESC, m.seq DESC LIMIT " + param('i');
  return sql;
}

std::string listedSearch(const std::function<std::string(char)>& param) {
  std::string sql = "SELECT origin, seq, at, packet FROM history WHERE origin = " + param('b');
  sql += " AND seq >= " + param('i');
  sql += " AND seq <= " + param('i');
  const std::string who = param('b');
  return sql + " AND ((named IS NULL AND sender <> " + who + ") OR named = " + param('b') + ")";
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

bool listedMissed(const Stored& row, const MissedQuery& query) {
  if (!std::binary_search(query.listed.begin(), query.listed.end(), row.id)) return false;
  const auto joined = query.joined.find(row.id.origin);
  return joined != query.joined.end() ? row.id.seq < joined->second : row.at < query.startedAt;
}

}  // namespace sotto::history_sql
