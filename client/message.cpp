#include "client/message.hpp"

#include <cstring>

Message::Message(std::uint8_t type_, const unsigned char* key_, std::vector<unsigned char> payload_)
    : type(type_), payload(std::move(payload_)) {
  std::memcpy(key.data(), key_, key.size());
}

RecivedMessage::RecivedMessage(const unsigned char* key_, std::vector<unsigned char> payload_)
    : payload(std::move(payload_)) {
  std::memcpy(key.data(), key_, key.size());
}
