// The identity registry in SQLite (the PostgreSQL one is in
// postgres_registry.cpp), and openRegistry, which picks one of the two.
#include "server/registry.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

namespace sotto {

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode = WAL;"
    "CREATE TABLE IF NOT EXISTS identities ("
    "  key BLOB PRIMARY KEY NOT NULL CHECK (length(key) = 32),"
    "  first_seen INTEGER NOT NULL,"
    "  last_seen INTEGER NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS hellos ("
    "  digest BLOB PRIMARY KEY NOT NULL,"
    "  seen INTEGER NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS hellos_by_time ON hellos (seen);";

// The registry lists who uses the server and when: the owner's alone,
// whatever the umask or an older version left. SQLite gives its -wal and
// -shm files the mode of the database file when it makes them.
//
// A file that is there is never opened here: closing any descriptor of it
// drops every POSIX lock this process holds on it, those of the
// connections it already has (the state watch opens a second one), and a
// command beside the server would then find the write-ahead log unused and
// fold it away under them.
bool keepPrivate(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const bool ok = ::fchmod(fd, 0600) == 0;
    if (!ok) error = "cannot open " + path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
  }
  struct stat st{};
  if (errno != EEXIST || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::chmod(path.c_str(), 0600) != 0) {
    error = "cannot open " + path + ": " + std::strerror(errno == EEXIST ? ELOOP : errno);
    return false;
  }
  for (const char* side : {"-wal", "-shm"}) ::chmod((path + side).c_str(), 0600);
  return true;
}

// The states the operator gave identities, and a count of the writes, which
// running servers read to learn of a change. The count's one row is there
// from the start.
constexpr const char* kStatesSchema =
    "CREATE TABLE IF NOT EXISTS identity_states ("
    "  key BLOB PRIMARY KEY NOT NULL CHECK (length(key) = 32),"
    "  state TEXT NOT NULL CHECK (state IN ('allowed', 'revoked')),"
    "  changed INTEGER NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS state_changes ("
    "  one INTEGER PRIMARY KEY CHECK (one = 1),"
    "  count INTEGER NOT NULL"
    ");"
    "INSERT INTO state_changes (one, count) VALUES (1, 0) ON CONFLICT (one) DO NOTHING;";

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

struct Prepared {
  sqlite3_stmt** statement;
  const char* sql;
};

// Prepares each statement to be kept for the connection's life.
bool prepareAll(sqlite3* db, std::span<const Prepared> statements) {
  for (const auto& s : statements)
    if (sqlite3_prepare_v3(db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr) != SQLITE_OK) return false;
  return true;
}

// The statements on identities' states, prepared with the others.
struct StateStatements {
  sqlite3_stmt* write = nullptr;
  sqlite3_stmt* clear = nullptr;
  sqlite3_stmt* count = nullptr;
  sqlite3_stmt* read = nullptr;
  sqlite3_stmt* readAll = nullptr;
  sqlite3_stmt* changes = nullptr;

