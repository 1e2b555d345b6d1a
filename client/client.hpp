// The client library's one entry point: an abstract Client, made by
// Client::create, configured, connected once, then fed and polled.
//
//   auto c = Client::create();          // starts its own I/O thread
//   c->setServer(host, serverKey, isNewIdentity);
//   c->setClient(signPublicKey, signSecretKey);   // or genKeys(...)
//   if (c->connect() != Client::success) ...      // blocks; never hangs
//   c->sendBytesBroadcast(bytes);                 // any thread
//   RecivedMessage m = c->readBytes();            // any thread, never blocks
//   if (!c->connected()) ...                      // the session has ended
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/message.hpp"

class Client {
 public:
  // Result of connect. 1 is never produced.
  enum values : unsigned char { success = 0, networkError = 2, cryptoError = 3 };

  // A new client with its own I/O thread and key-exchange pair. Throws
  // std::runtime_error("sodium init failed") if libsodium cannot start; never
  // returns an empty pointer.
  static std::unique_ptr<Client> create();

  // Stops the I/O thread, closes the connection and wipes the secret keys.
  virtual ~Client() = default;
  virtual void setServer(std::string host, const unsigned char* serverPublicKey, bool isNewIdentity) = 0;
  virtual void setClient(const unsigned char* signPublicKey, const unsigned char* signSecretKey) = 0;
  // Makes a new Ed25519 identity, keeps it, and copies it out (32 and 64 bytes).
  virtual void genKeys(unsigned char* signPublicKey, unsigned char* signSecretKey) = 0;
  // Resolves, connects to port 8081 and runs the handshake (with the proof of
  // work for a new identity). Call once, never on the I/O thread.
  virtual values connect() = 0;
  virtual void sendBytesBroadcast(const std::vector<unsigned char>& payload) = 0;
  // recipient: the 32-byte identity key of the peer.
  virtual void sendBytesDirect(const std::vector<unsigned char>& payload, const unsigned char* recipient) = 0;
  // The oldest received message, or one with an empty payload when none waits.
  virtual RecivedMessage readBytes() = 0;
  // True from a successful connect until the session ends: the server closed
  // or reset the connection, a read or write failed, or a frame was over the
  // bound. It turns false only after the last received message is queued, so
  // an empty readBytes after a false here means everything has been read.
  virtual bool connected() const = 0;
};
