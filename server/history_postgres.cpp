// The history in PostgreSQL, shared by the instances of a cluster. Values
// and results travel in binary, read and written byte by byte.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "server/history_store.hpp"
#include "server/postgres_wire.hpp"

namespace sotto {

namespace {

// One statement each: statements with parameters, as these run, cannot
// hold several.
constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS history_batches ("
    "  origin bytea NOT NULL, first_seq bigint NOT NULL, last_seq bigint NOT NULL,"
    "  first_at bigint NOT NULL, last_at bigint NOT NULL, messages bytea NOT NULL, PRIMARY KEY (origin, first_seq))",
    "CREATE INDEX IF NOT EXISTS history_batches_at ON history_batches (last_at)",
    "CREATE TABLE IF NOT EXISTS history_departures ("
    "  identity bytea PRIMARY KEY, at bigint NOT NULL, cut bytea NOT NULL, missed bytea NOT NULL)",
    "CREATE TABLE IF NOT EXISTS history_arrivals ("
    "  identity bytea PRIMARY KEY, origin bytea NOT NULL, session bigint NOT NULL, at bigint NOT NULL)",
    "CREATE TABLE IF NOT EXISTS history_origins (origin bytea PRIMARY KEY, next bigint NOT NULL, at bigint NOT NULL)",
    "CREATE TABLE IF NOT EXISTS history_gaps ("
    "  origin bytea NOT NULL, from_at bigint NOT NULL, to_at bigint NOT NULL, lost bigint NOT NULL)",
};

// The rows a search found, handed to gather.
bool gatherRows(const PGresult* result, history_sql::MissedGather& gather) {
  for (int row = 0; row < PQntuples(result); ++row) {
    InstanceId origin{};
    if (PQgetlength(result, row, 0) == static_cast<int>(origin.size()))
      std::memcpy(origin.data(), PQgetvalue(result, row, 0), origin.size());
    const auto* messages = reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, 2));
    if (!gather.add(origin, static_cast<std::uint64_t>(pg::readInt8(PQgetvalue(result, row, 1))),
                    std::span(messages, static_cast<std::size_t>(PQgetlength(result, row, 2)))))
      return false;
  }
  return true;
}

class PostgresHistory final : public HistoryStore {
 public:
  static std::unique_ptr<HistoryStore> connect(const std::string& conninfo, std::string& error);
  ~PostgresHistory() override { PQfinish(conn_); }

  bool write(const KeptBatch& kept, const std::vector<Arrival>& arrivals, const std::vector<Departure>& departures,
             const std::vector<Gap>& gaps, const InstanceId& origin, std::uint64_t through, std::int64_t at) override;
  bool forget(std::int64_t before) override;
  bool departure(const Key& identity, std::optional<Departure>& found) override;
  bool arrival(const Key& identity, std::optional<Arrival>& found) override;
  bool origins(std::vector<OriginMark>& marks) override;
  bool missed(const MissedQuery& query, std::vector<Stored>& rows, std::uint64_t& total) override;
  bool gapsSince(std::int64_t at, bool& any) override;
  bool shared() const override { return true; }
  bool connected() const override { return PQstatus(conn_) == CONNECTION_OK; }
  bool reconnect() override;
  std::string lastError() const override { return error_; }
  void interrupt() override { cancel_.fire(); }

 private:
  explicit PostgresHistory(PGconn* conn) : conn_(conn) {}
  pg::Result run(const std::string& sql, const pg::Params& params, ExecStatusType expected);
  bool command(const std::string& sql, const pg::Params& params = {}) {
    return run(sql, params, PGRES_COMMAND_OK) != nullptr;
  }

  PGconn* conn_;
  std::string error_;
  pg::Cancel cancel_;
};

std::unique_ptr<HistoryStore> PostgresHistory::connect(const std::string& conninfo, std::string& error) {
  std::unique_ptr<PostgresHistory> store(new PostgresHistory(pg::connect(conninfo)));
  if (!store->conn_ || !store->connected()) {
    error = "cannot reach the history database: " +
            (store->conn_ ? pg::oneLine(PQerrorMessage(store->conn_)) : std::string("out of memory"));
    return nullptr;
  }
  store->cancel_.keep(store->conn_);
  // Two instances starting at once can collide making the tables; the
  // second try finds them.
  const auto schema = [&] {
    for (const char* statement : kSchema)
      if (!store->command(statement)) return false;
    return true;
  };
  if (!schema() && !schema()) {
    error = "cannot set up the history tables: " + store->error_;
    return nullptr;
  }
  return store;
}

bool PostgresHistory::reconnect() {
  cancel_.keep(nullptr);
  PQreset(conn_);
  cancel_.keep(conn_);
  if (connected()) return true;
  error_ = pg::oneLine(PQerrorMessage(conn_));
  return false;
}

pg::Result PostgresHistory::run(const std::string& sql, const pg::Params& params, ExecStatusType expected) {
  pg::Result result = params.run(conn_, sql);
  if (result && PQresultStatus(result.get()) == expected) return result;
  error_ = pg::oneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn_));
  return pg::Result(nullptr, &PQclear);
}

