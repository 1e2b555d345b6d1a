// Preloaded (LD_PRELOAD) into the real sotto binary by the first-run test:
// the identity and key-exchange pair a first run makes are those of
// fixed::twoByteNonce(), whose smallest proof-of-work nonce is known, so the
// run never waits on a random identity's luck and the test can tell the
// exact nonce the miner must find.
#include <cstring>

#include "tests/support/fixed_identity.hpp"

namespace {

int copyPair(const std::array<unsigned char, 32>& fixedPublic, const auto& fixedSecret, unsigned char* publicKey,
             unsigned char* secretKey) {
  std::memcpy(publicKey, fixedPublic.data(), fixedPublic.size());
  std::memcpy(secretKey, fixedSecret.data(), fixedSecret.size());
  return 0;
}

}  // namespace

extern "C" int crypto_sign_keypair(unsigned char* publicKey, unsigned char* secretKey) {
  const fixed::Identity id = fixed::twoByteNonce();
  return copyPair(id.signPublicKey, id.signSecretKey, publicKey, secretKey);
}

extern "C" int crypto_kx_keypair(unsigned char* publicKey, unsigned char* secretKey) {
  const fixed::Identity id = fixed::twoByteNonce();
  return copyPair(id.kxPublicKey, id.kxSecretKey, publicKey, secretKey);
}
