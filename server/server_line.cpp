#include "server/server_line.hpp"

#include "proto/packet.hpp"

namespace sotto {

std::shared_ptr<const Bytes> serverLine(const Key& serverKey, std::string_view text) {
  const Packet packet(Direct, serverKey.data(), Bytes(text.begin(), text.end()));
  return std::make_shared<const Bytes>(packet.serialize());
}

std::string payloadRefused(std::size_t bytes, std::size_t most) {
  return "Your message of " + std::to_string(bytes) + " bytes was not relayed: this server takes at most " +
         std::to_string(most) + " bytes.";
}

}  // namespace sotto
