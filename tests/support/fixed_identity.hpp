// Identities derived from fixed seeds, whose smallest proof-of-work nonce was
// found once, offline, with the plain loop. Tests use these and never mine a
// random identity.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace fixed {

struct Identity {
  std::array<unsigned char, 32> signPublicKey;
  std::array<unsigned char, 64> signSecretKey;
  std::array<unsigned char, 32> kxPublicKey;
  std::array<unsigned char, 32> kxSecretKey;
  std::uint64_t smallestNonce;  // with flag 1 and version 1

  // The key-exchange pair as a client pins it: public key, then secret key.
  std::array<unsigned char, 64> kxPair() const {
    std::array<unsigned char, 64> pair;
    std::memcpy(pair.data(), kxPublicKey.data(), 32);
    std::memcpy(pair.data() + 32, kxSecretKey.data(), 32);
    return pair;
  }
};

// Sign seed: 32 bytes of signSeed; key-exchange seed: 32 bytes of 255 - signSeed.
inline Identity make(unsigned char signSeed, std::uint64_t smallestNonce) {
  if (sodium_init() < 0) std::abort();
  Identity id{};
  unsigned char seed[32];
  std::memset(seed, signSeed, sizeof seed);
  crypto_sign_seed_keypair(id.signPublicKey.data(), id.signSecretKey.data(), seed);
  std::memset(seed, 255 - signSeed, sizeof seed);
  crypto_kx_seed_keypair(id.kxPublicKey.data(), id.kxSecretKey.data(), seed);
  id.smallestNonce = smallestNonce;
  return id;
}

// 34927 = 0x886F: the search carries from byte 0 into byte 1.
inline Identity twoByteNonce() { return make(164, 34927); }
// 160502 = 0x0272F6: three bytes.
inline Identity threeByteNonce() { return make(69, 160502); }

}  // namespace fixed
