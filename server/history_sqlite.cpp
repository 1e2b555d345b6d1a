// The history in SQLite (DATA_DIR/history.sqlite3) for a lone server: a
// write-ahead log, so that the reader searches while the writer writes, and
// synchronous NORMAL: a commit survives the process being killed, though not
// the machine losing power. The rows' messages are in files beside it
// (HistoryFiles); history_batches holds where.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "server/history_files.hpp"
#include "server/history_store.hpp"

namespace sotto {

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode = WAL;"
    "CREATE TABLE IF NOT EXISTS history_batches ("
    "  origin BLOB NOT NULL, first_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL,"
    "  first_at INTEGER NOT NULL, last_at INTEGER NOT NULL, messages BLOB NOT NULL,"
    "  PRIMARY KEY (origin, first_seq));"
    "CREATE INDEX IF NOT EXISTS history_batches_at ON history_batches (last_at);"
    "CREATE TABLE IF NOT EXISTS history_departures ("
    "  identity BLOB PRIMARY KEY NOT NULL, at INTEGER NOT NULL, cut BLOB NOT NULL, missed BLOB NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history_arrivals ("
    "  identity BLOB PRIMARY KEY NOT NULL, origin BLOB NOT NULL, session INTEGER NOT NULL, at INTEGER NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history_origins ("
    "  origin BLOB PRIMARY KEY NOT NULL, next INTEGER NOT NULL, at INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history_gaps ("
    "  origin BLOB NOT NULL, from_at INTEGER NOT NULL, to_at INTEGER NOT NULL, lost INTEGER NOT NULL);"
    // The newest message each file of rows holds.
    "CREATE TABLE IF NOT EXISTS history_files (file INTEGER PRIMARY KEY NOT NULL, last_at INTEGER NOT NULL);";

// Resets the statement whatever happens, so it never holds a read lock.
struct Reset {
  sqlite3_stmt* statement;
  ~Reset() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

struct Finalize {
  sqlite3_stmt* statement;
  ~Finalize() { sqlite3_finalize(statement); }
};

// The value is not copied: it must outlast the statement's step.
void bindBlob(sqlite3_stmt* s, int at, const unsigned char* data, std::size_t size) {
  // A zero-length blob must not be bound as NULL.
  static const unsigned char none = 0;
  sqlite3_bind_blob(s, at, size ? data : &none, static_cast<int>(size), SQLITE_STATIC);
}

template <class Array>
void bindBlob(sqlite3_stmt* s, int at, const Array& a) {
  bindBlob(s, at, a.data(), a.size());
}

std::span<const unsigned char> columnBlob(sqlite3_stmt* s, int at) {
  return std::span(static_cast<const unsigned char*>(sqlite3_column_blob(s, at)),
                   static_cast<std::size_t>(sqlite3_column_bytes(s, at)));
}

class SqliteHistory final : public HistoryStore {
 public:
  static std::unique_ptr<HistoryStore> open(const std::string& path, std::uint64_t fileBytes, std::string& error);
  ~SqliteHistory() override;

  bool write(const KeptBatch& kept, const std::vector<Arrival>& arrivals, const std::vector<Departure>& departures,
             const std::vector<Gap>& gaps, const InstanceId& origin, std::uint64_t through, std::int64_t at) override;
  bool forget(std::int64_t before) override;
  bool departure(const Key& identity, std::optional<Departure>& found) override;
  bool arrival(const Key& identity, std::optional<Arrival>& found) override;
  bool departed(const std::function<void(const Key&)>& each) override;
  bool origins(std::vector<OriginMark>& marks) override;
  bool missed(const MissedQuery& query, std::vector<Stored>& rows, std::uint64_t& total) override;
  bool gapsSince(std::int64_t at, bool& any) override;
  std::string lastError() const override { return error_; }
  void interrupt() override { sqlite3_interrupt(db_); }

 private:
  SqliteHistory(const std::string& path, std::uint64_t fileBytes) : files_(path, fileBytes) {}
  bool exec(const char* sql);
  // A row the searches found, handed to gather; one forgotten meanwhile is
  // passed over.
  bool gatherRow(sqlite3_stmt* s, history_sql::MissedGather& gather);
  bool step(sqlite3_stmt* statement);
  bool fail() {
    error_ = sqlite3_errmsg(db_);
    return false;
  }
  // A statement made for one search, with ?1, ?2, ... in the order given.
  sqlite3_stmt* prepare(const std::string& sql);

