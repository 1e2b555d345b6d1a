// What the server's PostgreSQL stores share: the connection with its bounds,
// one-line messages, and values passed and read in binary.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sotto::pg {

// libpq's messages span lines ("...failed: ...\n\tIs the server running...");
// the log and the command line want one.
std::string oneLine(const char* message);

// bigint in PostgreSQL's binary format: eight bytes, big-endian.
std::array<char, 8> int8(std::int64_t value);
std::int64_t readInt8(const char* in);

// Connects with bounds on the connect, a dead peer and each statement, so
// that a database that drops packets, or a lock nobody releases, cannot hold
// a thread for hours; the operator's string overrides them. Null only when
// out of memory; check PQstatus.
PGconn* connect(const std::string& conninfo);

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// What another thread needs to cancel the statement under way on a
// connection: kept() by the connection's thread after each (re)connection,
// fire() from any thread. It connects to the database on its own to ask,
// and a frozen backend will not hear it: callers never wait for it.
class Cancel {
 public:
  Cancel() = default;
  ~Cancel() { keep(nullptr); }
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;
  void keep(PGconn* conn);
  void fire();

 private:
  std::mutex mutex_;
  PGcancel* cancel_ = nullptr;
};

// The values of one statement, in binary, in the order of $1, $2, ...
class Params {
 public:
  Params& bytes(const unsigned char* data, std::size_t size);
  Params& int8(std::int64_t value);
  Params& null();
  // Runs sql with these values, results in binary.
  Result run(PGconn* conn, const std::string& sql) const;

 private:
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
};

}  // namespace sotto::pg
