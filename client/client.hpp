// The client library's one entry point: an abstract Client, made by
// Client::create, configured, connected, then fed and polled; connected
// again when a session has ended.
//
//   auto c = Client::create();          // starts its own I/O thread
//   c->setServer(host, serverKey, isNewIdentity);
//   c->setClient(signPublicKey, signSecretKey);   // or genKeys(...)
//   if (c->connect() != Client::success) ...      // blocks; never hangs
//     ... c->failure() says which step failed
//   c->sendBytesBroadcast(bytes);                 // any thread
//   RecivedMessage m = c->readBytes();            // any thread, never blocks
//   if (!c->connected()) ... c->connect() again   // the session has ended
//   c->abandon();                                 // any thread: leaving now
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/message.hpp"

class Client {
 public:
  // Result of connect. 1 is never produced.
  enum values : unsigned char { success = 0, networkError = 2, cryptoError = 3 };

  // The step at which the last connect failed, so that the caller can say why.
  enum class Failure : unsigned char {
    none,        // it succeeded, or none has run
    lookup,      // networkError: the server's name did not resolve (in time)
    connection,  // networkError: no TCP connection, refused or timed out
    refused,     // networkError: the server closed or reset the connection after the hello
    noAnswer,    // networkError: the server took the hello and sent no welcome in time
    welcome,     // cryptoError: the welcome did not open, or its session key was refused
    abandoned,   // networkError: abandon() ended it
  };

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
  // work while the identity is new). Never on the I/O thread. May be called
  // again after a failure or once connected() has turned false: every call is
  // a connection of its own, with a fresh key-exchange pair (a server refuses
  // a hello that repeats one). Once a server has welcomed the identity it is
  // no longer new: later hellos carry no proof.
  virtual values connect() = 0;
  // Why the last connect failed; any thread, once it has returned.
  virtual Failure failure() const = 0;
  // For a caller that is leaving: a connect in progress on another thread
  // returns networkError at once, and so does every later one; the session,
  // if any, is closed. Any thread.
  virtual void abandon() = 0;
  virtual void sendBytesBroadcast(const std::vector<unsigned char>& payload) = 0;
  // recipient: the 32-byte identity key of the peer.
  virtual void sendBytesDirect(const std::vector<unsigned char>& payload, const unsigned char* recipient) = 0;
  // The oldest received message, or one with an empty payload when none waits.
  virtual RecivedMessage readBytes() = 0;
  // True from a successful connect until the session ends: the server closed
  // or reset the connection, a read or write failed, or a frame was over the
  // bound. It turns false only after the last received message is queued, so
  // an empty readBytes after a false here means everything has been read.
  // Messages sent while it is false wait for the next session.
  virtual bool connected() const = 0;
};