  std::string error_;
  HistoryFiles files_;
  std::uint64_t knownFile_ = 0;  // the newest history_files had at the start
  Bytes rowBytes_;               // the row being read, from its file
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* fileAt_ = nullptr;
  sqlite3_stmt* depart_ = nullptr;
  sqlite3_stmt* firstDepart_ = nullptr;
  sqlite3_stmt* arrive_ = nullptr;
  sqlite3_stmt* ended_ = nullptr;
  sqlite3_stmt* arrival_ = nullptr;
  sqlite3_stmt* origin_ = nullptr;
  sqlite3_stmt* gap_ = nullptr;
  sqlite3_stmt* departure_ = nullptr;
  sqlite3_stmt* through_ = nullptr;
  sqlite3_stmt* gapsSince_ = nullptr;
};

std::unique_ptr<HistoryStore> SqliteHistory::open(const std::string& path, std::uint64_t fileBytes, std::string& error) {
  // Made 0600 before SQLite sees it: it holds every message in clear. The
  // log files SQLite makes beside it take its mode.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) != 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  ::close(fd);
  std::unique_ptr<SqliteHistory> store(new SqliteHistory(path, fileBytes));
  sqlite3*& db = store->db_;
  auto fail = [&](const std::string& what) {
    error = what + " " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return nullptr;
  };
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return fail("cannot open");
  // The writer and the reader share the file.
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA synchronous = NORMAL;", nullptr, nullptr, nullptr) != SQLITE_OK ||
      // Rows are written once and read at sign-ins: SQLite's usual 2 MB of
      // cached pages per connection would only keep the last large message
      // in memory after it was written.
      sqlite3_exec(db, "PRAGMA cache_size = -512;", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail("cannot set up");
  const struct {
    sqlite3_stmt** statement;
    const char* sql;
  } statements[] = {
      {&store->insert_,
       "INSERT INTO history_batches (origin, first_seq, last_seq, first_at, last_at, messages)"
       " VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (origin, first_seq) DO UPDATE SET last_seq = excluded.last_seq,"
       " last_at = excluded.last_at, messages = excluded.messages WHERE excluded.last_seq > history_batches.last_seq"},
      {&store->fileAt_,
       "INSERT INTO history_files (file, last_at) VALUES (?1, ?2)"
       " ON CONFLICT (file) DO UPDATE SET last_at = max(last_at, excluded.last_at)"},
      {&store->depart_,
       "INSERT INTO history_departures (identity, at, cut, missed) VALUES (?1, ?2, ?3, ?4)"
       " ON CONFLICT (identity) DO UPDATE SET at = excluded.at, cut = excluded.cut, missed = excluded.missed"
       " WHERE excluded.at >= history_departures.at"},
      {&store->firstDepart_,
       "INSERT INTO history_departures (identity, at, cut, missed) VALUES (?1, ?2, ?3, ?4)"
       " ON CONFLICT (identity) DO NOTHING"},
      {&store->arrive_,
       "INSERT INTO history_arrivals (identity, origin, session, at) VALUES (?1, ?2, ?3, ?4)"
       " ON CONFLICT (identity) DO UPDATE SET origin = excluded.origin, session = excluded.session,"
       " at = excluded.at"},
      {&store->ended_, "DELETE FROM history_arrivals WHERE identity = ?1 AND origin = ?2 AND session = ?3"},
      {&store->arrival_, "SELECT origin, session, at FROM history_arrivals WHERE identity = ?1"},
      {&store->origin_,
       "INSERT INTO history_origins (origin, next, at) VALUES (?1, ?2, ?3)"
       " ON CONFLICT (origin) DO UPDATE SET next = max(next, excluded.next), at = excluded.at"},
      {&store->gap_, "INSERT INTO history_gaps (origin, from_at, to_at, lost) VALUES (?1, ?2, ?3, ?4)"},
      {&store->departure_, "SELECT at, cut, missed FROM history_departures WHERE identity = ?1"},
      {&store->through_, "SELECT origin, next, at FROM history_origins"},
      {&store->gapsSince_, "SELECT count(*) FROM history_gaps WHERE to_at >= ?1"},
  };
  for (const auto& s : statements)
    if (sqlite3_prepare_v3(db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr) != SQLITE_OK)
      return fail("cannot prepare statements for");
  sqlite3_stmt* newest = nullptr;
  sqlite3_prepare_v2(db, "SELECT coalesce(max(file), 0) FROM history_files", -1, &newest, nullptr);
  const Finalize finalize{newest};
  if (!newest || sqlite3_step(newest) != SQLITE_ROW) return fail("cannot read");
  store->knownFile_ = static_cast<std::uint64_t>(sqlite3_column_int64(newest, 0));
  return store;
}

SqliteHistory::~SqliteHistory() {
  for (sqlite3_stmt* s : {insert_, fileAt_, depart_, firstDepart_, arrive_, ended_, arrival_, origin_, gap_, departure_,
                          through_, gapsSince_})
    sqlite3_finalize(s);
  sqlite3_close(db_);
}

bool SqliteHistory::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  return fail();
}

bool SqliteHistory::step(sqlite3_stmt* statement) {
  Reset reset{statement};
  if (sqlite3_step(statement) == SQLITE_DONE) return true;
  return fail();
}

sqlite3_stmt* SqliteHistory::prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) fail();
  return statement;
}

