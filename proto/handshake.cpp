#include "proto/handshake.hpp"

#include <sodium.h>

#include <cstring>

#include "proto/bytes.hpp"

static_assert(sizeof(Initial) == sotto::kInitialSize, "Initial is exactly its wire bytes");
static_assert(sotto::kHelloSize == sotto::kSignedInitialSize + crypto_box_SEALBYTES);
static_assert(sotto::kWelcomeSize == crypto_box_NONCEBYTES + crypto_box_MACBYTES + sotto::kWelcomePlainSize);
static_assert(sotto::kSignatureSize == crypto_sign_BYTES);
static_assert(sotto::kSignSecretKeySize == crypto_sign_SECRETKEYBYTES);

std::uint32_t Initial::version() const { return sotto::getU32be(bytes.data() + versionOffset); }

namespace sotto {

Initial makeInitial(const unsigned char* signPublicKey, const unsigned char* kxPublicKey, bool isNewIdentity) {
  Initial initial;
  std::memcpy(initial.bytes.data() + Initial::signPublicKeyOffset, signPublicKey, kKeySize);
  std::memcpy(initial.bytes.data() + Initial::kxPublicKeyOffset, kxPublicKey, kKeySize);
  putU32be(initial.bytes.data() + Initial::versionOffset, kProtocolVersion);
  initial.bytes[Initial::isNewIdentityOffset] = isNewIdentity ? 1 : 0;
  return initial;
}

bool proofPasses(const Initial& initial, unsigned zeroBits) {
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, initial.bytes.data(), initial.bytes.size(), nullptr, 0);
  unsigned i = 0;
  for (; zeroBits >= 8; zeroBits -= 8, ++i)
    if (digest[i] != 0) return false;
  return zeroBits == 0 || (digest[i] >> (8 - zeroBits)) == 0;
}

bool sealHello(const Initial& initial, const unsigned char* signSecretKey, const unsigned char* serverPublicKey,
               std::array<unsigned char, kHelloSize>& hello) {
  unsigned char signedInitial[kSignedInitialSize];
  std::memcpy(signedInitial, initial.bytes.data(), kInitialSize);
  if (crypto_sign_detached(signedInitial + kInitialSize, nullptr, signedInitial, kInitialSize, signSecretKey) != 0)
    return false;
  return crypto_box_seal(hello.data(), signedInitial, sizeof signedInitial, serverPublicKey) == 0;
}

std::string_view describe(HelloError error) {
  switch (error) {
    case HelloError::none: return "ok";
    case HelloError::unseal: return "hello does not unseal with the server key";
    case HelloError::signature: return "bad signature";
    case HelloError::version: return "unsupported version";
    case HelloError::flag: return "bad new-identity flag";
    case HelloError::proofOfWork: return "missing proof of work";
  }
  return "unknown";
}

std::optional<Initial> openHello(const unsigned char* hello, const unsigned char* serverPublicKey,
                                 const unsigned char* serverSecretKey, HelloError& why) {
  unsigned char signedInitial[kSignedInitialSize];
  if (crypto_box_seal_open(signedInitial, hello, kHelloSize, serverPublicKey, serverSecretKey) != 0) {
    why = HelloError::unseal;
    return std::nullopt;
  }
  Initial initial;
  std::memcpy(initial.bytes.data(), signedInitial, kInitialSize);
  if (crypto_sign_verify_detached(signedInitial + kInitialSize, signedInitial, kInitialSize,
                                  initial.signPublicKey()) != 0) {
    why = HelloError::signature;
  } else if (initial.version() != kProtocolVersion) {
    why = HelloError::version;
  } else if (initial.isNewIdentity() > 1) {
    why = HelloError::flag;
  } else if (initial.isNewIdentity() == 1 && !proofPasses(initial)) {
    why = HelloError::proofOfWork;
  } else {
    why = HelloError::none;
    return initial;
  }
  return std::nullopt;
}

bool sealWelcome(const unsigned char* sessionPublicKey, const unsigned char* clientKxPublicKey,
                 const unsigned char* serverSecretKey, std::array<unsigned char, kWelcomeSize>& welcome) {
  unsigned char plain[kWelcomePlainSize] = {};
  std::memcpy(plain, sessionPublicKey, kKeySize);
  randombytes_buf(welcome.data(), crypto_box_NONCEBYTES);
  return crypto_box_easy(welcome.data() + crypto_box_NONCEBYTES, plain, sizeof plain, welcome.data(),
                         clientKxPublicKey, serverSecretKey) == 0;
}

bool openWelcome(const unsigned char* welcome, const unsigned char* serverPublicKey,
                 const unsigned char* kxSecretKey, unsigned char* sessionPublicKey) {
  unsigned char plain[kWelcomePlainSize];
  if (crypto_box_open_easy(plain, welcome + crypto_box_NONCEBYTES, kWelcomeSize - crypto_box_NONCEBYTES, welcome,
                           serverPublicKey, kxSecretKey) != 0)
    return false;
  std::memcpy(sessionPublicKey, plain, kKeySize);
  return true;
}

}  // namespace sotto
