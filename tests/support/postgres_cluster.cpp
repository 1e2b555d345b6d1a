#include "tests/support/postgres_cluster.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Debian installs each major version beside the others; the newest will do.
std::string serverBinDir() {
  std::string best;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec))
    if (fs::exists(entry.path() / "bin/postgres") && entry.path().string() > best) best = entry.path().string();
  return best.empty() ? "" : best + "/bin";
}

// Runs args with output appended to log, as the postgres user when we are
// root (PostgreSQL refuses root), in dir, and dying when this thread does.
pid_t spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const passwd* user = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
  if (::geteuid() == 0 && !user) return -1;
  const uid_t uid = user ? user->pw_uid : 0;
  const gid_t gid = user ? user->pw_gid : 0;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here on: the test has threads.
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
  if (user && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
  // Set after the change of user, which would clear it.
  if (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent) ::_exit(126);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

PostgresCluster::PostgresCluster() : bin_(serverBinDir()) {
  if (bin_.empty()) {
    ADD_FAILURE() << "no PostgreSQL server under /usr/lib/postgresql (Debian's postgresql package)";
    return;
  }
  if (const passwd* user = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr)
    if (::chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0) ADD_FAILURE() << "cannot chown " << dir_;
  // Made and run as scripts/cluster does it, by a copy of its commands that
  // the postgres user can reach wherever the tree is checked out.
  std::error_code copied;
  fs::copy_file(SOTTO_CLUSTER_ENGINES, engines(), copied);
  if (copied) ADD_FAILURE() << "cannot copy " << SOTTO_CLUSTER_ENGINES << ": " << copied.message();
  const pid_t initdb = spawn({engines(), "postgres-init", dir_}, dir_, dir_ + "/initdb.log");
  int status = -1;
  if (initdb < 0 || ::waitpid(initdb, &status, 0) != initdb || status != 0) {
    ADD_FAILURE() << "initdb failed: " << scratch::slurp(dir_ + "/initdb.log");
    return;
  }
  start();
}

PostgresCluster::~PostgresCluster() { stop(); }

PostgresCluster& PostgresCluster::shared() {
  static PostgresCluster cluster;
  return cluster;
}

std::string PostgresCluster::conninfo(const std::string& database, const std::string& user) const {
  return "host=" + dir_ + " port=5432 dbname=" + database + " user=" + user;
}

bool PostgresCluster::start() {
  if (pid_ > 0 || bin_.empty()) return pid_ > 0;
  // No fsync: the cluster is thrown away with the test. The script execs,
  // so pid_ is the postmaster's.
  pid_ = spawn({engines(), "postgres", dir_, "-c", "fsync=off"}, dir_, dir_ + "/postgres.log");
  const std::string admin = conninfo("postgres");
  for (int tries = 0; pid_ > 0 && tries < 3000; ++tries) {
    if (PQping(admin.c_str()) == PQPING_OK) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "PostgreSQL did not start: " << scratch::slurp(dir_ + "/postgres.log");
  stop();
  return false;
}

void PostgresCluster::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGINT);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string PostgresCluster::freshDatabase() {
  const std::string name = "registry" + std::to_string(++databases_);
  Sql admin(conninfo("postgres"));
  if (databases_ == 1) admin("CREATE ROLE sotto LOGIN");
  admin("CREATE DATABASE " + name + " OWNER sotto");
  return conninfo(name, "sotto");
}

Sql::Sql(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
  if (PQstatus(conn_) != CONNECTION_OK) ADD_FAILURE() << PQerrorMessage(conn_);
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

Sql::~Sql() { PQfinish(conn_); }

std::string Sql::operator()(const std::string& sql) {
  PGresult* result = PQexec(conn_, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  std::string value;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    ADD_FAILURE() << sql << ": " << PQresultErrorMessage(result);
  else if (status == PGRES_TUPLES_OK && PQntuples(result) > 0)
    value = PQgetvalue(result, 0, 0);
  PQclear(result);
  return value;
}
