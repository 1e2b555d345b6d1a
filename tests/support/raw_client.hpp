// A chat client written from the wire contract alone, for testing the server:
// raw libsodium and POSIX sockets, none of the library's protocol code. After
// the handshake it hands the keyed socket to a testing_peer::Session, whose
// frame sealing and opening are the same on either end.
//
//   auto c = raw_client::connect("127.0.5.2", raw_client::hello(id, serverKey, 0), serverKey, id);
//   if (c.welcomed) c.session->sendPacket(2, id.signPublicKey, {'h', 'i'});
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/fixed_identity.hpp"
#include "tests/support/test_peer.hpp"

namespace raw_client {

using testing_peer::Bytes;
using testing_peer::Key;

struct HelloFields {
  unsigned char flag = 0;
  std::uint64_t powNonce = 0;  // little-endian from offset 64
  std::uint32_t version = 1;
  // Signs with this secret key instead of the identity's own.
  const unsigned char* signWith = nullptr;
};

// The 213-byte hello of id, sealed to serverKey.
Bytes hello(const fixed::Identity& id, const Key& serverKey, const HelloFields& fields);
inline Bytes hello(const fixed::Identity& id, const Key& serverKey, unsigned char flag, std::uint64_t powNonce = 0) {
  return hello(id, serverKey, HelloFields{flag, powNonce});
}

// The same identity with a fresh key-exchange pair, as a client makes for
// every connection: the server refuses a hello whose pair it has seen.
fixed::Identity freshConnection(fixed::Identity id);

// A TCP connection to address:8081, from sourceAddress when given, with the
// receive buffer shrunk when receiveBuffer > 0. -1 on failure.
int dial(const std::string& address, const std::string& sourceAddress = "", int receiveBuffer = 0);

struct Outcome {
  // Keyed when the welcome arrived and opened; otherwise only good for
  // waitClosed.
  std::unique_ptr<testing_peer::Session> session;
  bool welcomed = false;
};

// Sends firstBytes on fd, then waits for the 76-byte welcome and derives the
// session keys as the client side of the key exchange.
Outcome handshake(int fd, const Bytes& firstBytes, const Key& serverKey, const fixed::Identity& id);
Outcome connect(const std::string& address, const Bytes& firstBytes, const Key& serverKey,
                const fixed::Identity& id);

}  // namespace raw_client
