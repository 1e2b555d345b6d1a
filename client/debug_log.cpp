#include "client/debug_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace sotto {

namespace {
constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
// Hex lines go out in pieces of about this size, so that a 16 MiB payload is
// never held as a 48 MiB line.
constexpr std::size_t kPieceBytes = 64 * 1024;

// The log holds received plaintext at a path anyone may create first, so it is
// written only into a regular file of our own that has no other name (a hard
// link made by someone else would show them every line). Non-blocking, so
// that a FIFO in its place can stall neither the open nor a write on the I/O
// thread.
int openPrivateLog(const std::string& path) {
  const int fd = ::open(path.c_str(), kFlags | O_CREAT, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  // A log that others could read may be open in their hands already, and no
  // chmod takes that back: this session starts a file of its own. If someone
  // puts a file back at the path first, the exclusive create fails and
  // nothing is written.
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    ::close(fd);
    struct stat again {};
    if (::lstat(path.c_str(), &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino ||
        ::unlink(path.c_str()) != 0)
      return -1;
    return ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  }
  // Whatever else others may do with it goes.
  if ((st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

DebugLog::DebugLog(const std::string& path) : fd_(openPrivateLog(path)) {}

DebugLog::~DebugLog() {
  if (fd_ < 0) return;
  flush();
  ::close(fd_);
}

void DebugLog::ownKey(const unsigned char* key, std::size_t size) {
  if (fd_ < 0) return;
  for (std::size_t i = 0; i < size && key[i] != 0; ++i) pending_.push_back(static_cast<char>(key[i]));
  pending_.push_back('\n');
  flush();
}

void DebugLog::reading() {
  if (fd_ < 0) return;
  pending_ += "reading \n";
  flush();
}

void DebugLog::payload(const std::vector<unsigned char>& bytes) {
  if (fd_ < 0) return;
  static constexpr char digits[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    pending_.push_back(digits[b >> 4]);
    pending_.push_back(digits[b & 0x0f]);
    pending_.push_back(' ');
    if (pending_.size() >= kPieceBytes) flush();
  }
  pending_.push_back('\n');
}

void DebugLog::flush() {
  const char* data = pending_.data();
  std::size_t left = pending_.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk must not stop the chat; the line is lost
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  pending_.clear();
}

}  // namespace sotto
