#include "server/enrol.hpp"

#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "proto/bytes.hpp"
#include "proto/config.hpp"
#include "server/key_file.hpp"
#include "server/registry.hpp"

namespace sotto {

namespace {

std::string alreadyThere(const std::string& path) {
  return path + " already exists; it holds an identity, so it is left alone";
}

// Everything that can fail before an identity is made.
bool prepare(const ServerOptions& options, const std::string& path, ServerKey& key,
             std::unique_ptr<Registry>& registry, std::ostream& err, std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium failed to start";
    return false;
  }
  // The key last, as the server makes it: a failed enrolment says only why.
  if (!makeDataDir(options.dataDir, error)) return false;
  registry = openRegistry(options.postgres, options.dataDir, error);
  if (!registry || !makeDataDir(*options.enrollDir, error)) return false;
  bool newKey = false;
  if (!loadOrCreateServerKey(options.dataDir, key, error, &newKey)) return false;
  if (newKey) err << "sotto-server: " << newKeyWarning(options.dataDir) << '\n';
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    error = alreadyThere(path);
    return false;
  }
  return true;
}

// Writes the file beside its place and links it in, which fails rather than
// replaces when another enrolment got there since prepare looked.
bool writeOnce(const Config& config, const std::string& path, std::string& error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) {
    error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  bool ok = false;
  if (const std::error_code ec = saveConfig(config, temp))
    error = "cannot write " + temp + ": " + ec.message();
  else if (::link(temp.c_str(), path.c_str()) != 0)
    error = errno == EEXIST ? alreadyThere(path) : "cannot create " + path + ": " + std::strerror(errno);
  else
    ok = true;
  ::unlink(temp.c_str());
  return ok;
}

}  // namespace

int enrol(const ServerOptions& options, std::ostream& out, std::ostream& err) {
  const std::string path = *options.enrollDir + "/" + kConfigFileName;
  std::string error;
  ServerKey key;
  std::unique_ptr<Registry> registry;
  if (!prepare(options, path, key, registry, err, error)) {
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
  } else if (!writeOnce(config, path, error)) {
    err << "sotto-server: " << error << '\n';
    status = 1;
  } else {
    out << "Enrolled " << toHex(identity.data(), identity.size()) << " in " << path << '\n';
  }
  sodium_memzero(config.bytes.data(), config.bytes.size());
  return status;
}

}  // namespace sotto
