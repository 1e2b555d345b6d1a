#include "proto/frame.hpp"

#include <sodium.h>

static_assert(sotto::kFrameKeySize == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(sotto::kFrameNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(sotto::kFrameTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);

int crypto_chacha(unsigned char* out, unsigned long long& outLength, const unsigned char* in,
                  unsigned long long inLength, const unsigned char* nonce, const unsigned char* key) {
  return crypto_aead_xchacha20poly1305_ietf_encrypt(out, &outLength, in, inLength, nullptr, 0, nullptr, nonce,
                                                    key);
}

int crypto_chacha_open(unsigned char* out, unsigned long long& outLength, const unsigned char* in,
                       unsigned long long inLength, const unsigned char* nonce, const unsigned char* key) {
  return crypto_aead_xchacha20poly1305_ietf_decrypt(out, &outLength, nullptr, in, inLength, nullptr, 0, nonce,
                                                    key);
}

std::vector<unsigned char> encrypt(const std::vector<unsigned char>& plaintext, const unsigned char* key,
                                   const unsigned char* nonce) {
  std::vector<unsigned char> out(plaintext.size() + sotto::kFrameTagSize);
  unsigned long long outLength = 0;
  if (crypto_chacha(out.data(), outLength, plaintext.data(), plaintext.size(), nonce, key) != 0) return {};
  out.resize(outLength);
  return out;
}

std::vector<unsigned char> decrypt(const std::vector<unsigned char>& ciphertext, const unsigned char* key,
                                   const unsigned char* nonce) {
  if (ciphertext.size() < sotto::kFrameTagSize) return {};
  std::vector<unsigned char> out(ciphertext.size() - sotto::kFrameTagSize);
  unsigned long long outLength = 0;
  if (crypto_chacha_open(out.data(), outLength, ciphertext.data(), ciphertext.size(), nonce, key) != 0) return {};
  out.resize(outLength);
  return out;
}
