#include "client/receive.hpp"

#include <sodium.h>

#include "proto/frame.hpp"
#include "proto/packet.hpp"

namespace sotto {

Message openFrame(const Bytes& ciphertext, const unsigned char* key, unsigned char* nonce) {
  Packet packet(decrypt(ciphertext, key, nonce));
  sodium_increment(nonce, kFrameNonceSize);
  return Message(packet.type, packet.key.data(), std::move(packet.payload));
}

}  // namespace sotto
