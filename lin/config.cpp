#include "config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>

#include "bytes.hpp"
#include "globals.hpp"

std::string Config::serverAddress() const {
  const auto* field = bytes.data() + serverAddressOffset;
  const auto* end = std::find(field, field + serverAddressSize, 0);
  return std::string(field, end);
}

void Config::setServerAddress(const std::string& text) {
  auto* field = bytes.data() + serverAddressOffset;
  std::memset(field, 0, serverAddressSize);
  std::memcpy(field, text.data(), std::min(text.size(), maxAddressLength));
}

bool loadConfig(Config& config, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t got = 0;
  while (got < Config::size) {
    const ssize_t n = ::read(fd, config.bytes.data() + got, Config::size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return got == Config::size;
}

std::error_code saveConfig(const Config& config, const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  std::error_code error;
  // An existing file keeps its mode through O_CREAT; the secret key still
  // must not stay readable by others.
  if (::fchmod(fd, 0600) != 0) error = {errno, std::generic_category()};
  std::size_t done = 0;
  while (!error && done < Config::size) {
    const ssize_t n = ::write(fd, config.bytes.data() + done, Config::size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = {errno, std::generic_category()};
    else done += static_cast<std::size_t>(n);
  }
  if (!error && ::fsync(fd) != 0) error = {errno, std::generic_category()};
  if (::close(fd) != 0 && !error) error = {errno, std::generic_category()};
  return error;
}

namespace {

constexpr const char* kAddressPrompt = "Enter server address (e.g., 192.168.1.100): ";

// One address line of at most maxAddressLength bytes; longer lines are asked
// again rather than cut. False at end of input.
bool readAddress(std::istream& in, std::ostream& out, std::string& address) {
  out << kAddressPrompt << std::flush;
  while (std::getline(in, address)) {
    if (address.size() <= Config::maxAddressLength) return true;
    out << "Address too long (at most " << Config::maxAddressLength << " bytes). " << kAddressPrompt
        << std::flush;
  }
  return false;
}

// A 64-digit hex token; the wrong length and non-hex digits are asked again.
bool readServerKey(std::istream& in, std::ostream& out, unsigned char* key) {
  out << "Enter server public key (64 hex chars): " << std::flush;
  std::string token;
  while (in >> token) {
    if (token.size() != 64)
      out << "Invalid length. Enter 64 hex chars: " << std::flush;
    else if (!sotto::fromHex(token, key, 32))
      out << "Invalid key. Enter 64 hex chars: " << std::flush;
    else
      return true;
  }
  return false;
}

}  // namespace

CreateResult createConfig(Config& config, std::istream& in, std::ostream& out, std::ostream& err,
                          const std::string& path) {
  out << "Config file not found. Creating new.\n";
  std::string address;
  if (!readAddress(in, out, address) || !readServerKey(in, out, config.serverPublicKey())) {
    out << '\n';
    err << "No more input: " << path << " was not created.\n";
    return CreateResult::endOfInput;
  }
  config.setServerAddress(address);

  client->genKeys(config.signPublicKey(), config.signSecretKey());
  // The identity's own object has served its purpose; the session gets a
  // fresh one (and with it a fresh key-exchange pair).
  try {
    client = Client::create();
  } catch (const std::exception&) {
    return CreateResult::clientFailed;
  }

  if (const std::error_code error = saveConfig(config, path))
    err << "Could not save " << path << ": " << error.message() << '\n';
  else
    out << "Config saved.\n";
  return CreateResult::created;
}
