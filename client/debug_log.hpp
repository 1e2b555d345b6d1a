// The receive loop's debug log: the own key, then a "reading " line before
// each frame and a hex line of each received payload. It holds plaintext, so
// it is private to the user (0600) and never follows a planted symlink. When it
// cannot be opened, or is not a regular file of our own, every write is dropped
// and the caller carries on.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sotto {

class DebugLog {
 public:
  explicit DebugLog(const std::string& path);
  ~DebugLog();
  DebugLog(const DebugLog&) = delete;
  DebugLog& operator=(const DebugLog&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  // Writes key bytes raw up to (not including) the first zero byte, then a
  // line break, and flushes.
  void ownKey(const unsigned char* key, std::size_t size);
  // "reading \n", flushed (which also flushes the previous hex line).
  void reading();
  // Each byte as two lower-case digits and a blank, then "\n"; not flushed.
  void payload(const std::vector<unsigned char>& bytes);

 private:
  void flush();
  int fd_ = -1;
  std::string pending_;
};

}  // namespace sotto
