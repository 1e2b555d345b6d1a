// Frames per second through encrypt and decrypt, for a serialized Packet
// carrying a payload of 0, 64, 1,024 and 65,536 bytes, against libsodium's
// XChaCha20-Poly1305 called on the same bytes into a reused buffer (what the
// cipher alone costs, without our allocation).
#include <sodium.h>

#include <string>
#include <vector>

#include "bench/areas.hpp"
#include "bench/table.hpp"
#include "proto/frame.hpp"
#include "proto/packet.hpp"

namespace bench {

namespace {

struct Session {
  unsigned char key[sotto::kFrameKeySize];
  unsigned char nonce[sotto::kFrameNonceSize] = {};
  std::vector<unsigned char> plain;
  std::vector<unsigned char> sealed;

  explicit Session(std::size_t payloadSize) {
    crypto_aead_xchacha20poly1305_ietf_keygen(key);
    std::vector<unsigned char> payload(payloadSize, 'x');
    plain = Packet(Broadcast, key, payload).serialize();
    sealed = encrypt(plain, key, nonce);
  }
};

void setFigure(benchmark::State& state) {
  state.counters[kFigure] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void seal(benchmark::State& state, std::size_t payloadSize) {
  Session s(payloadSize);
  for (auto _ : state) {
    std::vector<unsigned char> frame = encrypt(s.plain, s.key, s.nonce);
    benchmark::DoNotOptimize(frame.data());
    sodium_increment(s.nonce, sizeof s.nonce);
  }
  setFigure(state);
}

void sealRaw(benchmark::State& state, std::size_t payloadSize) {
  Session s(payloadSize);
  std::vector<unsigned char> out(s.plain.size() + sotto::kFrameTagSize);
  unsigned long long outLength = 0;
  for (auto _ : state) {
    crypto_aead_xchacha20poly1305_ietf_encrypt(out.data(), &outLength, s.plain.data(), s.plain.size(), nullptr, 0,
                                               nullptr, s.nonce, s.key);
    benchmark::DoNotOptimize(out.data());
    sodium_increment(s.nonce, sizeof s.nonce);
  }
  setFigure(state);
}

// Opening uses the one frame sealed under the zero nonce, again and again.
void open(benchmark::State& state, std::size_t payloadSize) {
  Session s(payloadSize);
  for (auto _ : state) {
    std::vector<unsigned char> plain = decrypt(s.sealed, s.key, s.nonce);
    if (plain.size() != s.plain.size()) {
      state.SkipWithError("frame did not open");
      return;
    }
    benchmark::DoNotOptimize(plain.data());
  }
  setFigure(state);
}

void openRaw(benchmark::State& state, std::size_t payloadSize) {
  Session s(payloadSize);
  std::vector<unsigned char> out(s.plain.size());
  unsigned long long outLength = 0;
  for (auto _ : state) {
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(out.data(), &outLength, nullptr, s.sealed.data(),
                                                   s.sealed.size(), nullptr, 0, s.nonce, s.key) != 0) {
      state.SkipWithError("frame did not open");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  setFigure(state);
}

}  // namespace

void registerFrames() {
  for (std::size_t size : {0, 64, 1024, 65536}) {
    const std::string n = std::to_string(size);
    const std::string sealBase = "frame/encrypt-libsodium/" + n, openBase = "frame/decrypt-libsodium/" + n;
    add({sealBase, "encrypt, " + n + "-byte payload: libsodium alone", "frames/s", Better::higher, ""},
        [size](benchmark::State& state) { sealRaw(state, size); });
    add({"frame/encrypt/" + n, "encrypt, " + n + "-byte payload", "frames/s", Better::higher, sealBase},
        [size](benchmark::State& state) { seal(state, size); });
    add({openBase, "decrypt, " + n + "-byte payload: libsodium alone", "frames/s", Better::higher, ""},
        [size](benchmark::State& state) { openRaw(state, size); });
    add({"frame/decrypt/" + n, "decrypt, " + n + "-byte payload", "frames/s", Better::higher, openBase},
        [size](benchmark::State& state) { open(state, size); });
  }
}

}  // namespace bench