  bool prepare(sqlite3* db) {
    if (sqlite3_exec(db, kStatesSchema, nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    const Prepared statements[] = {
        {&write,
         "INSERT INTO identity_states (key, state, changed) VALUES (?1, ?2, ?3)"
         " ON CONFLICT (key) DO UPDATE SET state = excluded.state, changed = excluded.changed"},
        {&clear, "DELETE FROM identity_states WHERE key = ?1"},
        {&count, "UPDATE state_changes SET count = count + 1"},
        {&read, "SELECT state FROM identity_states WHERE key = ?1"},
        {&readAll, "SELECT key, state FROM identity_states"},
        {&changes, "SELECT count FROM state_changes"},
    };
    return prepareAll(db, statements);
  }
  void finalize() {
    for (sqlite3_stmt* s : {write, clear, count, read, readAll, changes}) sqlite3_finalize(s);
  }
};

std::optional<IdentityState> columnState(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return parseState(text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                         : std::string_view());
}

// Every write is its own transaction on a write-ahead log with full sync.
// Several processes may share the file (the running server and an enrolment).
class SqliteRegistry final : public Registry {
 public:
  static std::unique_ptr<Registry> open(const std::string& path, std::string& error);
  ~SqliteRegistry() override;

  Result insert(const Key& key, const Entry& entry) override;
  Result seen(const Key& key, std::int64_t now) override;
  std::optional<Entry> find(const Key& key) override;
  bool forEach(const std::function<void(const Key&, const Entry&)>& each) override;
  bool transaction(const std::function<bool()>& body) override;
  Result noteHello(const HelloDigest& digest, std::int64_t now) override;
  bool forgetHellos(std::int64_t before, std::size_t keep) override;
  bool forEachHello(std::size_t most, const std::function<void(const HelloDigest&)>& each) override;
  void interrupt() override { sqlite3_interrupt(db_); }
  std::string lastError() const override { return error_; }
  bool writeState(const Key& key, IdentityState state, std::int64_t now) override;
  std::optional<IdentityState> storedState(const Key& key) override;
  bool forEachStoredState(const std::function<void(const Key&, IdentityState)>& each) override;
  std::optional<std::int64_t> stateChanges() override;

 private:
  SqliteRegistry() = default;
  // Runs a statement that returns no rows, then resets it; keeps the error.
  bool step(sqlite3_stmt* statement);

  std::string error_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* rollback_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* touch_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* selectAll_ = nullptr;
  sqlite3_stmt* noteHello_ = nullptr;
  sqlite3_stmt* forgetOld_ = nullptr;
  sqlite3_stmt* forgetBeyond_ = nullptr;
  sqlite3_stmt* newestHellos_ = nullptr;
  StateStatements states_;
};

std::unique_ptr<Registry> SqliteRegistry::open(const std::string& path, std::string& error) {
  std::unique_ptr<SqliteRegistry> registry(new SqliteRegistry);
  sqlite3*& db = registry->db_;
  auto fail = [&](const std::string& what) {
    error = what + " " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return nullptr;
  };
  if (!keepPrivate(path, error)) return nullptr;
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
  const Prepared statements[] = {
      {&registry->begin_, "BEGIN IMMEDIATE"},
      {&registry->commit_, "COMMIT"},
      {&registry->rollback_, "ROLLBACK"},
      {&registry->insert_,
       "INSERT INTO identities (key, first_seen, last_seen) VALUES (?1, ?2, ?3) ON CONFLICT (key) DO NOTHING"},
      {&registry->touch_, "UPDATE identities SET last_seen = max(last_seen, ?2) WHERE key = ?1"},
      {&registry->select_, "SELECT first_seen, last_seen FROM identities WHERE key = ?1"},
      {&registry->selectAll_, "SELECT key, first_seen, last_seen FROM identities"},
      {&registry->noteHello_, "INSERT INTO hellos (digest, seen) VALUES (?1, ?2) ON CONFLICT (digest) DO NOTHING"},
      {&registry->forgetOld_, "DELETE FROM hellos WHERE seen < ?1"},
      {&registry->forgetBeyond_,
       "DELETE FROM hellos WHERE digest IN (SELECT digest FROM hellos ORDER BY seen DESC LIMIT -1 OFFSET ?1)"},
      {&registry->newestHellos_, "SELECT digest FROM hellos ORDER BY seen DESC LIMIT ?1"},
  };
  if (!prepareAll(db, statements)) return fail("cannot prepare statements for");
  if (!registry->states_.prepare(db)) return fail("cannot set up identity states in");
  return registry;
}

SqliteRegistry::~SqliteRegistry() {
  for (sqlite3_stmt* s : {begin_, commit_, rollback_, insert_, touch_, select_, selectAll_, noteHello_, forgetOld_,
                          forgetBeyond_, newestHellos_})
    sqlite3_finalize(s);
  states_.finalize();
  sqlite3_close(db_);
}

bool SqliteRegistry::step(sqlite3_stmt* statement) {
  Reset reset{statement};
  if (sqlite3_step(statement) == SQLITE_DONE) return true;
  error_ = sqlite3_errmsg(db_);
  return false;
}

bool SqliteRegistry::transaction(const std::function<bool()>& body) {
  if (!step(begin_)) return false;
  if (body() && step(commit_)) return true;
  const std::string why = error_;
  step(rollback_);
  error_ = why;
  return false;
}

Registry::Result SqliteRegistry::insert(const Key& key, const Entry& entry) {
  bindKey(insert_, key);
  sqlite3_bind_int64(insert_, 2, entry.firstSeen);
  sqlite3_bind_int64(insert_, 3, entry.lastSeen);
  if (!step(insert_)) return Result::failed;
  return sqlite3_changes(db_) == 1 ? Result::added : Result::known;
}

Registry::Result SqliteRegistry::seen(const Key& key, std::int64_t now) {
  bindKey(touch_, key);
  sqlite3_bind_int64(touch_, 2, now);
  if (!step(touch_)) return Result::failed;
  return sqlite3_changes(db_) == 1 ? Result::known : Result::unknown;
}

std::optional<Registry::Entry> SqliteRegistry::find(const Key& key) {
  Reset reset{select_};
  bindKey(select_, key);
  if (sqlite3_step(select_) != SQLITE_ROW) return std::nullopt;
  return Entry{sqlite3_column_int64(select_, 0), sqlite3_column_int64(select_, 1)};
}

bool SqliteRegistry::forEach(const std::function<void(const Key&, const Entry&)>& each) {
  Reset reset{selectAll_};
  int status;
  while ((status = sqlite3_step(selectAll_)) == SQLITE_ROW) {
    // The schema checks the length; a file edited by hand could still lie.
    if (sqlite3_column_bytes(selectAll_, 0) != static_cast<int>(kKeySize)) continue;
    Key key;
    std::memcpy(key.data(), sqlite3_column_blob(selectAll_, 0), key.size());
    each(key, Entry{sqlite3_column_int64(selectAll_, 1), sqlite3_column_int64(selectAll_, 2)});
  }
  if (status == SQLITE_DONE) return true;
  error_ = sqlite3_errmsg(db_);
  return false;
}

bool SqliteRegistry::writeState(const Key& key, IdentityState state, std::int64_t now) {
  const bool stored = state == IdentityState::allowed || state == IdentityState::revoked;
  sqlite3_stmt* statement = stored ? states_.write : states_.clear;
  bindKey(statement, key);
  if (stored) {
    const std::string_view word = stateName(state);
    sqlite3_bind_text(statement, 2, word.data(), static_cast<int>(word.size()), SQLITE_STATIC);
    sqlite3_bind_int64(statement, 3, now);
  }
  return step(statement) && step(states_.count);
}

std::optional<IdentityState> SqliteRegistry::storedState(const Key& key) {
  Reset reset{states_.read};
  bindKey(states_.read, key);
  const int status = sqlite3_step(states_.read);
  if (status == SQLITE_DONE) return IdentityState::unknown;
  if (status == SQLITE_ROW) return columnState(states_.read, 0).value_or(IdentityState::unknown);
  error_ = sqlite3_errmsg(db_);
  return std::nullopt;
}

bool SqliteRegistry::forEachStoredState(const std::function<void(const Key&, IdentityState)>& each) {
  Reset reset{states_.readAll};
  int status;
  while ((status = sqlite3_step(states_.readAll)) == SQLITE_ROW) {
    const std::optional<IdentityState> state = columnState(states_.readAll, 1);
    if (sqlite3_column_bytes(states_.readAll, 0) != static_cast<int>(kKeySize) || !state) continue;
    Key key;
    std::memcpy(key.data(), sqlite3_column_blob(states_.readAll, 0), key.size());
    each(key, *state);
  }
  if (status == SQLITE_DONE) return true;
  error_ = sqlite3_errmsg(db_);
  return false;
}

Registry::Result SqliteRegistry::noteHello(const HelloDigest& digest, std::int64_t now) {
  sqlite3_bind_blob(noteHello_, 1, digest.data(), static_cast<int>(digest.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(noteHello_, 2, now);
  if (!step(noteHello_)) return Result::failed;
  return sqlite3_changes(db_) == 1 ? Result::added : Result::known;
}

bool SqliteRegistry::forgetHellos(std::int64_t before, std::size_t keep) {
  sqlite3_bind_int64(forgetOld_, 1, before);
  sqlite3_bind_int64(forgetBeyond_, 1, static_cast<sqlite3_int64>(keep));
  return step(forgetOld_) && step(forgetBeyond_);
}

bool SqliteRegistry::forEachHello(std::size_t most, const std::function<void(const HelloDigest&)>& each) {
  Reset reset{newestHellos_};
  sqlite3_bind_int64(newestHellos_, 1, static_cast<sqlite3_int64>(most));
  int status;
  while ((status = sqlite3_step(newestHellos_)) == SQLITE_ROW) {
    HelloDigest digest;
    if (sqlite3_column_bytes(newestHellos_, 0) != static_cast<int>(digest.size())) continue;
    std::memcpy(digest.data(), sqlite3_column_blob(newestHellos_, 0), digest.size());
    each(digest);
  }
  if (status == SQLITE_DONE) return true;
  error_ = sqlite3_errmsg(db_);
  return false;
}

std::optional<std::int64_t> SqliteRegistry::stateChanges() {
  Reset reset{states_.changes};
  if (sqlite3_step(states_.changes) == SQLITE_ROW) return sqlite3_column_int64(states_.changes, 0);
  error_ = sqlite3_errmsg(db_);
  return std::nullopt;
}

}  // namespace

std::unique_ptr<Registry> Registry::open(const std::string& path, std::string& error) {
  return SqliteRegistry::open(path, error);
}

Registry::Result Registry::enrolWithin(const Key& key, std::int64_t now) {
  const Result result = insert(key, Entry{now, now});
  if (result == Result::known && seen(key, now) != Result::known) return Result::failed;
  return result;
}

Registry::Result Registry::enrol(const Key& key, std::int64_t now) {
  Result result = Result::failed;
  const bool committed = transaction([&] { return (result = enrolWithin(key, now)) != Result::failed; });
  return committed ? result : Result::failed;
}

std::unique_ptr<Registry> openRegistry(const std::optional<std::string>& postgres, const std::string& dataDir,
                                       std::string& error) {
  if (postgres) return Registry::openPostgres(*postgres, error);
  return Registry::open(dataDir + "/" + kRegistryFileName, error);
}

}  // namespace sotto
