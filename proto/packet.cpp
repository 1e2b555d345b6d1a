#include "proto/packet.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "proto/bytes.hpp"

static_assert(Packet::headerSize == 1 + 32 + 4);

Packet::Packet(std::uint8_t type_, const unsigned char* key_, const std::vector<unsigned char>& payload_)
    : type(type_), length(htonl(static_cast<std::uint32_t>(payload_.size()))), payload(payload_) {
  std::memcpy(key.data(), key_, key.size());
}

Packet::Packet(const std::vector<unsigned char>& in) {
  if (in.size() < headerSize) return;
  const std::uint64_t declared = sotto::getU32be(in.data() + lengthOffset);
  if (in.size() < headerSize + declared) return;  // 64-bit sum: cannot wrap
  type = in[0];
  std::memcpy(key.data(), in.data() + keyOffset, key.size());
  std::memcpy(&length, in.data() + lengthOffset, sizeof length);
  payload.assign(in.begin() + headerSize, in.begin() + static_cast<std::ptrdiff_t>(headerSize + declared));
}

std::uint32_t Packet::payloadLength() const { return ntohl(length); }

std::vector<unsigned char> Packet::serialize() const {
  std::vector<unsigned char> out;
  out.reserve(headerSize + payload.size());
  out.push_back(type);
  out.insert(out.end(), key.begin(), key.end());
  unsigned char lengthBytes[4];
  std::memcpy(lengthBytes, &length, sizeof lengthBytes);  // already big-endian
  out.insert(out.end(), lengthBytes, lengthBytes + 4);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
