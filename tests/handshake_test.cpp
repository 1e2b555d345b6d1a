// The hello and welcome records and the proof of work, checked byte by byte
// against raw libsodium.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>

#include "client/client_impl.hpp"
#include "client/pow.hpp"
#include "proto/handshake.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/scratch.hpp"

namespace {

std::uint64_t nonceValue(const Initial& initial) {
  const std::uint64_t v = scratch::le64(initial.powNonce());
  for (std::size_t i = 8; i < Initial::powNonceSize; ++i) EXPECT_EQ(initial.powNonce()[i], 0) << i;
  return v;
}

void setNonce(Initial& initial, std::uint64_t v) {
  std::memset(initial.powNonce(), 0, Initial::powNonceSize);
  scratch::putLe64(initial.powNonce(), v);
}

TEST(Initial, LayoutOfAKnownIdentity) {
  const auto id = fixed::twoByteNonce();
  const Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), false);
  ASSERT_EQ(initial.bytes.size(), 101u);
  EXPECT_EQ(0, std::memcmp(initial.bytes.data(), id.signPublicKey.data(), 32));
  EXPECT_EQ(0, std::memcmp(initial.bytes.data() + 32, id.kxPublicKey.data(), 32));
  for (std::size_t i = 64; i < 96; ++i) EXPECT_EQ(initial.bytes[i], 0) << i;
  EXPECT_EQ(initial.bytes[96], 0);
  EXPECT_EQ(initial.bytes[97], 0);
  EXPECT_EQ(initial.bytes[98], 0);
  EXPECT_EQ(initial.bytes[99], 1);
  EXPECT_EQ(initial.bytes[100], 0);
  EXPECT_EQ(sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true).bytes[100], 1);
}

TEST(ProofOfWork, MiningFindsTheKnownSmallestNonce) {
  for (const auto& id : {fixed::twoByteNonce(), fixed::threeByteNonce()}) {
    ClientImpl client;
    Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
    client.mining_(initial);
    EXPECT_EQ(nonceValue(initial), id.smallestNonce);
    EXPECT_TRUE(client.proofOfWortk(initial));

    unsigned char digest[32];
    crypto_generichash(digest, 32, initial.bytes.data(), 101, nullptr, 0);
    EXPECT_EQ(digest[0] | digest[1] | digest[2], 0);
  }
}

TEST(ProofOfWork, NoSmallerNoncePassesAndTheFlagIsHashed) {
  const auto id = fixed::twoByteNonce();
  Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
  for (std::uint64_t n = 0; n < id.smallestNonce; ++n) {
    setNonce(initial, n);
    ASSERT_FALSE(sotto::proofPasses(initial)) << n;
  }
  setNonce(initial, id.smallestNonce);
  EXPECT_TRUE(sotto::proofPasses(initial));
  initial.bytes[100] = 0;  // the flag byte is covered by the hash
  EXPECT_FALSE(sotto::proofPasses(initial));
}

TEST(ProofOfWork, ThreeWholeZeroBytesAreRequired) {
  // Below the smallest passing nonce there are digests that start with two
  // zero bytes (about one in 65,536): they pass at 16 bits and fail at 24.
  const auto id = fixed::threeByteNonce();
  Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
  bool sawTwo = false;
  for (std::uint64_t n = 0; n < id.smallestNonce && !sawTwo; ++n) {
    setNonce(initial, n);
    unsigned char d[32];
    crypto_generichash(d, 32, initial.bytes.data(), 101, nullptr, 0);
    if (d[0] == 0 && d[1] == 0) {
      sawTwo = true;
      EXPECT_TRUE(sotto::proofPasses(initial, 16));
      EXPECT_FALSE(sotto::proofPasses(initial, 24));
    }
  }
  EXPECT_TRUE(sawTwo);
}

TEST(ProofOfWork, SearchAgreesWithTheLiteralLoopAtSmallTargets) {
  for (unsigned bits : {1u, 4u, 8u, 12u}) {
    for (unsigned char seed = 1; seed < 40; ++seed) {
      unsigned char sk[64], pk[32];
      unsigned char s[32];
      std::memset(s, seed, 32);
      crypto_sign_seed_keypair(pk, sk, s);
      Initial a = sotto::makeInitial(pk, pk, true);
      Initial b = a;
      sotto::literalSearch(a, bits);
      sotto::findSmallestNonce(b, bits);
      ASSERT_EQ(a.bytes, b.bytes) << "bits " << bits << " seed " << int(seed);
    }
  }
}

