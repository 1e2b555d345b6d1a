// Registered identities: key, first seen, last seen (Unix seconds), the
// hellos seen lately (server/seen_hellos.hpp), and the states the operator
// gave identities (server/identity_state.hpp), in one of two stores. SQLite
// (DATA_DIR/registry.sqlite3) is the default for a single
// server; PostgreSQL is for several servers that share one registry. Either
// way a write is committed before the call returns, so a registration that
// was answered cannot be lost, and any number of processes may share the
// store: inserts never replace a row, so first_seen never changes once set.
//
// A Registry is not thread-safe: one thread at a time uses it (the server's
// RegistryService gives it a thread of its own), except interrupt().
//
// The SQLite file and its side files are the owner's alone (0600).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "proto/handshake.hpp"
#include "server/identity_state.hpp"
#include "server/seen_hellos.hpp"

namespace sotto {

inline constexpr const char* kRegistryFileName = "registry.sqlite3";

class Registry {
 public:
  // revoked and closed: a registration refused by the identity's state
  // (registerWithin).
  enum class Result { added, known, unknown, failed, revoked, closed };
  struct Entry {
    std::int64_t firstSeen = 0;
    std::int64_t lastSeen = 0;
  };

  // Opens or creates the SQLite file. Null with error set on failure.
  static std::unique_ptr<Registry> open(const std::string& path, std::string& error);
  // Connects to PostgreSQL (a libpq connection string or URI) and creates
  // the table if it is missing. Null with error, one line, on failure.
  static std::unique_ptr<Registry> openPostgres(const std::string& conninfo, std::string& error);

  virtual ~Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Adds key with entry's times (added), or leaves a present row alone (known).
  virtual Result insert(const Key& key, const Entry& entry) = 0;
  // Raises the last-seen time of a registered key (known), or says unknown.
  virtual Result seen(const Key& key, std::int64_t now) = 0;
  virtual std::optional<Entry> find(const Key& key) = 0;
  // Calls each for every registered identity. False on failure.
  virtual bool forEach(const std::function<void(const Key&, const Entry&)>& each) = 0;
  // Runs body in one transaction, committed when body returns true and the
  // commit succeeds; rolled back otherwise.
  virtual bool transaction(const std::function<bool()>& body) = 0;
  // False once the connection to the database is lost; reconnect tries to
  // make a new one. A file is always there.
  virtual bool connected() const { return true; }
  virtual bool reconnect() { return true; }
  // Notes a hello seen at now: added when it is new, known when it was
  // noted before (a replay).
  virtual Result noteHello(const HelloDigest& digest, std::int64_t now) = 0;
  // Forgets the hellos seen before `before`, then the oldest past `keep`.
  virtual bool forgetHellos(std::int64_t before, std::size_t keep) = 0;
  // Calls each for the newest `most` hellos, newest first. False on failure.
  virtual bool forEachHello(std::size_t most, const std::function<void(const HelloDigest&)>& each) = 0;
  // Any thread: asks the statement under way, if any, to give up.
  virtual void interrupt() {}
  // The database's message for the last failed call, on one line.
  virtual std::string lastError() const = 0;

  // The operator's word on identities, each call in the caller's
  // transaction. Every write raises the count of state changes, which
  // running servers watch (StateWatch).
  // Stores allowed or revoked for key; registered or unknown removes what
  // was stored.
  virtual bool writeState(const Key& key, IdentityState state, std::int64_t now) = 0;
  // What is stored for key: allowed, revoked, or unknown for nothing.
  // Nothing on failure.
  virtual std::optional<IdentityState> storedState(const Key& key) = 0;
  // Calls each for every identity with a stored state. False on failure.
  virtual bool forEachStoredState(const std::function<void(const Key&, IdentityState)>& each) = 0;
  // How many state writes there have been; nothing on failure.
  virtual std::optional<std::int64_t> stateChanges() = 0;

  // key's state, from what is stored and its registration. Nothing on
  // failure.
  std::optional<IdentityState> stateOf(const Key& key);
  // Registers a key whose proof of work was checked, as enrol does, in the
  // caller's transaction, unless it is revoked (revoked), or registration
  // is closed and it is neither registered nor allowed (closed).
  Result registerWithin(const Key& key, std::int64_t now, Registration registration);

  // Registers key (added), or only refreshes its last-seen time (known),
  // in a transaction of its own; enrolWithin inside the caller's.
  Result enrol(const Key& key, std::int64_t now);
  Result enrolWithin(const Key& key, std::int64_t now);

 protected:
  Registry() = default;
};

// PostgreSQL with --postgres (a connection string), otherwise the SQLite file
// in the data directory.
std::unique_ptr<Registry> openRegistry(const std::optional<std::string>& postgres, const std::string& dataDir,
                                       std::string& error);

}  // namespace sotto
