#include "server/registry_backup.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "server/registry.hpp"

namespace sotto {

namespace {

struct Close {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, Close>;

Database openDatabase(const std::string& path, int flags, std::string& error) {
  sqlite3* db = nullptr;
  const int status = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Database owned(db);
  if (status != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return nullptr;
  }
  // A running server may hold the write lock for a moment.
  sqlite3_busy_timeout(db, 5000);
  return owned;
}

bool copy(const std::string& from, const std::string& to, long long& identities, std::string& error) {
  // Never created here: a mistyped data directory is an error, not an empty copy.
  const Database source = openDatabase(from, SQLITE_OPEN_READWRITE, error);
  if (!source) return false;
  // The copy holds user data: private from its first byte.
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + to + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  const Database target = openDatabase(to, SQLITE_OPEN_READWRITE, error);
  if (!target) return false;
  sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
  if (!backup) {
    error = "cannot back up to " + to + ": " + sqlite3_errmsg(target.get());
    return false;
  }
  // Each step waits for the lock up to the busy timeout; a few more tries,
  // then it gives up rather than hang.
  int status = SQLITE_BUSY;
  for (int tries = 0; tries < 5 && (status == SQLITE_BUSY || status == SQLITE_LOCKED); ++tries) {
    if (tries > 0) sqlite3_sleep(200);
    status = sqlite3_backup_step(backup, -1);
  }
  sqlite3_backup_finish(backup);
  if (status != SQLITE_DONE) {
    error = "backing up " + from + " failed: " + sqlite3_errstr(status);
    return false;
  }
  sqlite3_stmt* count = nullptr;
  const bool counted = sqlite3_prepare_v2(target.get(), "SELECT count(*) FROM identities", -1, &count, nullptr) ==
                           SQLITE_OK &&
                       sqlite3_step(count) == SQLITE_ROW;
  if (counted) identities = sqlite3_column_int64(count, 0);
  else error = to + " holds no registry: " + sqlite3_errmsg(target.get());
  sqlite3_finalize(count);
  return counted;
}

}  // namespace

int backupRegistry(const ServerOptions& options, std::ostream& out, std::ostream& err) {
  const std::string from = options.dataDir + "/" + kRegistryFileName;
  long long identities = 0;
  std::string error;
  if (!copy(from, *options.backupFile, identities, error)) {
    err << "sotto-server: " << error << '\n';
    return 1;
  }
  out << "Backed up " << identities << " identities from " << from << " to " << *options.backupFile << '\n';
  return 0;
}

}  // namespace sotto