bool SqliteHistory::write(const KeptBatch& kept, const std::vector<Arrival>& arrivals,
                          const std::vector<Departure>& departures, const std::vector<Gap>& gaps,
                          const InstanceId& origin, std::uint64_t through, std::int64_t at) {
  if (!exec("BEGIN IMMEDIATE")) return false;
  std::vector<RowPlace> appended;
  const auto body = [&] {
    for (const BatchRow& row : kept.rows()) {
      // In its file before the transaction that says where commits.
      RowPlace place;
      if (files_.current() == 0 && !files_.openNewest(knownFile_, error_)) return false;
      if (!files_.append(row.messages, place, error_)) return false;
      appended.push_back(place);
      const Bytes where = place.encode();
      bindBlob(insert_, 1, origin);
      sqlite3_bind_int64(insert_, 2, static_cast<std::int64_t>(row.firstSeq));
      sqlite3_bind_int64(insert_, 3, static_cast<std::int64_t>(row.lastSeq));
      sqlite3_bind_int64(insert_, 4, row.firstAt);
      sqlite3_bind_int64(insert_, 5, row.lastAt);
      bindBlob(insert_, 6, where);
      if (!step(insert_)) return false;
      sqlite3_bind_int64(fileAt_, 1, static_cast<std::int64_t>(place.file));
      sqlite3_bind_int64(fileAt_, 2, row.lastAt);
      if (!step(fileAt_)) return false;
    }
    for (const Arrival& a : arrivals) {
      bindBlob(arrive_, 1, a.identity);
      bindBlob(arrive_, 2, origin);
      sqlite3_bind_int64(arrive_, 3, static_cast<std::int64_t>(a.session));
      sqlite3_bind_int64(arrive_, 4, a.at);
      if (!step(arrive_)) return false;
    }
    for (const Departure& d : departures) {
      sqlite3_stmt* s = d.ifFirst ? firstDepart_ : depart_;
      bindBlob(s, 1, d.identity);
      sqlite3_bind_int64(s, 2, d.at);
      const history_sql::DepartureColumns columns = history_sql::encodeDeparture(d);
      bindBlob(s, 3, columns.cut);
      bindBlob(s, 4, columns.missed);
      if (!step(s)) return false;
      bindBlob(ended_, 1, d.identity);
      bindBlob(ended_, 2, origin);
      sqlite3_bind_int64(ended_, 3, static_cast<std::int64_t>(d.session));
      if (!step(ended_)) return false;
    }
    for (const Gap& g : gaps) {
      bindBlob(gap_, 1, g.origin);
      sqlite3_bind_int64(gap_, 2, g.from);
      sqlite3_bind_int64(gap_, 3, g.to);
      sqlite3_bind_int64(gap_, 4, static_cast<std::int64_t>(g.lost));
      if (!step(gap_)) return false;
    }
    bindBlob(origin_, 1, origin);
    sqlite3_bind_int64(origin_, 2, static_cast<std::int64_t>(through));
    sqlite3_bind_int64(origin_, 3, at);
    return step(origin_);
  };
  if (body() && exec("COMMIT")) return true;
  const std::string why = error_;
  exec("ROLLBACK");
  // Rows no row names are not left on the disk: the retry writes them again.
  std::string ignored;
  for (const RowPlace& place : appended) files_.erase(place, ignored);
  error_ = why;
  return false;
}