bool PostgresHistory::write(const KeptBatch& kept, const std::vector<Arrival>& arrivals,
                            const std::vector<Departure>& departures, const std::vector<Gap>& gaps,
                            const InstanceId& origin, std::uint64_t through, std::int64_t at) {
  if (!command("BEGIN")) return false;
  const auto body = [&] {
    for (const BatchRow& row : kept.rows()) {
      pg::Params p;
      p.bytes(origin.data(), origin.size()).int8(static_cast<std::int64_t>(row.firstSeq));
      p.int8(static_cast<std::int64_t>(row.lastSeq)).int8(row.firstAt).int8(row.lastAt);
      p.bytes(row.messages.data(), row.messages.size());
      if (!command("INSERT INTO history_batches (origin, first_seq, last_seq, first_at, last_at, messages)"
                   " VALUES ($1::bytea, $2::bigint, $3::bigint, $4::bigint, $5::bigint, $6::bytea)"
                   " ON CONFLICT (origin, first_seq) DO UPDATE SET last_seq = EXCLUDED.last_seq,"
                   " last_at = EXCLUDED.last_at, messages = EXCLUDED.messages"
                   " WHERE EXCLUDED.last_seq > history_batches.last_seq",
                   p))
        return false;
    }
    // A storm of sign-ins takes a statement per kArrivalsAtOnce, not a
    // round trip each.
    constexpr std::size_t kArrivalsAtOnce = 500;
    for (std::size_t from = 0; from < arrivals.size(); from += kArrivalsAtOnce) {
      pg::Params p;
      std::string sql = "INSERT INTO history_arrivals (identity, origin, session, at) VALUES ";
      const std::size_t to = std::min(arrivals.size(), from + kArrivalsAtOnce);
      for (std::size_t i = from; i < to; ++i) {
        const Arrival& a = arrivals[i];
        p.bytes(a.identity.data(), a.identity.size()).bytes(origin.data(), origin.size());
        p.int8(static_cast<std::int64_t>(a.session)).int8(a.at);
        const auto n = [&](std::size_t k) { return "$" + std::to_string(4 * (i - from) + k); };
        sql += (i > from ? ", (" : "(") + n(1) + "::bytea, " + n(2) + "::bytea, " + n(3) + "::bigint, " + n(4) +
               "::bigint)";
      }
      if (!command(sql + " ON CONFLICT (identity) DO UPDATE SET origin = EXCLUDED.origin,"
                         " session = EXCLUDED.session, at = EXCLUDED.at",
                   p))
        return false;
    }
    for (const Departure& d : departures) {
      const history_sql::DepartureColumns columns = history_sql::encodeDeparture(d);
      pg::Params p;
      p.bytes(d.identity.data(), d.identity.size()).int8(d.at).bytes(columns.cut.data(), columns.cut.size());
      p.bytes(columns.missed.data(), columns.missed.size()).bytes(origin.data(), origin.size());
      p.int8(static_cast<std::int64_t>(d.session));
      const std::string onConflict = d.ifFirst ? " DO NOTHING"
                                               : " DO UPDATE SET at = EXCLUDED.at, cut = EXCLUDED.cut,"
                                                 " missed = EXCLUDED.missed WHERE history_departures.at <= EXCLUDED.at";
      if (!command("WITH ended AS (DELETE FROM history_arrivals WHERE identity = $1::bytea AND origin = $5::bytea"
                   " AND session = $6::bigint) INSERT INTO history_departures (identity, at, cut, missed)"
                   " VALUES ($1::bytea, $2::bigint, $3::bytea, $4::bytea) ON CONFLICT (identity)" + onConflict,
                   p))
        return false;
    }
    for (const Gap& g : gaps) {
      pg::Params p;
      p.bytes(g.origin.data(), g.origin.size()).int8(g.from).int8(g.to).int8(static_cast<std::int64_t>(g.lost));
      if (!command("INSERT INTO history_gaps (origin, from_at, to_at, lost) VALUES ($1::bytea, $2::bigint,"
                   " $3::bigint, $4::bigint)",
                   p))
        return false;
    }
    pg::Params p;
    p.bytes(origin.data(), origin.size()).int8(static_cast<std::int64_t>(through));
    p.int8(at);
    return command("INSERT INTO history_origins (origin, next, at) VALUES ($1::bytea, $2::bigint, $3::bigint)"
                   " ON CONFLICT (origin) DO UPDATE SET next = GREATEST(history_origins.next, EXCLUDED.next),"
                   " at = EXCLUDED.at",
                   p);
  };
  if (body()) {
    // A transaction that failed inside reports its COMMIT as a ROLLBACK.
    const pg::Result commit = run("COMMIT", {}, PGRES_COMMAND_OK);
    if (commit && std::strcmp(PQcmdStatus(commit.get()), "COMMIT") == 0) return true;
    if (commit) error_ = "the transaction was rolled back";
    return false;
  }
  const std::string why = error_;
  command("ROLLBACK");
  error_ = why;
  return false;
}

