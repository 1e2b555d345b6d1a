#include "server/key_hash.hpp"

#include <sodium.h>

#include <cstring>

namespace sotto {

namespace {

struct HashKey {
  HashKey() { crypto_shorthash_keygen(bytes); }
  unsigned char bytes[crypto_shorthash_KEYBYTES];
};

}  // namespace

std::size_t KeyHash::operator()(const Key& key) const {
  static const HashKey hashKey;
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, key.data(), key.size(), hashKey.bytes);
  std::size_t hash;
  std::memcpy(&hash, out, sizeof hash);
  return hash;
}

}  // namespace sotto