bool SqliteHistory::forget(std::int64_t before) {
  const std::string at = std::to_string(before);
  // The file rows go to now is never removed, even when all it holds is old.
  const std::string older =
      " FROM history_files WHERE last_at < " + at + " AND file < " + std::to_string(std::max(files_.current(), knownFile_));
  if (!exec("BEGIN IMMEDIATE")) return false;
  // The bytes go before the rows that say where they are: a failed commit
  // leaves rows that read as forgotten, never old messages on the disk.
  const auto erase = [&] {
    std::vector<std::uint64_t> files;  // ascending
    const Finalize whole{prepare("SELECT file" + older + " ORDER BY file")};
    const Finalize rows{prepare("SELECT messages FROM history_batches WHERE last_at < " + at +
                                " AND length(messages) = " + std::to_string(RowPlace::kBytes))};
    if (!rows.statement || !whole.statement) return false;
    while (sqlite3_step(whole.statement) == SQLITE_ROW)
      files.push_back(static_cast<std::uint64_t>(sqlite3_column_int64(whole.statement, 0)));
    while (sqlite3_step(rows.statement) == SQLITE_ROW) {
      const auto place = RowPlace::decode(columnBlob(rows.statement, 0));
      if (place && !std::binary_search(files.begin(), files.end(), place->file) && !files_.erase(*place, error_))
        return false;
    }
    for (const std::uint64_t file : files)
      if (!files_.remove(file, error_)) return false;
    return true;
  };
  if (erase() && exec(("DELETE FROM history_batches WHERE last_at < " + at + "; DELETE FROM history_gaps WHERE to_at < " +
                       at + "; DELETE" + older + "; COMMIT")
                          .c_str()))
    return true;
  const std::string why = error_;
  exec("ROLLBACK");
  error_ = why;
  return false;
}

bool SqliteHistory::gatherRow(sqlite3_stmt* s, history_sql::MissedGather& gather) {
  InstanceId origin{};
  if (sqlite3_column_bytes(s, 0) == static_cast<int>(origin.size()))
    std::memcpy(origin.data(), sqlite3_column_blob(s, 0), origin.size());
  const auto firstSeq = static_cast<std::uint64_t>(sqlite3_column_int64(s, 1));
  std::span<const unsigned char> messages = columnBlob(s, 2);
  // Rows written before their messages went to files hold them here.
  if (const auto place = RowPlace::decode(messages)) {
    bool gone = false;
    if (!files_.read(*place, rowBytes_, gone, error_)) return false;
    if (gone) return true;
    messages = rowBytes_;
  }
  if (gather.add(origin, firstSeq, messages)) return true;
  error_ = "a row of messages that does not read back";
  return false;
}

bool SqliteHistory::departure(const Key& identity, std::optional<Departure>& found) {
  Reset reset{departure_};
  bindBlob(departure_, 1, identity);
  const int status = sqlite3_step(departure_);
  if (status == SQLITE_DONE) return true;
  if (status != SQLITE_ROW) return fail();
  found = history_sql::decodeDeparture(identity, sqlite3_column_int64(departure_, 0), columnBlob(departure_, 1),
                                       columnBlob(departure_, 2));
  if (!found) error_ = "a departure that does not read back";
  return found.has_value();
}

bool SqliteHistory::arrival(const Key& identity, std::optional<Arrival>& found) {
  Reset reset{arrival_};
  bindBlob(arrival_, 1, identity);
  const int status = sqlite3_step(arrival_);
  if (status == SQLITE_DONE) return true;
  if (status != SQLITE_ROW) return fail();
  Arrival arrival{identity};
  if (sqlite3_column_bytes(arrival_, 0) != static_cast<int>(arrival.origin.size())) {
    error_ = "an arrival that does not read back";
    return false;
  }
  std::memcpy(arrival.origin.data(), sqlite3_column_blob(arrival_, 0), arrival.origin.size());
  arrival.session = static_cast<std::uint64_t>(sqlite3_column_int64(arrival_, 1));
  arrival.at = sqlite3_column_int64(arrival_, 2);
  found = arrival;
  return true;
}

