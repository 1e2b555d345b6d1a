// Small helpers every test area needs: a scratch directory, a file read whole,
// and the byte orders of the records, written apart from the code under test.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <streambuf>
#include <string>

namespace scratch {

// A fresh directory under base, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "sotto-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string operator/(const std::string& name) const { return file(name); }

 private:
  std::filesystem::path path_;
};

// The whole file, or "" when it cannot be read.
inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A stream that takes everything and keeps nothing; it holds no state, so
// any number of threads may write to it at once.
inline std::ostream& discard() {
  struct Sink : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  };
  static Sink sink;
  static std::ostream out(&sink);
  return out;
}

inline std::uint32_t be32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The low eight bytes of a little-endian counter, as the proof of work counts
// its nonce.
inline std::uint64_t le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

inline void putLe64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace scratch
