// encrypt and decrypt: sizes, nonce discipline, tampering.
#include <gtest/gtest.h>
#include <sodium.h>

#include "proto/frame.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

struct Keys {
  unsigned char key[32];
  unsigned char nonce[24] = {};
  Keys() {
    if (sodium_init() < 0) std::abort();
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 3 + 1);
  }
};

TEST(Frame, SizesAndRoundTrip) {
  Keys k;
  EXPECT_EQ(encrypt({}, k.key, k.nonce).size(), 16u);
  for (std::size_t n : {1u, 37u, 1000u}) {
    Bytes plain(n, 0x42);
    const Bytes sealed = encrypt(plain, k.key, k.nonce);
    EXPECT_EQ(sealed.size(), n + 16);
    EXPECT_EQ(decrypt(sealed, k.key, k.nonce), plain);
    EXPECT_EQ(plain, Bytes(n, 0x42));  // input untouched
  }
}

TEST(Frame, MatchesLibsodiumDirectly) {
  Keys k;
  const Bytes plain{'a', 'b', 'c'};
  Bytes expected(plain.size() + 16);
  unsigned long long len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(expected.data(), &len, plain.data(), plain.size(), nullptr, 0, nullptr,
                                             k.nonce, k.key);
  EXPECT_EQ(encrypt(plain, k.key, k.nonce), expected);
}

TEST(Frame, WrongNonceShortInputAndEveryBitFlipFailQuietly) {
  Keys k;
  const Bytes plain{'s', 'e', 'c', 'r', 'e', 't'};
  const Bytes sealed = encrypt(plain, k.key, k.nonce);
  unsigned char next[24] = {1};
  EXPECT_TRUE(decrypt(sealed, k.key, next).empty());
  for (std::size_t n = 0; n < 16; ++n) EXPECT_TRUE(decrypt(Bytes(n, 0), k.key, k.nonce).empty()) << n;
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes flipped = sealed;
    flipped[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    ASSERT_TRUE(decrypt(flipped, k.key, k.nonce).empty()) << "bit " << bit;
  }
}

TEST(Frame, WrappersTakeNonceBeforeKey) {
  Keys k;
  unsigned char out[3 + 16];
  unsigned long long len = 0;
  const unsigned char in[3] = {1, 2, 3};
  ASSERT_EQ(crypto_chacha(out, len, in, 3, k.nonce, k.key), 0);
  EXPECT_EQ(len, 19u);
  unsigned char back[3];
  ASSERT_EQ(crypto_chacha_open(back, len, out, 19, k.nonce, k.key), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(back[2], 3);
  EXPECT_NE(crypto_chacha_open(back, len, out, 19, k.key, k.nonce), 0);
}

}  // namespace
