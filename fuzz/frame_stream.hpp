// Streams of frames made from fuzz input, for the targets that feed a
// receiver: raw bytes and arbitrary length words, but also frames sealed under
// a key the target knows (in and out of nonce step, replayed, flipped), so that
// the fuzzer gets past authentication into the packets behind it. The records
// are laid out and sealed here with raw libsodium, apart from the code under
// test, so that the targets can predict what a receiver must make of them.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "tests/support/scratch.hpp"

namespace fuzz {

using Bytes = std::vector<unsigned char>;
using Key = std::array<unsigned char, 32>;
using Nonce = std::array<unsigned char, 24>;

inline constexpr std::uint32_t kMaxFrame = 16u * 1024 * 1024;
inline constexpr std::size_t kTag = 16;
inline constexpr std::size_t kHeader = 37;

inline Key filledKey(unsigned char byte) {
  Key key;
  key.fill(byte);
  return key;
}

inline void appendBe32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

inline Bytes seal(const Bytes& plain, const Key& key, const Nonce& nonce) {
  Bytes out(plain.size() + kTag);
  unsigned long long length = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out.data(), &length, plain.data(), plain.size(), nullptr, 0, nullptr,
                                             nonce.data(), key.data());
  return out;
}

inline std::optional<Bytes> open(const unsigned char* body, std::size_t size, const Key& key, const Nonce& nonce) {
  if (size < kTag) return std::nullopt;
  Bytes plain(size - kTag);
  unsigned long long length = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(plain.data(), &length, nullptr, body, size, nullptr, 0,
                                                 nonce.data(), key.data()) != 0)
    return std::nullopt;
  return plain;
}

inline void increment(Nonce& nonce) { sodium_increment(nonce.data(), nonce.size()); }

struct Record {
  unsigned char type = 0;
  Key key{};
  Bytes payload;
  bool operator==(const Record&) const = default;
};

// type, key, big-endian declared length, payload, then any trailing bytes.
inline Bytes layOut(const Record& r, std::uint32_t declared, const Bytes& trailing = {}) {
  Bytes out;
  out.push_back(r.type);
  out.insert(out.end(), r.key.begin(), r.key.end());
  appendBe32(out, declared);
  out.insert(out.end(), r.payload.begin(), r.payload.end());
  out.insert(out.end(), trailing.begin(), trailing.end());
  return out;
}

// Nothing when shorter than the header or than the length it declares;
// trailing bytes are ignored.
inline std::optional<Record> parse(const Bytes& plain) {
  if (plain.size() < kHeader) return std::nullopt;
  const std::uint64_t declared = scratch::be32(plain.data() + 33);
  if (plain.size() - kHeader < declared) return std::nullopt;
  Record r;
  r.type = plain[0];
  std::memcpy(r.key.data(), plain.data() + 1, 32);
  r.payload.assign(plain.begin() + kHeader, plain.begin() + static_cast<std::ptrdiff_t>(kHeader + declared));
  return r;
}

// Builds a stream from fuzz input, sealing frames under `key` with its own
// counter from zero. `keys` are the identities worth naming in key fields.
class StreamBuilder {
 public:
  StreamBuilder(const Key& key, std::vector<Key> keys) : key_(key), keys_(std::move(keys)) {}

  Bytes build(FuzzedDataProvider& in, std::size_t maxSize) {
    Bytes out;
    while (in.remaining_bytes() > 0 && out.size() < maxSize) {
      switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0: append(out, in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 64))); break;
        case 1: appendBe32(out, in.ConsumeIntegral<std::uint32_t>()); break;
        case 2: {  // a short frame of raw bytes, which cannot open
          const auto length = in.ConsumeIntegralInRange<std::uint32_t>(0, 80);
          appendBe32(out, length);
          append(out, in.ConsumeBytes<unsigned char>(length));
          break;
        }
        case 3: sealFrame(out, in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 96))); break;
        case 4: sealFrame(out, packet(in)); break;
        case 5: append(out, last_); break;  // a replay
        case 6: increment(nonce_); break;   // the next sealed frame is out of step
        case 7: {  // a sealed packet with one bit flipped
          Bytes frame = frame_(packet(in));
          const auto at = in.ConsumeIntegralInRange<std::size_t>(0, frame.size() - 1);
          frame[at] ^= static_cast<unsigned char>(1u << in.ConsumeIntegralInRange<int>(0, 7));
          append(out, frame);
          break;
        }
        case 8: {  // a long run of small valid packets
          const int count = in.ConsumeIntegralInRange<int>(1, 64);
          const Bytes payload = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 8));
          for (int i = 0; i < count; ++i) sealFrame(out, layOut({2, keys_[0], payload}, payload.size()));
          break;
        }
      }
    }
    return out;
  }

 private:
  static void append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

  Bytes packet(FuzzedDataProvider& in) {
    Record r;
    r.type = in.ConsumeBool() ? in.PickValueInArray<unsigned char>({1, 2}) : in.ConsumeIntegral<unsigned char>();
    const auto which = in.ConsumeIntegralInRange<std::size_t>(0, keys_.size());
    if (which < keys_.size())
      r.key = keys_[which];
    else
      r.key = filledKey(in.ConsumeIntegral<unsigned char>());
    r.payload = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 200));
    const auto declared = in.ConsumeBool() ? static_cast<std::uint32_t>(r.payload.size()) : in.ConsumeIntegral<std::uint32_t>();
    return layOut(r, declared, in.ConsumeBool() ? Bytes{} : in.ConsumeBytes<unsigned char>(8));
  }

  Bytes frame_(const Bytes& plain) {
    const Bytes body = seal(plain, key_, nonce_);
    increment(nonce_);
    Bytes frame;
    appendBe32(frame, static_cast<std::uint32_t>(body.size()));
    append(frame, body);
    return frame;
  }

  void sealFrame(Bytes& out, const Bytes& plain) {
    last_ = frame_(plain);
    append(out, last_);
  }

  Key key_;
  std::vector<Key> keys_;
  Nonce nonce_{};
  Bytes last_;
};

// Walks a stream the way both ends frame it, handing each whole frame's body
// to onFrame, which returns false to stop. Returns true when the walk ended
// on a length word above the bound, false when it ran out of bytes or was
// stopped.
template <class OnFrame>
bool walkFrames(const Bytes& stream, OnFrame onFrame) {
  std::size_t at = 0;
  while (stream.size() - at >= 4) {
    const std::uint32_t length = scratch::be32(stream.data() + at);
    if (length > kMaxFrame) return true;
    if (stream.size() - at - 4 < length) return false;
    if (!onFrame(stream.data() + at + 4, std::size_t{length})) return false;
    at += 4 + length;
  }
  return false;
}

}  // namespace fuzz
