#include "client/debug_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sotto {

namespace {
// The log holds received plaintext at a path anyone may create first, so it is
// written only into a regular file of our own. Non-blocking, so that a FIFO in
// its place can stall neither the open nor a write on the I/O thread.
int openPrivateLog(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return -1;
  }
  // A log left readable by an earlier tool or a careless chmod must not keep
  // showing this session's messages to others.
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
  pending_.reserve(pending_.size() + bytes.size() * 3 + 1);
  for (unsigned char b : bytes) {
    pending_.push_back(digits[b >> 4]);
    pending_.push_back(digits[b & 0x0f]);
    pending_.push_back(' ');
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
