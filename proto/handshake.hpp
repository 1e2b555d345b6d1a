// The two handshake records, for both ends of a connection.
//
// Hello (client -> server, 213 bytes): crypto_box_seal to the server's
// long-term X25519 key of the 101-byte Initial followed by its 64-byte Ed25519
// detached signature.
//
// Initial (101 bytes, hashed, signed and sealed exactly as laid out here):
//   [0..31] signPublicKey  [32..63] kxPublicKey  [64..95] powNonce (LE counter)
//   [96..99] version, big-endian, always 1  [100] isNewIdentity (0 or 1)
//
// Welcome (server -> client, 76 bytes): a 24-byte nonce, then a crypto_box
// (combined: tag, then 36 bytes) from the server's long-term key to the
// client's kxPublicKey. Plaintext: [0..31] server session public key,
// [32..35] not interpreted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sotto {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kSignSecretKeySize = 64;
inline constexpr std::size_t kSignatureSize = 64;
inline constexpr std::size_t kInitialSize = 101;
inline constexpr std::size_t kSignedInitialSize = kInitialSize + kSignatureSize;  // 165
inline constexpr std::size_t kHelloSize = kSignedInitialSize + 48;                 // 213
inline constexpr std::size_t kWelcomePlainSize = 36;
inline constexpr std::size_t kWelcomeSize = 24 + 16 + kWelcomePlainSize;  // 76
inline constexpr std::uint32_t kProtocolVersion = 1;
// Leading zero bits of BLAKE2b-256(Initial) that a new identity must show.
inline constexpr unsigned kProofOfWorkBits = 24;

using Key = std::array<unsigned char, kKeySize>;

}  // namespace sotto

struct Initial {
  static constexpr std::size_t signPublicKeyOffset = 0;
  static constexpr std::size_t kxPublicKeyOffset = 32;
  static constexpr std::size_t powNonceOffset = 64;
  static constexpr std::size_t powNonceSize = 32;
  static constexpr std::size_t versionOffset = 96;
  static constexpr std::size_t isNewIdentityOffset = 100;

  std::array<unsigned char, sotto::kInitialSize> bytes{};

  unsigned char* powNonce() { return bytes.data() + powNonceOffset; }
  const unsigned char* powNonce() const { return bytes.data() + powNonceOffset; }
  const unsigned char* signPublicKey() const { return bytes.data() + signPublicKeyOffset; }
  const unsigned char* kxPublicKey() const { return bytes.data() + kxPublicKeyOffset; }
  std::uint32_t version() const;
  unsigned char isNewIdentity() const { return bytes[isNewIdentityOffset]; }
};

namespace sotto {

// An Initial with both keys, version 1, the flag byte, and a zero powNonce.
Initial makeInitial(const unsigned char* signPublicKey, const unsigned char* kxPublicKey, bool isNewIdentity);

// True when the BLAKE2b-256 digest of the record starts with zeroBits zero bits.
bool proofPasses(const Initial& initial, unsigned zeroBits = kProofOfWorkBits);

// Signs the record and seals it to the server. False only if libsodium fails.
bool sealHello(const Initial& initial, const unsigned char* signSecretKey, const unsigned char* serverPublicKey,
               std::array<unsigned char, kHelloSize>& hello);

enum class HelloError { none, unseal, signature, version, flag, proofOfWork };
std::string_view describe(HelloError error);

// Server side: unseals a hello with the server's long-term pair, verifies the
// signature, the version, the flag byte, and the proof of work when the flag
// is 1. On failure returns nothing and says why.
std::optional<Initial> openHello(const unsigned char* hello, const unsigned char* serverPublicKey,
                                 const unsigned char* serverSecretKey, HelloError& why);

// Server side: boxes the session public key (plus four zero bytes) for the
// client's kxPublicKey under a fresh random nonce.
bool sealWelcome(const unsigned char* sessionPublicKey, const unsigned char* clientKxPublicKey,
                 const unsigned char* serverSecretKey, std::array<unsigned char, kWelcomeSize>& welcome);

// Client side: opens the welcome; on success the server's session public key
// is written to sessionPublicKey.
bool openWelcome(const unsigned char* welcome, const unsigned char* serverPublicKey,
                 const unsigned char* kxSecretKey, unsigned char* sessionPublicKey);

}  // namespace sotto
