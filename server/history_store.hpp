// Where the history is kept: SQLite in the data directory (history.sqlite3,
// mode 0600) for a lone server, PostgreSQL for a cluster, which shares one.
// Five tables: history_batches (every message kept, in clear, a row per
// batch the writer wrote and origin: the first and last seq and time of its
// messages, and the messages, each with its seq, time, packet and the named
// identity of a Direct; in SQLite where in the files beside it they are,
// and a fifth table, history_files, the newest in each), history_departures
// (where each member's last session ended), history_arrivals (where a
// session that has not ended began), history_origins (how far each origin
// has written) and history_gaps (what an origin could not write).
//
// Not thread-safe: one thread at a time uses a store (History gives its
// writer and its reader one each), except interrupt().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "proto/bytes.hpp"
#include "server/message_id.hpp"

namespace sotto {

inline constexpr const char* kHistoryFileName = "history.sqlite3";
// The files of rows beside it take no more past this.
inline constexpr std::uint64_t kHistoryFileBytes = 64ull * 1024 * 1024;

// One row of history_batches: one origin's messages, in order of seq.
// messages starts with KeptBatch::kCompact, then holds for each: [1] flags
// (kSameSender), the seq as the difference from the message before's (for
// the first, from 0), the time (milliseconds since the epoch, by the
// origin's clock) likewise and zigzagged, and the length of what follows,
// each a varint (seven bits a byte, the lowest first); the serialized
// packet (the sender in its key field), left out of it when kSameSender
// says the sender is the message before's; and for a Direct [32] its named
// identity. A burst of one sender's short lines takes some 40% less than
// in full. Rows written before this layout (a message's seq, time and
// length in 8, 8 and 4 bytes, big-endian, then the packet) still read back.
struct BatchRow {
  std::uint64_t firstSeq = 0, lastSeq = 0;
  std::int64_t firstAt = 0, lastAt = 0;
  Bytes messages;
  std::size_t directs = 0;  // how many of them are Directs
  Key lastSender{};         // the last message's, for the next
};

class KeptBatch {
 public:
  static constexpr std::size_t kRowBytes = 1024 * 1024;
  // Emptied rows kept for the next messages, so that a flood does not map
  // and fault in fresh memory for every row.
  static constexpr std::size_t kSpareRows = 8;

  // A row's first byte, and a message's flag.
  static constexpr unsigned char kCompact = 0xc1;
  static constexpr unsigned char kSameSender = 1;
  // A message's head in a row at most: flags and three varints.
  static constexpr std::size_t kHeadBytes = 1 + 10 + 10 + 10;
  // What a message takes in a row at most.
  static std::size_t entryBytes(std::size_t packet, bool direct) {
    return kHeadBytes + packet + (direct ? kKeySize : 0);
  }
  // A message; named, kKeySize bytes, for a Direct. Returns the bytes it
  // added to the rows.
  std::size_t add(std::uint64_t seq, std::int64_t at, std::span<const unsigned char> packet, const unsigned char* named);
  // Moves other's messages, which follow these, in after them.
  void take(KeptBatch& other);
  // Drops each Direct whose named identity kept() refuses.
  void keepDirects(const std::function<bool(const Key&)>& kept);
  // Takes used's rows, emptied, as spares, and hands back the rows beyond
  // kSpareRows; used is left empty. Called under the relay's lock, which
  // must not wait on freeing megabytes: the caller frees them after it.
  std::vector<BatchRow> recycle(KeptBatch& used);
  // Hands over the spare rows, for the caller to free likewise.
  std::vector<Bytes> dropSpares() { return std::exchange(spares_, {}); }

  const std::vector<BatchRow>& rows() const { return rows_; }
  std::size_t size() const { return count_; }
  // What its rows hold, in bytes.
  std::size_t bytes() const { return bytes_; }
  bool empty() const { return count_ == 0; }

 private:
  std::vector<BatchRow> rows_;
  std::vector<Bytes> spares_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

// A message as the catch-up reads it back.
struct Stored {
  MessageId id;
  std::int64_t at = 0;
  std::shared_ptr<const Bytes> packet;
};

// How far an origin has written, and when it last wrote (by its clock).
struct OriginMark {
  InstanceId origin{};
  std::uint64_t next = 0;
  std::int64_t writtenAt = 0;
};

// Messages an origin relayed but could not keep, and when.
struct Gap {
  InstanceId origin{};
  std::int64_t from = 0;
  std::int64_t to = 0;
  std::uint64_t lost = 0;
};

// What a member missed: what was relayed to it after its departure (since
// bounds the search by time), and the listed messages it never acknowledged;
// of both, only what the instance it signs in on will not relay live to it:
// below joined for the origins that instance has heard from, before
// startedAt for the others.
struct MissedQuery {
  Key identity{};
  std::int64_t since = 0;
  Cut departed;
  std::vector<MessageId> listed;
  Cut joined;
  std::int64_t startedAt = 0;
  std::size_t limit = 0;
};

class HistoryStore {
 public:
  // Opens or makes the file (0600) and its tables, its rows' messages in
  // files of about fileBytes beside it. Null with error on failure.
  static std::unique_ptr<HistoryStore> openSqlite(const std::string& path, std::string& error,
                                                  std::uint64_t fileBytes = kHistoryFileBytes);
  // Connects and makes the tables if they are missing. Null with error, one
  // line, on failure.
  static std::unique_ptr<HistoryStore> openPostgres(const std::string& conninfo, std::string& error);

