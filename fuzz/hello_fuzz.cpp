// The server's opening of a hello, and the client's opening of a welcome, fed
// arbitrary records. Three ways in: the raw 213 bytes; any 165 bytes sealed
// to the server (so that the signature check is reached); and any 101-byte
// Initial signed by a known identity and sealed (so that the version, flag
// and proof-of-work checks are reached). For the last, the verdict must be
// exactly the one an independent reading of the Initial predicts.
#include <array>

#include "fuzz/check.hpp"
#include "fuzz/frame_stream.hpp"
#include "proto/handshake.hpp"

namespace {

struct Keys {
  unsigned char serverPublic[32], serverSecret[32];
  unsigned char signPublic[32], signSecret[64];
  unsigned char kxPublic[32], kxSecret[32];
  Keys() {
    if (sodium_init() < 0) std::abort();
    unsigned char seed[32];
    std::memset(seed, 1, sizeof seed);
    crypto_box_seed_keypair(serverPublic, serverSecret, seed);
    std::memset(seed, 2, sizeof seed);
    crypto_sign_seed_keypair(signPublic, signSecret, seed);
    std::memset(seed, 3, sizeof seed);
    crypto_box_seed_keypair(kxPublic, kxSecret, seed);
  }
};

std::array<unsigned char, sotto::kHelloSize> sealed(const unsigned char* signedInitial, const Keys& keys) {
  std::array<unsigned char, sotto::kHelloSize> hello;
  crypto_box_seal(hello.data(), signedInitial, sotto::kSignedInitialSize, keys.serverPublic);
  return hello;
}

sotto::HelloError predict(const fuzz::Bytes& initial) {
  if (scratch::be32(initial.data() + 96) != 1) return sotto::HelloError::version;
  if (initial[100] > 1) return sotto::HelloError::flag;
  if (initial[100] == 1) {
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, initial.data(), initial.size(), nullptr, 0);
    if (digest[0] != 0 || digest[1] != 0 || digest[2] != 0) return sotto::HelloError::proofOfWork;
  }
  return sotto::HelloError::none;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Keys keys;
  FuzzedDataProvider in(data, size);
  const int way = in.ConsumeIntegralInRange<int>(0, 3);
  std::array<unsigned char, sotto::kHelloSize> hello{};
  std::optional<sotto::HelloError> expected;
  switch (way) {
    case 0: {
      const auto raw = in.ConsumeBytes<unsigned char>(hello.size());
      std::copy(raw.begin(), raw.end(), hello.begin());
      break;
    }
    case 1: {
      unsigned char signedInitial[sotto::kSignedInitialSize] = {};
      const auto raw = in.ConsumeBytes<unsigned char>(sizeof signedInitial);
      std::copy(raw.begin(), raw.end(), signedInitial);
      hello = sealed(signedInitial, keys);
      break;
    }
    case 2: {
      fuzz::Bytes initial = in.ConsumeBytes<unsigned char>(sotto::kInitialSize);
      initial.resize(sotto::kInitialSize);
      std::memcpy(initial.data(), keys.signPublic, 32);
      unsigned char signedInitial[sotto::kSignedInitialSize];
      std::memcpy(signedInitial, initial.data(), initial.size());
      crypto_sign_detached(signedInitial + sotto::kInitialSize, nullptr, initial.data(), initial.size(),
                           keys.signSecret);
      hello = sealed(signedInitial, keys);
      expected = predict(initial);
      break;
    }
    case 3: {
      // A welcome the client must open or refuse, never anything else.
      std::array<unsigned char, sotto::kWelcomeSize> welcome{};
      const auto raw = in.ConsumeBytes<unsigned char>(welcome.size());
      std::copy(raw.begin(), raw.end(), welcome.begin());
      unsigned char session[32];
      FUZZ_CHECK(!sotto::openWelcome(welcome.data(), keys.serverPublic, keys.kxSecret, session));
      return 0;
    }
  }

  sotto::HelloError why = sotto::HelloError::none;
  const std::optional<Initial> opened = sotto::openHello(hello.data(), keys.serverPublic, keys.serverSecret, why);
  FUZZ_CHECK(opened.has_value() == (why == sotto::HelloError::none));
  FUZZ_CHECK(!sotto::describe(why).empty());
  if (expected) FUZZ_CHECK(why == *expected);
  if (opened) {
    // What passed is what was signed: the signer's key, version 1, a flag of
    // 0 or 1, and a proof where the flag says so.
    FUZZ_CHECK(std::memcmp(opened->signPublicKey(), keys.signPublic, 32) == 0 || way == 1);
    FUZZ_CHECK(opened->version() == sotto::kProtocolVersion);
    FUZZ_CHECK(opened->isNewIdentity() <= 1);
    FUZZ_CHECK(opened->isNewIdentity() == 0 || sotto::proofPasses(*opened));
  }
  return 0;
}