bool PostgresHistory::forget(std::int64_t before) {
  pg::Params p;
  p.int8(before);
  return command("DELETE FROM history_batches WHERE last_at < $1::bigint", p) &&
         command("DELETE FROM history_gaps WHERE to_at < $1::bigint", p);
}

bool PostgresHistory::departure(const Key& identity, std::optional<Departure>& found) {
  pg::Params p;
  p.bytes(identity.data(), identity.size());
  const pg::Result r =
      run("SELECT at, cut, missed FROM history_departures WHERE identity = $1::bytea", p, PGRES_TUPLES_OK);
  if (!r) return false;
  if (PQntuples(r.get()) == 0) return true;
  const auto column = [&](int at) {
    return std::span(reinterpret_cast<const unsigned char*>(PQgetvalue(r.get(), 0, at)),
                     static_cast<std::size_t>(PQgetlength(r.get(), 0, at)));
  };
  found = history_sql::decodeDeparture(identity, pg::readInt8(PQgetvalue(r.get(), 0, 0)), column(1), column(2));
  if (!found) error_ = "a departure that does not read back";
  return found.has_value();
}

bool PostgresHistory::arrival(const Key& identity, std::optional<Arrival>& found) {
  pg::Params p;
  p.bytes(identity.data(), identity.size());
  const pg::Result r =
      run("SELECT origin, session, at FROM history_arrivals WHERE identity = $1::bytea", p, PGRES_TUPLES_OK);
  if (!r) return false;
  if (PQntuples(r.get()) == 0) return true;
  Arrival arrival{identity};
  if (PQgetlength(r.get(), 0, 0) != static_cast<int>(arrival.origin.size())) {
    error_ = "an arrival that does not read back";
    return false;
  }
  std::memcpy(arrival.origin.data(), PQgetvalue(r.get(), 0, 0), arrival.origin.size());
  arrival.session = static_cast<std::uint64_t>(pg::readInt8(PQgetvalue(r.get(), 0, 1)));
  arrival.at = pg::readInt8(PQgetvalue(r.get(), 0, 2));
  found = arrival;
  return true;
}

bool PostgresHistory::origins(std::vector<OriginMark>& marks) {
  const pg::Result r = run("SELECT origin, next, at FROM history_origins", {}, PGRES_TUPLES_OK);
  if (!r) return false;
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    OriginMark mark;
    if (PQgetlength(r.get(), row, 0) == static_cast<int>(mark.origin.size()))
      std::memcpy(mark.origin.data(), PQgetvalue(r.get(), row, 0), mark.origin.size());
    mark.next = static_cast<std::uint64_t>(pg::readInt8(PQgetvalue(r.get(), row, 1)));
    mark.writtenAt = pg::readInt8(PQgetvalue(r.get(), row, 2));
    marks.push_back(mark);
  }
  return true;
}

bool PostgresHistory::gapsSince(std::int64_t at, bool& any) {
  pg::Params p;
  p.int8(at);
  const pg::Result r = run("SELECT count(*) FROM history_gaps WHERE to_at >= $1::bigint", p, PGRES_TUPLES_OK);
  if (!r) return false;
  any = pg::readInt8(PQgetvalue(r.get(), 0, 0)) > 0;
  return true;
}

bool PostgresHistory::missed(const MissedQuery& query, std::vector<Stored>& rows, std::uint64_t& total) {
  int n = 0;
  const auto param = [&](char kind) {
    // Appended piece by piece: GCC 12 warns, wrongly, about the chain of +.
    std::string placeholder = "$";
    placeholder += std::to_string(++n);
    placeholder += kind == 'b' ? "::bytea" : "::bigint";
    return placeholder;
  };
  pg::Params p;
  for (const Cut* cut : {&query.departed, &query.joined}) {
    p.bytes(nullptr, 0).int8(0);
    for (const auto& [origin, next] : *cut) p.bytes(origin.data(), origin.size()).int8(static_cast<std::int64_t>(next));
  }
  p.int8(query.since).int8(query.startedAt);
  history_sql::MissedGather gather(query);
  const auto gatherAll = [&](const pg::Result& found) {
    if (!found) return false;
    if (gatherRows(found.get(), gather)) return true;
    error_ = "a row of messages that does not read back";
    return false;
  };
  if (!gatherAll(run(history_sql::rowSearch(query.departed.size(), query.joined.size(), param), p, PGRES_TUPLES_OK)))
    return false;
  // The listed ones, one run of each origin's seqs at a time.
  n = 0;
  const std::string listed = history_sql::listedRowSearch(param);
  for (const auto& [origin, seqs] : history_sql::listedRuns(query.listed)) {
    pg::Params q;
    q.bytes(origin.data(), origin.size()).int8(static_cast<std::int64_t>(seqs.second));
    q.int8(static_cast<std::int64_t>(seqs.first)).bytes(origin.data(), origin.size());
    q.int8(static_cast<std::int64_t>(seqs.first));
    if (!gatherAll(run(listed, q, PGRES_TUPLES_OK))) return false;
  }
  gather.take(rows);
  total = gather.total();
  return true;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::openPostgres(const std::string& conninfo, std::string& error) {
  return PostgresHistory::connect(conninfo, error);
}

}  // namespace sotto
