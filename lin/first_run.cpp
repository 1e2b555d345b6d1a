#include "lin/first_run.hpp"

#include <istream>
#include <ostream>

#include "lin/globals.hpp"
#include "proto/bytes.hpp"

namespace {

constexpr const char* kAddressPrompt = "Enter server address (e.g., 192.168.1.100): ";

// One address line of at most maxAddressLength bytes; longer lines are asked
// again rather than cut, and so are blank ones, which could never connect.
// False at end of input.
bool readAddress(std::istream& in, std::ostream& out, std::string& address) {
  out << kAddressPrompt << std::flush;
  while (std::getline(in, address)) {
    if (address.find_first_not_of(" \t\r") == std::string::npos)
      out << "An address is needed. " << kAddressPrompt << std::flush;
    else if (address.size() > Config::maxAddressLength)
      out << "Address too long (at most " << Config::maxAddressLength << " bytes). " << kAddressPrompt
          << std::flush;
    else
      return true;
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