  virtual ~HistoryStore() = default;
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // In one transaction: the rows of origin's messages (a row already there
  // gives way only to a longer one), its arrivals (at most one for each
  // identity; each replaces the one there), its departures (an older one
  // never replaces a newer; each lets go of its session's arrival), the
  // gaps, and that origin has decided everything below through, at the
  // time given.
  virtual bool write(const KeptBatch& kept, const std::vector<Arrival>& arrivals,
                     const std::vector<Departure>& departures, const std::vector<Gap>& gaps, const InstanceId& origin,
                     std::uint64_t through, std::int64_t at) = 0;
  // Drops messages and gaps from before the time given.
  virtual bool forget(std::int64_t before) = 0;
  // The member's last departure; found says whether there is one.
  virtual bool departure(const Key& identity, std::optional<Departure>& found) = 0;
  // The arrival of the member's session that has not ended, if any.
  virtual bool arrival(const Key& identity, std::optional<Arrival>& found) = 0;
  // Calls each with every identity that has a departure or an arrival;
  // false when the store cannot list them (one that others write too need
  // not).
  virtual bool departed(const std::function<void(const Key&)>&) { return false; }
  // Every origin that ever wrote.
  virtual bool origins(std::vector<OriginMark>& marks) = 0;
  // What the member missed (history_sql::MissedGather), and how many.
  virtual bool missed(const MissedQuery& query, std::vector<Stored>& rows, std::uint64_t& total) = 0;
  // Whether any origin lost messages after the time given.
  virtual bool gapsSince(std::int64_t at, bool& any) = 0;
  // Whether other instances write to it too; a file is one server's.
  virtual bool shared() const { return false; }
  // False once the connection to the database is lost; reconnect tries to
  // make a new one. A file is always there.
  virtual bool connected() const { return true; }
  virtual bool reconnect() { return true; }
  // The database's message for the last failed call, on one line.
  virtual std::string lastError() const = 0;
  // Any thread: cancels the call under way, if the database hears it.
  virtual void interrupt() = 0;

 protected:
  HistoryStore() = default;
};

// What both stores share: the layout of a departure's columns and of a
// row's messages, the searches for the rows that can hold what a member
// missed, and the rule for which of their messages it did miss.
namespace history_sql {

// A departure's cut and missed columns.
struct DepartureColumns {
  Bytes cut;
  Bytes missed;
};
DepartureColumns encodeDeparture(const Departure& departure);
// Null when the columns do not read back.
std::optional<Departure> decodeDeparture(const Key& identity, std::int64_t at, std::span<const unsigned char> cut,
                                         std::span<const unsigned char> missed);

// One message of a row as it reads back; valid during the visit.
struct RowMessage {
  std::uint64_t seq = 0;
  std::int64_t at = 0;
  std::span<const unsigned char> packet;
  const unsigned char* named = nullptr;  // a Direct's, kKeySize bytes
};
// Calls visit for each message of a row (BatchRow::messages), in order;
// false when the row does not read back.
bool readRow(std::span<const unsigned char> messages, const std::function<void(const RowMessage&)>& visit);

// The rows that can hold a member's missed messages after a departure,
// newest first, with a placeholder made by param(kind) for each value in the
// order: every departed origin and next, every joined origin and next, since,
// startedAt. kind is 'b' for bytes, 'i' for an integer. Each row reads as
// origin, first seq, messages.
std::string rowSearch(std::size_t departed, std::size_t joined, const std::function<std::string(char kind)>& param);
// The rows of one origin that can hold seqs first to last: placeholders for
// origin, last, first, origin and first again.
std::string listedRowSearch(const std::function<std::string(char kind)>& param);

// The listed messages as one run of seqs (first, last) for each origin.
std::map<InstanceId, std::pair<std::uint64_t, std::uint64_t>> listedRuns(const std::vector<MessageId>& listed);

// Takes the rows the searches found and keeps what the member missed: each
// message once, however many searches found its row; of those after the
// departure the newest query.limit, and every listed one; the count of all.
class MissedGather {
 public:
  explicit MissedGather(const MissedQuery& query) : query_(query) {}
  // False when the row's messages do not read back.
  bool add(const InstanceId& origin, std::uint64_t firstSeq, std::span<const unsigned char> messages);
  std::uint64_t total() const { return total_; }
  // Appends what was kept to rows, in no particular order.
  void take(std::vector<Stored>& rows);

 private:
  const MissedQuery& query_;
  std::set<std::pair<InstanceId, std::uint64_t>> rowsSeen_;
  std::vector<Stored> newest_;  // a heap: the oldest on top
  std::vector<Stored> listed_;
  std::uint64_t total_ = 0;
};

}  // namespace history_sql

}  // namespace sotto
