// Encrypted frames: a 4-byte big-endian ciphertext length, then one
// XChaCha20-Poly1305 (IETF) ciphertext of a serialized Packet with its 16-byte
// tag. Each direction counts its own 24-byte little-endian nonce from zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sotto {
inline constexpr std::size_t kFrameKeySize = 32;
inline constexpr std::size_t kFrameNonceSize = 24;
inline constexpr std::size_t kFrameTagSize = 16;
inline constexpr std::size_t kFrameLengthSize = 4;
// Largest ciphertext either side accepts. A longer length word ends the
// connection before anything is allocated for it.
inline constexpr std::uint32_t kMaxFrameLength = 16u * 1024 * 1024;
}  // namespace sotto

// Returns a new vector with the ciphertext (plaintext size + 16), or an empty
// vector on failure. The nonce is not advanced.
std::vector<unsigned char> encrypt(const std::vector<unsigned char>& plaintext, const unsigned char* key,
                                   const unsigned char* nonce);

// Returns the plaintext, or an empty vector when the input is shorter than a tag
// or does not authenticate under key and nonce. The nonce is not advanced.
std::vector<unsigned char> decrypt(const std::vector<unsigned char>& ciphertext, const unsigned char* key,
                                   const unsigned char* nonce);

// Thin wrappers over libsodium's XChaCha20-Poly1305 without additional data.
// Note the order: nonce before key here, key before nonce in encrypt/decrypt.
int crypto_chacha(unsigned char* out, unsigned long long& outLength, const unsigned char* in,
                  unsigned long long inLength, const unsigned char* nonce, const unsigned char* key);
int crypto_chacha_open(unsigned char* out, unsigned long long& outLength, const unsigned char* in,
                       unsigned long long inLength, const unsigned char* nonce, const unsigned char* key);
