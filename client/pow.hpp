// Proof of work for a new identity: the smallest little-endian powNonce for
// which BLAKE2b-256 of the whole Initial begins with the required zero bits.
#pragma once

#include "handshake.hpp"

namespace sotto {

// Sets initial's powNonce to the smallest passing counter.
void findSmallestNonce(Initial& initial, unsigned zeroBits = kProofOfWorkBits);

// The plain one-candidate-at-a-time loop over libsodium's hash: the reference
// that any faster search must agree with.
void literalSearch(Initial& initial, unsigned zeroBits = kProofOfWorkBits);

}  // namespace sotto
