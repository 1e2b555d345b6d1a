// Fixed records for the proof-of-work benchmarks: identities from seeds 1..16
// (sign seed: 32 bytes of i; key-exchange seed: 32 bytes of 255 - i), flag 1,
// so every run mines the very same work.
#pragma once

#include <sodium.h>

#include <cstdlib>
#include <vector>

#include "proto/handshake.hpp"

namespace bench {

inline constexpr int kMiningRecords = 16;

inline std::vector<Initial> miningRecords() {
  if (sodium_init() < 0) std::abort();
  std::vector<Initial> records;
  for (int i = 1; i <= kMiningRecords; ++i) {
    unsigned char seed[32], signPk[32], signSk[64], kxPk[32], kxSk[32];
    std::fill(seed, seed + 32, static_cast<unsigned char>(i));
    crypto_sign_seed_keypair(signPk, signSk, seed);
    std::fill(seed, seed + 32, static_cast<unsigned char>(255 - i));
    crypto_kx_seed_keypair(kxPk, kxSk, seed);
    records.push_back(sotto::makeInitial(signPk, kxPk, true));
  }
  return records;
}

}  // namespace bench
