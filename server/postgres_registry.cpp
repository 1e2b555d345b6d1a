// The registry in PostgreSQL, for several servers that share one. Statements
// run one at a time on one connection; parameters and results travel in
// binary, read and written byte by byte.
#include <libpq-fe.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "server/postgres_wire.hpp"
#include "server/registry.hpp"

namespace sotto {

namespace {

// One statement each: parameterised calls take no more.
constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS identities ("
    "  key bytea PRIMARY KEY CHECK (octet_length(key) = 32),"
    "  first_seen bigint NOT NULL,"
    "  last_seen bigint NOT NULL"
    ")",
    "CREATE TABLE IF NOT EXISTS hellos ("
    "  digest bytea PRIMARY KEY,"
    "  seen bigint NOT NULL"
    ")",
    "CREATE INDEX IF NOT EXISTS hellos_by_time ON hellos (seen)",
};

// The states the operator gave identities, and a count of the writes, which
// running servers read to learn of a change; one statement each.
constexpr const char* kStatesSchema[] = {
    "CREATE TABLE IF NOT EXISTS identity_states ("
    "  key bytea PRIMARY KEY CHECK (octet_length(key) = 32),"
    "  state text NOT NULL CHECK (state IN ('allowed', 'revoked')),"
    "  changed bigint NOT NULL"
    ")",
    "CREATE TABLE IF NOT EXISTS state_changes ("
    "  one int PRIMARY KEY CHECK (one = 1),"
    "  count bigint NOT NULL"
    ")",
    "INSERT INTO state_changes (one, count) VALUES (1, 0) ON CONFLICT (one) DO NOTHING",
};

using pg::int8;
using pg::oneLine;
using pg::readInt8;

struct Param {
  const char* data;
  int length;
};

template <std::size_t N>
Param param(const std::array<unsigned char, N>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), static_cast<int>(N)};
}
Param param(const std::array<char, 8>& value) { return {value.data(), static_cast<int>(value.size())}; }
Param param(std::string_view text) { return {text.data(), static_cast<int>(text.size())}; }

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

class PostgresRegistry final : public Registry {
 public:
  static std::unique_ptr<Registry> connect(const std::string& conninfo, std::string& error);
  ~PostgresRegistry() override { PQfinish(conn_); }

  Result insert(const Key& key, const Entry& entry) override;
  Result seen(const Key& key, std::int64_t now) override;
  std::optional<Entry> find(const Key& key) override;
  bool forEach(const std::function<void(const Key&, const Entry&)>& each) override;
  bool transaction(const std::function<bool()>& body) override;
  bool connected() const override { return PQstatus(conn_) == CONNECTION_OK; }
  bool reconnect() override;
  Result noteHello(const HelloDigest& digest, std::int64_t now) override;
  bool forgetHellos(std::int64_t before, std::size_t keep) override;
  bool forEachHello(std::size_t most, const std::function<void(const HelloDigest&)>& each) override;
  void interrupt() override;
  std::string lastError() const override { return error_; }
  bool writeState(const Key& key, IdentityState state, std::int64_t now) override;
  std::optional<IdentityState> storedState(const Key& key) override;
  bool forEachStoredState(const std::function<void(const Key&, IdentityState)>& each) override;
  std::optional<std::int64_t> stateChanges() override;

 private:
  explicit PostgresRegistry(PGconn* conn) : conn_(conn) {}
  // Runs sql with binary parameters and results. Null, with error_ set,
  // unless the result has the status expected.
  ResultPtr run(const char* sql, std::initializer_list<Param> params, ExecStatusType expected);
  // Makes the tables of identities' states where they are missing.
  bool setUpStates();
  // Runs a statement that returns no rows; the number of rows it changed,
  // or -1 on failure.
  long change(const char* sql, std::initializer_list<Param> params);

  PGconn* conn_;
  std::string error_;
  // What interrupt() needs to reach the backend.
  pg::Cancel cancel_;
};

