// A throwaway PostgreSQL for tests: initdb into a temporary directory and the
// server on a Unix socket in there only (no TCP port to collide on), run as
// the unprivileged postgres user when the test runs as root. The server dies
// with the test process, even one that crashes.
//
//   PostgresCluster& pg = PostgresCluster::shared();  // one per test process
//   std::string conninfo = pg.freshDatabase();        // empty, owned by a plain role
//   Sql sql(conninfo);  sql("SELECT count(*) FROM identities");
//   pg.stop();  pg.start();
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/scratch.hpp"

struct pg_conn;

class PostgresCluster {
 public:
  // Fails the current test (ok() false) if the cluster cannot be made.
  PostgresCluster();
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  static PostgresCluster& shared();
  bool ok() const { return pid_ > 0; }

  std::string conninfo(const std::string& database, const std::string& user = "postgres") const;
  // A new empty database owned by a role without privileges, as an operator
  // would make it for the server.
  std::string freshDatabase();
  // Fast shutdown (every connection ends), waited for.
  void stop();
  // Starts again and waits until it takes connections. False on failure.
  bool start();

 private:
  scratch::TempDir scratch_;
  const std::string dir_ = scratch_.path();
  std::string bin_;
  std::string engines() const { return dir_ + "/cluster-engines"; }
  pid_t pid_ = -1;
  int databases_ = 0;
};

// One connection for the test's own SQL. Failures are test failures.
class Sql {
 public:
  explicit Sql(const std::string& conninfo);
  ~Sql();
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;
  // Runs sql (one or more statements) and returns the first field of the
  // last statement's first row, as text ("" if it has none).
  std::string operator()(const std::string& sql);

 private:
  pg_conn* conn_;
};
