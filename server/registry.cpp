#include "server/registry.hpp"

#include <sqlite3.h>

namespace sotto {

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode = WAL;"
    "CREATE TABLE IF NOT EXISTS identities ("
    "  key BLOB PRIMARY KEY NOT NULL CHECK (length(key) = 32),"
    "  first_seen INTEGER NOT NULL,"
    "  last_seen INTEGER NOT NULL"
    ") WITHOUT ROWID;";

// Resets the statement whatever happens, so it never holds a read lock.
struct Reset {
  sqlite3_stmt* statement;
  ~Reset() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

void bindKey(sqlite3_stmt* statement, const Key& key) {
  sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::unique_ptr<Registry> Registry::open(const std::string& path, std::string& error) {
  std::unique_ptr<Registry> registry(new Registry);
  sqlite3*& db = registry->db_;
  auto fail = [&](const std::string& what) {
    error = what + " " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return nullptr;
  };
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK)
    return fail("cannot open");
  // An enrolment and the server may write at the same moment.
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) return fail("cannot set up");
  // Per connection, so set on every open: a commit reaches the disk before
  // the server answers the hello it belongs to.
  if (sqlite3_exec(db, "PRAGMA synchronous = FULL;", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail("cannot set up");
  const struct {
    sqlite3_stmt** statement;
    const char* sql;
  } statements[] = {
      {&registry->begin_, "BEGIN IMMEDIATE"},
      {&registry->commit_, "COMMIT"},
      {&registry->rollback_, "ROLLBACK"},
      {&registry->insert_,
       "INSERT INTO identities (key, first_seen, last_seen) VALUES (?1, ?2, ?2) ON CONFLICT (key) DO NOTHING"},
      {&registry->touch_, "UPDATE identities SET last_seen = ?2 WHERE key = ?1"},
      {&registry->select_, "SELECT first_seen, last_seen FROM identities WHERE key = ?1"},
  };
  for (const auto& s : statements)
    if (sqlite3_prepare_v3(db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr) != SQLITE_OK)
      return fail("cannot prepare statements for");
  return registry;
}

Registry::~Registry() {
  for (sqlite3_stmt* s : {begin_, commit_, rollback_, insert_, touch_, select_}) sqlite3_finalize(s);
  sqlite3_close(db_);
}

bool Registry::step(sqlite3_stmt* statement) {
  Reset reset{statement};
  if (sqlite3_step(statement) == SQLITE_DONE) return true;
  error_ = sqlite3_errmsg(db_);
  return false;
}

Registry::Result Registry::enrol(const Key& key, std::int64_t now) {
  if (!step(begin_)) return Result::failed;
  bindKey(insert_, key);
  sqlite3_bind_int64(insert_, 2, now);
  bool ok = step(insert_);
  const bool added = ok && sqlite3_changes(db_) == 1;
  if (ok && !added) {
    bindKey(touch_, key);
    sqlite3_bind_int64(touch_, 2, now);
    ok = step(touch_);
  }
  if (ok && step(commit_)) return added ? Result::added : Result::known;
  const std::string why = error_;
  step(rollback_);
  error_ = why;
  return Result::failed;
}

Registry::Result Registry::seen(const Key& key, std::int64_t now) {
  bindKey(touch_, key);
  sqlite3_bind_int64(touch_, 2, now);
  if (!step(touch_)) return Result::failed;
  return sqlite3_changes(db_) == 1 ? Result::known : Result::unknown;
}

std::optional<Registry::Entry> Registry::find(const Key& key) {
  Reset reset{select_};
  bindKey(select_, key);
  if (sqlite3_step(select_) != SQLITE_ROW) return std::nullopt;
  return Entry{sqlite3_column_int64(select_, 0), sqlite3_column_int64(select_, 1)};
}

std::string Registry::lastError() const { return error_; }

}  // namespace sotto
