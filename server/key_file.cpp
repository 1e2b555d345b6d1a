#include "server/key_file.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace sotto {

namespace {

std::string describeErrno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool readKey(const std::string& path, ServerKey& key, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = describeErrno("cannot open " + path);
    return false;
  }
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kKeySize);
  if (!ok) {
    error = path + " is not a " + std::to_string(kKeySize) + "-byte key file; move it away to make a new key";
  } else {
    // The secret must stay the owner's even if someone loosened the mode.
    if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);
    std::size_t got = 0;
    while (got < kKeySize) {
      const ssize_t n = ::read(fd, key.secretKey + got, kKeySize - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ok = got == kKeySize;
    if (!ok) error = describeErrno("cannot read " + path);
  }
  ::close(fd);
  if (ok) crypto_scalarmult_base(key.publicKey.data(), key.secretKey);
  return ok;
}

// Writes a fresh secret to a private temporary file and links it into place,
// which fails rather than overwrites if another process got there first.
bool writeNewKey(const std::string& dataDir, const std::string& path, std::string& error, bool& lost) {
  ServerKey fresh;
  crypto_box_keypair(fresh.publicKey.data(), fresh.secretKey);
  std::string temp = dataDir + "/.server.key.XXXXXX";
  const int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) {
    error = describeErrno("cannot create a key file in " + dataDir);
    return false;
  }
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < kKeySize) {
    const ssize_t n = ::write(fd, fresh.secretKey + done, kKeySize - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) error = describeErrno("cannot write " + temp);
  if (ok && ::link(temp.c_str(), path.c_str()) != 0) {
    lost = errno == EEXIST;
    if (!lost) error = describeErrno("cannot create " + path);
    ok = false;
  }
  ::unlink(temp.c_str());
  if (ok) {
    // The new name must survive a crash as well as the bytes behind it.
    const int dirFd = ::open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
  }
  return ok;
}

}  // namespace

ServerKey::~ServerKey() { sodium_memzero(secretKey, sizeof secretKey); }

bool makeDataDir(const std::string& dir, std::string& error) {
  std::error_code ec;
  const bool made = std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  if (made) ::chmod(dir.c_str(), 0700);
  if (!std::filesystem::is_directory(dir, ec)) {
    error = dir + " is not a directory";
    return false;
  }
  return true;
}

bool loadOrCreateServerKey(const std::string& dataDir, ServerKey& key, std::string& error, bool* created) {
  if (!makeDataDir(dataDir, error)) return false;
  const std::string path = dataDir + "/" + kServerKeyFileName;
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = describeErrno("cannot look at " + path);
      return false;
    }
    bool lost = false;
    const bool wrote = writeNewKey(dataDir, path, error, lost);
    if (!wrote && !lost) return false;
    if (wrote && created) *created = true;
  }
  return readKey(path, key, error);
}

bool loadServerKey(const std::string& dataDir, ServerKey& key, std::string& error) {
  const std::string path = dataDir + "/" + kServerKeyFileName;
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    error = "no server key in " + dataDir + ": " + path + " is missing";
    return false;
  }
  return readKey(path, key, error);
}

std::string newKeyWarning(const std::string& dataDir) {
  return "created a new server key in " + dataDir + ": existing clients will not connect";
}

}  // namespace sotto
