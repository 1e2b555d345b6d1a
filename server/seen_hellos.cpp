#include "server/seen_hellos.hpp"

#include <sodium.h>

#include <cstring>

namespace sotto {

HelloDigest digestOf(const Initial& initial) {
  // The two keys lie side by side at the front of the record.
  static_assert(Initial::kxPublicKeyOffset == Initial::signPublicKeyOffset + kKeySize);
  HelloDigest digest;
  crypto_generichash(digest.data(), digest.size(), initial.signPublicKey(), 2 * kKeySize, nullptr, 0);
  return digest;
}

std::size_t SeenHellos::Hash::operator()(const HelloDigest& digest) const {
  // A hash output already.
  std::size_t hash;
  std::memcpy(&hash, digest.data(), sizeof hash);
  return hash;
}

bool SeenHellos::insert(const HelloDigest& digest) {
  if (capacity_ == 0 || !set_.insert(digest).second) return capacity_ == 0;
  order_.push_back(digest);
  if (order_.size() > capacity_) {
    set_.erase(order_.front());
    order_.pop_front();
  }
  return true;
}

}  // namespace sotto
