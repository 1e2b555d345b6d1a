// Proof of work for a new identity: the smallest little-endian powNonce for
// which BLAKE2b-256 of the whole Initial begins with the required zero bits.
#pragma once

#include <cstdint>
#include <limits>

#include "proto/handshake.hpp"

namespace sotto {

namespace pow {
struct Kernel;
}

struct SearchOptions {
  // Null: the fastest kernel this CPU runs correctly.
  const pow::Kernel* kernel = nullptr;
  // Zero: one per hardware thread.
  unsigned threads = 0;
  // Counters a thread claims at a time: large enough that claiming costs
  // nothing, small enough that threads stop soon after the answer is known.
  std::uint64_t blockSize = 1 << 16;
  // Counters from here on are left to the literal loop. Only tests lower it.
  std::uint64_t parallelLimit = std::numeric_limits<std::uint64_t>::max();
};

// Sets initial's powNonce to the smallest passing counter: the very value the
// literal loop finds, found on every hardware thread at once.
void findSmallestNonce(Initial& initial, unsigned zeroBits = kProofOfWorkBits, const SearchOptions& options = {});

// The plain one-candidate-at-a-time loop over libsodium's hash: the reference
// that any faster search must agree with.
void literalSearch(Initial& initial, unsigned zeroBits = kProofOfWorkBits);

}  // namespace sotto
