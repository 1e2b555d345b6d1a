#include "server/history_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace sotto {

namespace {

std::string failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

Bytes RowPlace::encode() const {
  Bytes out(kBytes);
  out[0] = kMarker;
  putU64be(out.data() + 1, file);
  putU64be(out.data() + 9, offset);
  putU32be(out.data() + 17, length);
  return out;
}

std::optional<RowPlace> RowPlace::decode(std::span<const unsigned char> column) {
  if (column.size() != kBytes || column[0] != kMarker) return std::nullopt;
  RowPlace place;
  place.file = getU64be(column.data() + 1);
  place.offset = getU64be(column.data() + 9);
  place.length = getU32be(column.data() + 17);
  return place;
}

HistoryFiles::~HistoryFiles() {
  if (appendFd_ >= 0) ::close(appendFd_);
  closeRead();
}

void HistoryFiles::closeRead() {
  if (otherFd_ >= 0) ::close(otherFd_);
  otherFd_ = -1;
}

bool HistoryFiles::openNewest(std::uint64_t known, std::string& error) {
  // A file written before a commit that never came is newer than any the
  // database knows: rows go on after it rather than into it twice.
  std::uint64_t newest = std::max<std::uint64_t>(known, 1);
  const std::filesystem::path prefix(prefix_);
  const std::string name = prefix.filename().string();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(prefix.parent_path(), ec)) {
    const std::string file = entry.path().filename().string();
    if (file.size() <= name.size() || file.compare(0, name.size(), name) != 0) continue;
    const std::string digits = file.substr(name.size());
    if (digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    newest = std::max<std::uint64_t>(newest, std::stoull(digits));
  }
  if (ec) {
    error = "cannot list " + prefix.parent_path().string() + ": " + ec.message();
    return false;
  }
  return openForAppend(newest, error);
}

bool HistoryFiles::openForAppend(std::uint64_t file, std::string& error) {
  const std::string name = path(file);
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  struct stat st {};
  // 0600 whatever the umask: it holds messages in clear.
  if (fd < 0 || ::fchmod(fd, 0600) != 0 || ::fstat(fd, &st) != 0) {
    error = failure("cannot open", name);
    if (fd >= 0) ::close(fd);
    return false;
  }
  if (appendFd_ >= 0) ::close(appendFd_);
  appendFd_ = fd;
  current_ = file;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool HistoryFiles::append(std::span<const unsigned char> row, RowPlace& place, std::string& error) {
  if (size_ > 0 && size_ + row.size() > fileBytes_ && !openForAppend(current_ + 1, error)) return false;
  place = RowPlace{current_, size_, static_cast<std::uint32_t>(row.size())};
  std::size_t done = 0;
  while (done < row.size()) {
    const ssize_t n = ::write(appendFd_, row.data() + done, row.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      error = failure("cannot write", path(current_));
      // Part of the row may be there: the next goes after it.
      struct stat st {};
      if (::fstat(appendFd_, &st) == 0) size_ = static_cast<std::uint64_t>(st.st_size);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  size_ += row.size();
  return true;
}

int HistoryFiles::descriptor(std::uint64_t file, bool& missing, std::string& error) {
  missing = false;
  if (otherFd_ >= 0 && otherFile_ == file) return otherFd_;
  closeRead();
  const std::string name = path(file);
  otherFd_ = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  if (otherFd_ < 0) {
    missing = errno == ENOENT;
    if (!missing) error = failure("cannot open", name);
    return -1;
  }
  otherFile_ = file;
  return otherFd_;
}

bool HistoryFiles::read(const RowPlace& place, Bytes& out, bool& gone, std::string& error) {
  const int fd = descriptor(place.file, gone, error);
  if (fd < 0) return gone;
  out.resize(place.length);
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(place.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = failure("cannot read", path(place.file));
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  // Short, or zeros where an erased row was: a row is never empty and
  // never starts with a zero byte.
  gone = done < out.size() || out.empty() || out[0] == 0;
  return true;
}

bool HistoryFiles::erase(const RowPlace& place, std::string& error) {
  bool missing = false;
  const int fd = descriptor(place.file, missing, error);
  if (fd < 0) return missing;
  const off_t offset = static_cast<off_t>(place.offset);
  if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, place.length) == 0) return true;
  if (errno != EOPNOTSUPP) {
    error = failure("cannot erase in", path(place.file));
    return false;
  }
  static const unsigned char zeros[64 * 1024] = {};
  for (std::uint64_t done = 0; done < place.length;) {
    const std::size_t chunk = std::min<std::uint64_t>(sizeof zeros, place.length - done);
    const ssize_t n = ::pwrite(fd, zeros, chunk, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = failure("cannot erase in", path(place.file));
      return false;
    }
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool HistoryFiles::remove(std::uint64_t file, std::string& error) {
  if (otherFile_ == file) closeRead();
  if (::unlink(path(file).c_str()) == 0 || errno == ENOENT) return true;
  error = failure("cannot remove", path(file));
  return false;
}

}  // namespace sotto
