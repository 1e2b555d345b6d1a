#include "proto/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Whether fd is a regular file; whatever else is there (a FIFO, a device)
// is never read or written as the record.
bool isRegularFile(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string Config::serverAddress() const {
  const auto* field = bytes.data() + serverAddressOffset;
  const auto* end = std::find(field, field + serverAddressSize, 0);
  return std::string(field, end);
}

void Config::setServerAddress(const std::string& text) {
  auto* field = bytes.data() + serverAddressOffset;
  std::memset(field, 0, serverAddressSize);
  std::memcpy(field, text.data(), std::min(text.size(), maxAddressLength));
}

std::optional<std::string> notARegularFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::nullopt;
  if (S_ISDIR(info.st_mode)) return "a directory";
  if (S_ISFIFO(info.st_mode)) return "a FIFO";
  if (S_ISSOCK(info.st_mode)) return "a socket";
  return "a device";
}

bool loadConfig(Config& config, const std::string& path) {
  // Non-blocking, or a FIFO would hold the open until a writer came along.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  if (!isRegularFile(fd)) {
    ::close(fd);
    return false;
  }
  std::size_t got = 0;
  while (got < Config::size) {
    const ssize_t n = ::read(fd, config.bytes.data() + got, Config::size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return got == Config::size;
}

std::error_code saveConfig(const Config& config, const std::string& path) {
  // Non-blocking, or a FIFO would hold the open until a reader came along;
  // without one it fails at once (ENXIO).
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  std::error_code error;
  if (!isRegularFile(fd)) error = std::make_error_code(std::errc::invalid_argument);
  // An existing file keeps its mode through O_CREAT; the secret key still
  // must not stay readable by others.
  if (!error && ::fchmod(fd, 0600) != 0) error = {errno, std::generic_category()};
  std::size_t done = 0;
  while (!error && done < Config::size) {
    const ssize_t n = ::write(fd, config.bytes.data() + done, Config::size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = {errno, std::generic_category()};
    else done += static_cast<std::size_t>(n);
  }
  if (!error && ::fsync(fd) != 0) error = {errno, std::generic_category()};
  if (::close(fd) != 0 && !error) error = {errno, std::generic_category()};
  return error;
}

