// client.conf: the raw 384-byte configuration record, no header.
//   [0..255]   serverAddress, text ending at the first zero byte (at most 255)
//   [256..287] serverPublicKey, X25519
//   [288..319] signPublicKey, Ed25519
//   [320..383] signSecretKey, Ed25519 (libsodium's 64-byte form)
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>

struct Config {
  static constexpr std::size_t size = 384;
  static constexpr std::size_t serverAddressOffset = 0;
  static constexpr std::size_t serverAddressSize = 256;
  static constexpr std::size_t serverPublicKeyOffset = 256;
  static constexpr std::size_t signPublicKeyOffset = 288;
  static constexpr std::size_t signSecretKeyOffset = 320;
  static constexpr std::size_t maxAddressLength = serverAddressSize - 1;

  std::array<unsigned char, size> bytes{};

  // The address up to its terminator, or the whole field if it has none.
  std::string serverAddress() const;
  // Stores text (at most maxAddressLength bytes) and zero-fills the rest.
  void setServerAddress(const std::string& text);
  unsigned char* serverPublicKey() { return bytes.data() + serverPublicKeyOffset; }
  unsigned char* signPublicKey() { return bytes.data() + signPublicKeyOffset; }
  unsigned char* signSecretKey() { return bytes.data() + signSecretKeyOffset; }
  const unsigned char* serverPublicKey() const { return bytes.data() + serverPublicKeyOffset; }
  const unsigned char* signPublicKey() const { return bytes.data() + signPublicKeyOffset; }
  const unsigned char* signSecretKey() const { return bytes.data() + signSecretKeyOffset; }
};

inline constexpr const char* kConfigFileName = "client.conf";

// What is at path when it exists but is not a regular file nor a link to
// one: "a directory", "a FIFO", "a socket" or "a device".
std::optional<std::string> notARegularFile(const std::string& path = kConfigFileName);

// True only if a whole record was read from the start of a regular file.
// Never blocks, whatever is at path.
bool loadConfig(Config& config, const std::string& path = kConfigFileName);

// Writes the record, creating the file with mode 0600 (it holds the secret
// key). Returns the error, if any; never blocks, and never writes to what is
// not a regular file.
std::error_code saveConfig(const Config& config, const std::string& path = kConfigFileName);
