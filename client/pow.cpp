#include "pow.hpp"

#include <sodium.h>

namespace sotto {

void literalSearch(Initial& initial, unsigned zeroBits) {
  sodium_memzero(initial.powNonce(), Initial::powNonceSize);
  while (!proofPasses(initial, zeroBits)) sodium_increment(initial.powNonce(), Initial::powNonceSize);
}

void findSmallestNonce(Initial& initial, unsigned zeroBits) { literalSearch(initial, zeroBits); }

}  // namespace sotto
