// The server's long-term X25519 key pair, kept as the 32-byte secret key in
// DATA_DIR/server.key (mode 0600). Created once, reused ever after: clients
// pin its public half in their client.conf.
#pragma once

#include <string>

#include "proto/handshake.hpp"

namespace sotto {

struct ServerKey {
  ServerKey() = default;
  ~ServerKey();
  ServerKey(const ServerKey&) = delete;
  ServerKey& operator=(const ServerKey&) = delete;

  Key publicKey{};
  unsigned char secretKey[kKeySize] = {};
};

inline constexpr const char* kServerKeyFileName = "server.key";

// Creates dir (mode 0700) and any missing parents. False with error set on failure.
bool makeDataDir(const std::string& dir, std::string& error);

// Loads dataDir/server.key, or makes and saves a new pair if there is none
// (and then sets *created). Never replaces an existing file: one of the
// wrong size is an error.
bool loadOrCreateServerKey(const std::string& dataDir, ServerKey& key, std::string& error,
                           bool* created = nullptr);

// Loads dataDir/server.key and never makes one: a missing key is an error.
bool loadServerKey(const std::string& dataDir, ServerKey& key, std::string& error);

// The line that owns up to a new key: a mistyped data directory gets one,
// and every client.conf made for the old key is refused by it.
std::string newKeyWarning(const std::string& dataDir);

}  // namespace sotto
