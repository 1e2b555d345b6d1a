// The client's records of chat payloads: Message (queued in the client, either
// way) and RecivedMessage (what readBytes hands out).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

struct Message {
  Message(std::uint8_t type, const unsigned char* key, std::vector<unsigned char> payload);
  Message(const Message&) = default;
  Message(Message&&) noexcept = default;
  Message& operator=(const Message&) = default;
  Message& operator=(Message&&) noexcept = default;
  ~Message() = default;

  std::uint8_t type;
  std::array<unsigned char, 32> key;
  std::vector<unsigned char> payload;
};

struct RecivedMessage {
  RecivedMessage() = default;
  RecivedMessage(const unsigned char* key, std::vector<unsigned char> payload);
  RecivedMessage(RecivedMessage&&) noexcept = default;
  RecivedMessage(const RecivedMessage&) = default;
  RecivedMessage& operator=(RecivedMessage&&) noexcept = default;
  RecivedMessage& operator=(const RecivedMessage&) = default;
  ~RecivedMessage() = default;

  std::array<unsigned char, 32> key{};  // meaningful only with a payload
  std::vector<unsigned char> payload;   // empty: nothing was received
};
