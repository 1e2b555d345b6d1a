// Hellos already seen, so that a recorded one sent again is refused. Every
// client makes a fresh key-exchange key for each connection, so a hello
// whose identity and key-exchange key were seen before is a replay. A hello
// is known by a 16-byte digest of the two keys; this is the bounded part
// kept in memory, the newest first to stay (the registry keeps the rest).
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <unordered_set>

#include "proto/handshake.hpp"

namespace sotto {

using HelloDigest = std::array<unsigned char, 16>;

HelloDigest digestOf(const Initial& initial);

// Not thread-safe: its owner guards it.
class SeenHellos {
 public:
  explicit SeenHellos(std::size_t capacity) : capacity_(capacity) {}
  // Adds digest; false when it was already there.
  bool insert(const HelloDigest& digest);
  bool contains(const HelloDigest& digest) const { return set_.contains(digest); }
  // For a hello that was not admitted after all; its place in the order
  // stays until its turn to go.
  void erase(const HelloDigest& digest) { set_.erase(digest); }
  std::size_t size() const { return set_.size(); }

 private:
  struct Hash {
    std::size_t operator()(const HelloDigest& digest) const;
  };
  std::size_t capacity_;
  std::unordered_set<HelloDigest, Hash> set_;
  // Oldest first, for the eviction.
  std::deque<HelloDigest> order_;
};

}  // namespace sotto
