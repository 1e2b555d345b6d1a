// Byte-level helpers for wire records: explicit big-endian reads and writes,
// lower-case hex. Nothing here reinterprets network bytes as structs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sotto {

using Bytes = std::vector<unsigned char>;

inline void putU32be(unsigned char* out, std::uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 24);
  out[1] = static_cast<unsigned char>(v >> 16);
  out[2] = static_cast<unsigned char>(v >> 8);
  out[3] = static_cast<unsigned char>(v);
}

inline std::uint32_t getU32be(const unsigned char* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
         (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

inline void putU64be(unsigned char* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}

inline std::uint64_t getU64be(const unsigned char* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

// Two lower-case digits per byte, no separators.
std::string toHex(const unsigned char* data, std::size_t size);

// Decodes exactly 2*size hex digits (either case) into out. Returns false,
// leaving out unspecified, on any other character or a wrong length.
bool fromHex(const std::string& text, unsigned char* out, std::size_t size);

}  // namespace sotto
