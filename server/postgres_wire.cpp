#include "server/postgres_wire.hpp"

namespace sotto::pg {

std::string oneLine(const char* message) {
  std::string line;
  bool space = false;
  for (const char* c = message ? message : ""; *c; ++c) {
    if (*c == '\n' || *c == '\t' || *c == '\r' || *c == ' ') {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += *c;
  }
  return line.empty() ? "unknown error" : line;
}

void Cancel::keep(PGconn* conn) {
  PGcancel* fresh = conn && PQstatus(conn) == CONNECTION_OK ? PQgetCancel(conn) : nullptr;
  const std::lock_guard lock(mutex_);
  if (cancel_) PQfreeCancel(cancel_);
  cancel_ = fresh;
}

void Cancel::fire() {
  const std::lock_guard lock(mutex_);
  char why[256];
  if (cancel_) PQcancel(cancel_, why, sizeof why);
}

std::array<char, 8> int8(std::int64_t value) {
  std::array<char, 8> out;
  const auto v = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (56 - 8 * i));
  return out;
}

std::int64_t readInt8(const char* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(in[i]);
  return static_cast<std::int64_t>(v);
}

PGconn* connect(const std::string& conninfo) {
  // Keepalives do not help while the database host still acknowledges but
  // answers nothing, or drops packets after data was sent: the user timeout
  // (milliseconds) ends a connection whose data goes unacknowledged.
  const char* const keywords[] = {"connect_timeout",  "keepalives_idle", "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "options",
                                  "fallback_application_name",         "dbname",
                                  nullptr};
  const char* const values[] = {"10", "30", "10", "3", "20000", "-c statement_timeout=30s", "sotto-server",
                                conninfo.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  // "relation already exists, skipping" and the like would go to standard
  // error, one line per start.
  if (conn) PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  return conn;
}

Params& Params::bytes(const unsigned char* data, std::size_t size) {
  if (size == 0)
    values_.emplace_back();
  else
    values_.emplace_back(reinterpret_cast<const char*>(data), size);
  nulls_.push_back(false);
  return *this;
}

Params& Params::int8(std::int64_t value) {
  const auto bytes = pg::int8(value);
  values_.emplace_back(bytes.data(), bytes.size());
  nulls_.push_back(false);
  return *this;
}

Params& Params::null() {
  values_.emplace_back();
  nulls_.push_back(true);
  return *this;
}

Result Params::run(PGconn* conn, const std::string& sql) const {
  std::vector<const char*> values;
  std::vector<int> lengths, formats(values_.size(), 1);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    values.push_back(nulls_[i] ? nullptr : values_[i].data());
    lengths.push_back(static_cast<int>(values_[i].size()));
  }
  return Result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                             lengths.data(), formats.data(), 1),
                &PQclear);
}

}  // namespace sotto::pg
