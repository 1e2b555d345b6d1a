// The bytes of the SQLite history's rows, in files beside the database
// (history.sqlite3-messages-N, mode 0600, 64 MiB at most unless one row is
// larger), while the database keeps only where each row is. A row's bytes
// are then written once, by one write, where SQLite would copy them into its
// pages, checksum them into its log and copy them again at each checkpoint;
// that work ran on the cores that relay.
//
// A row is written to its file before the transaction that names its place
// commits, so a killed server leaves at most bytes nobody names. Nothing is
// flushed to the disk, as with the database's synchronous NORMAL.
//
// Not thread-safe: the writer's store and the reader's have one each.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "proto/bytes.hpp"

namespace sotto {

// Where a row's bytes are. In the database as [1] kMarker, [8] file,
// [8] offset, [4] length, big-endian: the first byte of a row held in the
// database itself is never kMarker.
struct RowPlace {
  static constexpr unsigned char kMarker = 0xc2;
  static constexpr std::size_t kBytes = 1 + 8 + 8 + 4;

  std::uint64_t file = 0;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;

  Bytes encode() const;
  // Null unless column is a place.
  static std::optional<RowPlace> decode(std::span<const unsigned char> column);
};

class HistoryFiles {
 public:
  // The files are databasePath + "-messages-" + N; a file takes no more
  // rows once they would pass fileBytes.
  HistoryFiles(std::string databasePath, std::uint64_t fileBytes)
      : prefix_(std::move(databasePath) + "-messages-"), fileBytes_(fileBytes) {}
  ~HistoryFiles();
  HistoryFiles(const HistoryFiles&) = delete;
  HistoryFiles& operator=(const HistoryFiles&) = delete;

  // The file rows go to next: the newest there is, or the one after known
  // when that is newer; another once it is full.
  bool openNewest(std::uint64_t known, std::string& error);
  std::uint64_t current() const { return current_; }

  // Appends a row, once openNewest succeeded; place says where it went.
  bool append(std::span<const unsigned char> row, RowPlace& place, std::string& error);

  // The row's bytes into out: false with error when they cannot be read;
  // gone when they were erased (or never reached the disk, after a crash).
  bool read(const RowPlace& place, Bytes& out, bool& gone, std::string& error);

  // Frees a forgotten row's bytes on the disk (zeros where the file system
  // cannot free them), and a whole file.
  bool erase(const RowPlace& place, std::string& error);
  bool remove(std::uint64_t file, std::string& error);

  // Closes the file read last, so that a removed file does not stay on the
  // disk for it.
  void closeRead();

  std::string path(std::uint64_t file) const { return prefix_ + std::to_string(file); }

 private:
  bool openForAppend(std::uint64_t file, std::string& error);
  // A descriptor for reading or erasing, the last one kept.
  int descriptor(std::uint64_t file, bool& missing, std::string& error);

  std::string prefix_;
  std::uint64_t fileBytes_;
  std::uint64_t current_ = 0;
  std::uint64_t size_ = 0;  // of current_
  int appendFd_ = -1;
  std::uint64_t otherFile_ = 0;
  int otherFd_ = -1;
};

}  // namespace sotto
