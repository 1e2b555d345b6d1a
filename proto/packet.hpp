// Packet: the plaintext of one frame on the wire.
//
// Serialized Packet, 37 bytes plus the payload:
//   [0] type  [1..32] key  [33..36] payload length, big-endian  [37..] payload
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

enum MessageType : std::uint8_t { Direct = 1, Broadcast = 2 };

struct Packet {
  static constexpr std::size_t headerSize = 37;
  static constexpr std::size_t keyOffset = 1;
  static constexpr std::size_t lengthOffset = 33;

  // The empty packet: type 0, zero key, no payload.
  Packet() = default;
  Packet(std::uint8_t type, const unsigned char* key, const std::vector<unsigned char>& payload);
  // Parses a serialized packet. Never throws on bad input and never reads past
  // it: short input or a length field longer than the data gives the empty
  // packet; bytes after the declared payload are ignored.
  explicit Packet(const std::vector<unsigned char>& serialized);
  Packet(const Packet&) = default;
  Packet(Packet&&) noexcept = default;
  Packet& operator=(const Packet&) = default;
  Packet& operator=(Packet&&) noexcept = default;
  ~Packet() = default;

  std::vector<unsigned char> serialize() const;
  // The length field as a number (it is held in network byte order).
  std::uint32_t payloadLength() const;

  std::uint8_t type = 0;
  std::array<unsigned char, 32> key{};
  std::uint32_t length = 0;  // network byte order, as on the wire
  std::vector<unsigned char> payload;
};