std::unique_ptr<Registry> PostgresRegistry::connect(const std::string& conninfo, std::string& error) {
  std::unique_ptr<PostgresRegistry> registry(new PostgresRegistry(pg::connect(conninfo)));
  if (!registry->conn_) {
    error = "cannot reach the registry database: out of memory";
    return nullptr;
  }
  if (!registry->connected()) {
    error = "cannot reach the registry database: " + oneLine(PQerrorMessage(registry->conn_));
    return nullptr;
  }
  // Two servers starting at once can both miss the table and collide making
  // it; the second try finds it.
  for (const char* statement : kSchema)
    if (!registry->run(statement, {}, PGRES_COMMAND_OK) && !registry->run(statement, {}, PGRES_COMMAND_OK)) {
      error = "cannot set up the registry tables: " + registry->error_;
      return nullptr;
    }
  if (!registry->setUpStates()) {
    error = "cannot set up the identity states: " + registry->error_;
    return nullptr;
  }
  registry->cancel_.keep(registry->conn_);
  return registry;
}

bool PostgresRegistry::reconnect() {
  cancel_.keep(nullptr);
  PQreset(conn_);
  if (connected()) {
    cancel_.keep(conn_);
    return true;
  }
  error_ = oneLine(PQerrorMessage(conn_));
  return false;
}

void PostgresRegistry::interrupt() { cancel_.fire(); }

ResultPtr PostgresRegistry::run(const char* sql, std::initializer_list<Param> params, ExecStatusType expected) {
  const char* values[3] = {};
  int lengths[3] = {};
  const int formats[3] = {1, 1, 1};
  if (params.size() > std::size(values)) {
    error_ = "too many parameters";
    return ResultPtr(nullptr, &PQclear);
  }
  int n = 0;
  for (const Param& p : params) {
    values[n] = p.data;
    lengths[n++] = p.length;
  }
  ResultPtr result(PQexecParams(conn_, sql, n, nullptr, values, lengths, formats, 1), &PQclear);
  if (result && PQresultStatus(result.get()) == expected) return result;
  error_ = oneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn_));
  return ResultPtr(nullptr, &PQclear);
}

long PostgresRegistry::change(const char* sql, std::initializer_list<Param> params) {
  const ResultPtr result = run(sql, params, PGRES_COMMAND_OK);
  return result ? std::strtol(PQcmdTuples(result.get()), nullptr, 10) : -1;
}

bool PostgresRegistry::transaction(const std::function<bool()>& body) {
  if (!run("BEGIN", {}, PGRES_COMMAND_OK)) return false;
  if (body()) {
    // A transaction that failed inside reports its COMMIT as a ROLLBACK.
    const ResultPtr commit = run("COMMIT", {}, PGRES_COMMAND_OK);
    if (commit && std::strcmp(PQcmdStatus(commit.get()), "COMMIT") == 0) return true;
    if (commit) error_ = "the transaction was rolled back";
    return false;
  }
  const std::string why = error_;
  run("ROLLBACK", {}, PGRES_COMMAND_OK);
  error_ = why;
  return false;
}

Registry::Result PostgresRegistry::insert(const Key& key, const Entry& entry) {
  const auto first = int8(entry.firstSeen), last = int8(entry.lastSeen);
  const long rows = change(
      "INSERT INTO identities (key, first_seen, last_seen) VALUES ($1::bytea, $2::bigint, $3::bigint)"
      " ON CONFLICT (key) DO NOTHING",
      {param(key), param(first), param(last)});
  return rows < 0 ? Result::failed : rows == 1 ? Result::added : Result::known;
}

Registry::Result PostgresRegistry::seen(const Key& key, std::int64_t now) {
  const auto time = int8(now);
  const long rows = change("UPDATE identities SET last_seen = GREATEST(last_seen, $2::bigint) WHERE key = $1::bytea",
                           {param(key), param(time)});
  return rows < 0 ? Result::failed : rows == 1 ? Result::known : Result::unknown;
}

std::optional<Registry::Entry> PostgresRegistry::find(const Key& key) {
  const ResultPtr result =
      run("SELECT first_seen, last_seen FROM identities WHERE key = $1::bytea", {param(key)}, PGRES_TUPLES_OK);
  if (!result || PQntuples(result.get()) != 1) return std::nullopt;
  return Entry{readInt8(PQgetvalue(result.get(), 0, 0)), readInt8(PQgetvalue(result.get(), 0, 1))};
}

bool PostgresRegistry::forEach(const std::function<void(const Key&, const Entry&)>& each) {
  const ResultPtr result = run("SELECT key, first_seen, last_seen FROM identities", {}, PGRES_TUPLES_OK);
  if (!result) return false;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    if (PQgetlength(result.get(), row, 0) != static_cast<int>(kKeySize)) continue;
    Key key;
    std::memcpy(key.data(), PQgetvalue(result.get(), row, 0), key.size());
    each(key, Entry{readInt8(PQgetvalue(result.get(), row, 1)), readInt8(PQgetvalue(result.get(), row, 2))});
  }
  return true;
}

