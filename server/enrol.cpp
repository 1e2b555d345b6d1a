#include "enrol.hpp"

#include <sodium.h>

#include <cstring>
#include <ctime>
#include <filesystem>

#include "bytes.hpp"
#include "config.hpp"
#include "key_file.hpp"
#include "registry.hpp"

namespace sotto {

namespace {

// Everything that can fail before an identity is made.
bool prepare(const ServerOptions& options, const std::string& path, ServerKey& key,
             std::unique_ptr<Registry>& registry, std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium failed to start";
    return false;
  }
  if (!loadOrCreateServerKey(options.dataDir, key, error)) return false;
  registry = Registry::open(options.dataDir + "/" + kRegistryFileName, error);
  if (!registry || !makeDataDir(*options.enrollDir, error)) return false;
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    error = path + " already exists; it holds an identity, so it is left alone";
    return false;
  }
  return true;
}

}  // namespace

int enrol(const ServerOptions& options, std::ostream& out, std::ostream& err) {
  const std::string path = *options.enrollDir + "/" + kConfigFileName;
  std::string error;
  ServerKey key;
  std::unique_ptr<Registry> registry;
  if (!prepare(options, path, key, registry, error)) {
    err << "sotto-server: " << error << '\n';
    return 1;
  }

  Config config;
  config.setServerAddress(options.enrollAddress);
  std::memcpy(config.serverPublicKey(), key.publicKey.data(), kKeySize);
  crypto_sign_keypair(config.signPublicKey(), config.signSecretKey());
  Key identity;
  std::memcpy(identity.data(), config.signPublicKey(), kKeySize);
  // Registered before the file exists: a client.conf is never left behind
  // that the server would refuse.
  int status = 0;
  if (registry->enrol(identity, std::time(nullptr)) != Registry::Result::added) {
    err << "sotto-server: cannot register the new identity: " << registry->lastError() << '\n';
    status = 1;
  } else if (const std::error_code ec = saveConfig(config, path)) {
    err << "sotto-server: cannot write " << path << ": " << ec.message() << '\n';
    status = 1;
  } else {
    out << "Enrolled " << toHex(identity.data(), identity.size()) << " in " << path << '\n';
  }
  sodium_memzero(config.bytes.data(), config.bytes.size());
  return status;
}

}  // namespace sotto