bool SqliteHistory::departed(const std::function<void(const Key&)>& each) {
  const Finalize all{prepare("SELECT identity FROM history_departures UNION SELECT identity FROM history_arrivals")};
  if (!all.statement) return false;
  int status;
  while ((status = sqlite3_step(all.statement)) == SQLITE_ROW) {
    Key identity{};
    if (sqlite3_column_bytes(all.statement, 0) != static_cast<int>(identity.size())) continue;
    std::memcpy(identity.data(), sqlite3_column_blob(all.statement, 0), identity.size());
    each(identity);
  }
  return status == SQLITE_DONE || fail();
}

bool SqliteHistory::origins(std::vector<OriginMark>& marks) {
  Reset reset{through_};
  int status;
  while ((status = sqlite3_step(through_)) == SQLITE_ROW) {
    OriginMark mark;
    if (sqlite3_column_bytes(through_, 0) == static_cast<int>(mark.origin.size()))
      std::memcpy(mark.origin.data(), sqlite3_column_blob(through_, 0), mark.origin.size());
    mark.next = static_cast<std::uint64_t>(sqlite3_column_int64(through_, 1));
    mark.writtenAt = sqlite3_column_int64(through_, 2);
    marks.push_back(mark);
  }
  return status == SQLITE_DONE || fail();
}

bool SqliteHistory::gapsSince(std::int64_t at, bool& any) {
  Reset reset{gapsSince_};
  sqlite3_bind_int64(gapsSince_, 1, at);
  if (sqlite3_step(gapsSince_) != SQLITE_ROW) return fail();
  any = sqlite3_column_int64(gapsSince_, 0) > 0;
  return true;
}

bool SqliteHistory::missed(const MissedQuery& query, std::vector<Stored>& rows, std::uint64_t& total) {
  // A file left open would keep a removed one's bytes on the disk.
  const struct CloseRead {
    HistoryFiles& files;
    ~CloseRead() { files.closeRead(); }
  } closing{files_};
  int n = 0;
  const auto param = [&](char) {
    // Appended piece by piece: GCC 12 warns, wrongly, about "?" + string.
    std::string placeholder = "?";
    placeholder += std::to_string(++n);
    return placeholder;
  };
  const Finalize search{prepare(history_sql::rowSearch(query.departed.size(), query.joined.size(), param))};
  n = 0;
  const Finalize listed{prepare(history_sql::listedRowSearch(param))};
  if (!search.statement || !listed.statement) return false;
  int at = 0;
  for (const Cut* cut : {&query.departed, &query.joined}) {
    bindBlob(search.statement, ++at, nullptr, 0);
    sqlite3_bind_int64(search.statement, ++at, 0);
    for (const auto& [origin, next] : *cut) {
      bindBlob(search.statement, ++at, origin);
      sqlite3_bind_int64(search.statement, ++at, static_cast<std::int64_t>(next));
    }
  }
  sqlite3_bind_int64(search.statement, ++at, query.since);
  sqlite3_bind_int64(search.statement, ++at, query.startedAt);
  history_sql::MissedGather gather(query);
  const auto gatherAll = [&](sqlite3_stmt* s) {
    int status;
    while ((status = sqlite3_step(s)) == SQLITE_ROW)
      if (!gatherRow(s, gather)) return false;
    return status == SQLITE_DONE || fail();
  };
  if (!gatherAll(search.statement)) return false;
  // The listed ones, one run of each origin's seqs at a time.
  for (const auto& [origin, run] : history_sql::listedRuns(query.listed)) {
    Reset reset{listed.statement};
    bindBlob(listed.statement, 1, origin);
    sqlite3_bind_int64(listed.statement, 2, static_cast<std::int64_t>(run.second));
    sqlite3_bind_int64(listed.statement, 3, static_cast<std::int64_t>(run.first));
    bindBlob(listed.statement, 4, origin);
    sqlite3_bind_int64(listed.statement, 5, static_cast<std::int64_t>(run.first));
    if (!gatherAll(listed.statement)) return false;
  }
  gather.take(rows);
  total = gather.total();
  return true;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::openSqlite(const std::string& path, std::string& error,
                                                       std::uint64_t fileBytes) {
  return SqliteHistory::open(path, fileBytes, error);
}

}  // namespace sotto