bool PostgresRegistry::setUpStates() {
  // Two servers starting at once can collide as with the registry table.
  for (const char* statement : kStatesSchema)
    if (!run(statement, {}, PGRES_COMMAND_OK) && !run(statement, {}, PGRES_COMMAND_OK)) return false;
  return true;
}

bool PostgresRegistry::writeState(const Key& key, IdentityState state, std::int64_t now) {
  const auto time = int8(now);
  const long rows =
      state == IdentityState::allowed || state == IdentityState::revoked
          ? change("INSERT INTO identity_states (key, state, changed) VALUES ($1::bytea, $2::text, $3::bigint)"
                   " ON CONFLICT (key) DO UPDATE SET state = excluded.state, changed = excluded.changed",
                   {param(key), param(stateName(state)), param(time)})
          : change("DELETE FROM identity_states WHERE key = $1::bytea", {param(key)});
  return rows >= 0 && change("UPDATE state_changes SET count = count + 1", {}) >= 0;
}

std::optional<IdentityState> PostgresRegistry::storedState(const Key& key) {
  const ResultPtr result =
      run("SELECT state FROM identity_states WHERE key = $1::bytea", {param(key)}, PGRES_TUPLES_OK);
  if (!result) return std::nullopt;
  if (PQntuples(result.get()) != 1) return IdentityState::unknown;
  return parseState(PQgetvalue(result.get(), 0, 0)).value_or(IdentityState::unknown);
}

bool PostgresRegistry::forEachStoredState(const std::function<void(const Key&, IdentityState)>& each) {
  const ResultPtr result = run("SELECT key, state FROM identity_states", {}, PGRES_TUPLES_OK);
  if (!result) return false;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const std::optional<IdentityState> state =
        parseState(std::string_view(PQgetvalue(result.get(), row, 1), PQgetlength(result.get(), row, 1)));
    if (PQgetlength(result.get(), row, 0) != static_cast<int>(kKeySize) || !state) continue;
    Key key;
    std::memcpy(key.data(), PQgetvalue(result.get(), row, 0), key.size());
    each(key, *state);
  }
  return true;
}

Registry::Result PostgresRegistry::noteHello(const HelloDigest& digest, std::int64_t now) {
  const auto time = int8(now);
  const long rows = change("INSERT INTO hellos (digest, seen) VALUES ($1::bytea, $2::bigint) ON CONFLICT DO NOTHING",
                           {param(digest), param(time)});
  return rows < 0 ? Result::failed : rows == 1 ? Result::added : Result::known;
}

bool PostgresRegistry::forgetHellos(std::int64_t before, std::size_t keep) {
  const auto time = int8(before), most = int8(static_cast<std::int64_t>(keep));
  return change("DELETE FROM hellos WHERE seen < $1::bigint", {param(time)}) >= 0 &&
         change("DELETE FROM hellos WHERE digest IN (SELECT digest FROM hellos ORDER BY seen DESC OFFSET $1::bigint)",
                {param(most)}) >= 0;
}

bool PostgresRegistry::forEachHello(std::size_t most, const std::function<void(const HelloDigest&)>& each) {
  const auto limit = int8(static_cast<std::int64_t>(most));
  const ResultPtr result =
      run("SELECT digest FROM hellos ORDER BY seen DESC LIMIT $1::bigint", {param(limit)}, PGRES_TUPLES_OK);
  if (!result) return false;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    HelloDigest digest;
    if (PQgetlength(result.get(), row, 0) != static_cast<int>(digest.size())) continue;
    std::memcpy(digest.data(), PQgetvalue(result.get(), row, 0), digest.size());
    each(digest);
  }
  return true;
}

std::optional<std::int64_t> PostgresRegistry::stateChanges() {
  const ResultPtr result = run("SELECT count FROM state_changes", {}, PGRES_TUPLES_OK);
  if (!result || PQntuples(result.get()) != 1 || PQgetlength(result.get(), 0, 0) != 8) {
    if (result) error_ = "the count of state changes is missing";
    return std::nullopt;
  }
  return readInt8(PQgetvalue(result.get(), 0, 0));
}

}  // namespace

std::unique_ptr<Registry> Registry::openPostgres(const std::string& conninfo, std::string& error) {
  return PostgresRegistry::connect(conninfo, error);
}

}  // namespace sotto
