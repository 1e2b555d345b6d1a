// Registered identities, in SQLite: key, first seen, last seen (Unix seconds).
// Every write is its own transaction on a write-ahead log with full sync, so
// a crash after a registration was answered cannot lose it. Several processes
// may share the file (the running server and an enrolment).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "proto/handshake.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace sotto {

inline constexpr const char* kRegistryFileName = "registry.sqlite3";

class Registry {
 public:
  enum class Result { added, known, unknown, failed };
  struct Entry {
    std::int64_t firstSeen = 0;
    std::int64_t lastSeen = 0;
  };

  // Opens or creates the database. Null with error set on failure.
  static std::unique_ptr<Registry> open(const std::string& path, std::string& error);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Registers key (added), or only refreshes its last-seen time (known).
  Result enrol(const Key& key, std::int64_t now);
  // Refreshes the last-seen time of a registered key (known), or says unknown.
  Result seen(const Key& key, std::int64_t now);
  std::optional<Entry> find(const Key& key);
  // SQLite's message for the last failed call.
  std::string lastError() const;

 private:
  Registry() = default;
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
};

}  // namespace sotto