struct ServerKeys {
  unsigned char pk[32], sk[32];
  ServerKeys() { crypto_box_keypair(pk, sk); }
};

TEST(Hello, UnsealsToTheSignedInitial) {
  const auto id = fixed::twoByteNonce();
  ServerKeys server;
  Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
  setNonce(initial, id.smallestNonce);
  std::array<unsigned char, sotto::kHelloSize> hello;
  ASSERT_TRUE(sotto::sealHello(initial, id.signSecretKey.data(), server.pk, hello));
  ASSERT_EQ(hello.size(), 213u);

  unsigned char opened[165];
  ASSERT_EQ(0, crypto_box_seal_open(opened, hello.data(), 213, server.pk, server.sk));
  EXPECT_EQ(0, std::memcmp(opened, initial.bytes.data(), 101));
  EXPECT_EQ(0, crypto_sign_verify_detached(opened + 101, opened, 101, id.signPublicKey.data()));

  sotto::HelloError why;
  auto back = sotto::openHello(hello.data(), server.pk, server.sk, why);
  ASSERT_TRUE(back);
  EXPECT_EQ(why, sotto::HelloError::none);
  EXPECT_EQ(back->bytes, initial.bytes);
}

TEST(Hello, ServerSideRefusals) {
  const auto id = fixed::twoByteNonce();
  ServerKeys server, other;
  std::array<unsigned char, sotto::kHelloSize> hello;
  sotto::HelloError why;
  auto refused = [&](Initial initial, const unsigned char* signKey, const unsigned char* to) {
    EXPECT_TRUE(sotto::sealHello(initial, signKey, to, hello));
    return !sotto::openHello(hello.data(), server.pk, server.sk, why);
  };
  Initial good = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
  setNonce(good, id.smallestNonce);

  EXPECT_TRUE(refused(good, id.signSecretKey.data(), other.pk));
  EXPECT_EQ(why, sotto::HelloError::unseal);

  const auto stranger = fixed::threeByteNonce();
  EXPECT_TRUE(refused(good, stranger.signSecretKey.data(), server.pk));
  EXPECT_EQ(why, sotto::HelloError::signature);

  Initial v2 = good;
  v2.bytes[99] = 2;
  EXPECT_TRUE(refused(v2, id.signSecretKey.data(), server.pk));
  EXPECT_EQ(why, sotto::HelloError::version);

  Initial flag2 = good;
  flag2.bytes[100] = 2;
  EXPECT_TRUE(refused(flag2, id.signSecretKey.data(), server.pk));
  EXPECT_EQ(why, sotto::HelloError::flag);

  Initial lazy = good;
  setNonce(lazy, id.smallestNonce - 1);
  EXPECT_TRUE(refused(lazy, id.signSecretKey.data(), server.pk));
  EXPECT_EQ(why, sotto::HelloError::proofOfWork);

  Initial known = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), false);
  EXPECT_FALSE(refused(known, id.signSecretKey.data(), server.pk));
}

TEST(Welcome, OpensOnlyFromTheServerKeyAndUnaltered) {
  ServerKeys server, other;
  unsigned char kxPk[32], kxSk[32], session[32], got[32];
  crypto_kx_keypair(kxPk, kxSk);
  randombytes_buf(session, 32);
  std::array<unsigned char, sotto::kWelcomeSize> welcome;
  ASSERT_TRUE(sotto::sealWelcome(session, kxPk, server.sk, welcome));
  ASSERT_TRUE(sotto::openWelcome(welcome.data(), server.pk, kxSk, got));
  EXPECT_EQ(0, std::memcmp(got, session, 32));
  EXPECT_FALSE(sotto::openWelcome(welcome.data(), other.pk, kxSk, got));
  for (std::size_t i = 0; i < welcome.size(); i += 5) {
    auto altered = welcome;
    altered[i] ^= 0x01;
    EXPECT_FALSE(sotto::openWelcome(altered.data(), server.pk, kxSk, got)) << i;
  }
}

}  // namespace
