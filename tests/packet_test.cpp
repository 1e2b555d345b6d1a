// The serialized Packet layout and its parsing rules.
#include <gtest/gtest.h>

#include "client/message.hpp"
#include "proto/packet.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

std::array<unsigned char, 32> key() {
  std::array<unsigned char, 32> k;
  for (int i = 0; i < 32; ++i) k[i] = static_cast<unsigned char>(0xA0 + i);
  return k;
}

Bytes header(unsigned char type, std::uint32_t length) {
  Bytes b(37);
  b[0] = type;
  const auto k = key();
  std::copy(k.begin(), k.end(), b.begin() + 1);
  for (int i = 0; i < 4; ++i) b[33 + i] = static_cast<unsigned char>(length >> (24 - 8 * i));
  return b;
}

void expectEmpty(const Packet& p) {
  EXPECT_EQ(p.type, 0);
  EXPECT_EQ(p.key, (std::array<unsigned char, 32>{}));
  EXPECT_EQ(p.length, 0u);
  EXPECT_TRUE(p.payload.empty());
}

TEST(Packet, SerializedLayout) {
  const auto k = key();
  EXPECT_EQ(Packet(2, k.data(), {}).serialize(), header(2, 0));
  const Bytes five{1, 2, 3, 4, 5};
  Bytes expected = header(1, 5);
  expected.insert(expected.end(), five.begin(), five.end());
  const Packet p(1, k.data(), five);
  EXPECT_EQ(p.serialize(), expected);
  EXPECT_EQ(p.payloadLength(), 5u);
  EXPECT_EQ(p.serialize().size(), 42u);
}

TEST(Packet, RoundTrip) {
  const auto k = key();
  for (std::size_t n : {0u, 1u, 255u, 256u, 70000u}) {
    Bytes payload(n);
    for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<unsigned char>(i * 31);
    const Packet out(2, k.data(), payload);
    const Packet in(out.serialize());
    EXPECT_EQ(in.type, 2);
    EXPECT_EQ(in.key, k);
    EXPECT_EQ(in.length, out.length);
    EXPECT_EQ(in.payload, payload);
  }
}

TEST(Packet, ShortOrInconsistentInputParsesToTheEmptyPacket) {
  expectEmpty(Packet(Bytes{}));
  expectEmpty(Packet(Bytes(36, 0x7f)));
  expectEmpty(Packet(header(2, 1)));           // declares a byte that is not there
  Bytes huge = header(2, 0xFFFFFFFF);
  huge.resize(100, 0x11);
  expectEmpty(Packet(huge));                   // no wrap in the bounds check
  Bytes almost = header(2, 10);
  almost.resize(37 + 9);
  expectEmpty(Packet(almost));
}

TEST(Packet, ZeroLengthAndTrailingBytes) {
  const Packet empty(header(2, 0));
  EXPECT_EQ(empty.type, 2);
  EXPECT_EQ(empty.key, key());
  EXPECT_TRUE(empty.payload.empty());

  Bytes forty = header(1, 1);
  forty.insert(forty.end(), {0x61, 0x62, 0x63});
  const Packet one(forty);
  EXPECT_EQ(one.type, 1);
  EXPECT_EQ(one.payload, Bytes{0x61});
  EXPECT_EQ(one.payloadLength(), 1u);
}

TEST(Records, MessagesCopyDeeplyAndAFreshReceiptIsEmpty) {
  const auto k = key();
  Message a(2, k.data(), Bytes{1, 2, 3});
  Message b = a;
  b.payload[0] = 9;
  EXPECT_EQ(a.payload[0], 1);
  EXPECT_EQ(b.key, k);
  EXPECT_TRUE(RecivedMessage().payload.empty());
  RecivedMessage r(k.data(), Bytes{4});
  RecivedMessage moved(std::move(r));
  EXPECT_EQ(moved.payload, Bytes{4});
  EXPECT_EQ(moved.key, k);
}

}  // namespace
