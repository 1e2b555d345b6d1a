// The identities that may have a departure in a history only this server
// writes: a sign-in of one that has none has missed nothing, and needs no
// question to the store. A Bloom filter of fixed size, so that any number
// of identities costs the same memory; a false "may" only sends a sign-in
// the long way round.
//
// Threads: add() and may() under the hub's relay lock; the bits are atomic
// so that neither needs a lock of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "proto/handshake.hpp"

namespace sotto {

class DepartedFilter {
 public:
  // 2^21 bits, 256 KiB: at 100,000 identities fewer than 1 in 300 sign-ins
  // of new ones take the long way.
  static constexpr unsigned kBitsLog2 = 21;

  void add(const Key& identity) {
    for (const std::uint32_t bit : bits(identity))
      words_[bit / 64].fetch_or(std::uint64_t{1} << (bit % 64), std::memory_order_relaxed);
  }
  bool may(const Key& identity) const {
    for (const std::uint32_t bit : bits(identity))
      if (!(words_[bit / 64].load(std::memory_order_relaxed) & (std::uint64_t{1} << (bit % 64)))) return false;
    return true;
  }

 private:
  static constexpr std::size_t kWords = (std::size_t{1} << kBitsLog2) / 64;

  // Three positions from the key's own bytes: a public key is already as
  // good as random, and a key made to collide only costs its owner.
  static std::array<std::uint32_t, 3> bits(const Key& identity) {
    std::array<std::uint32_t, 3> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
      std::uint32_t word = 0;
      for (std::size_t b = 0; b < 4; ++b) word = word << 8 | identity[4 * i + b];
      out[i] = word & ((std::uint32_t{1} << kBitsLog2) - 1);
    }
    return out;
  }

  std::unique_ptr<std::atomic<std::uint64_t>[]> words_{new std::atomic<std::uint64_t>[kWords]()};
};

}  // namespace sotto
