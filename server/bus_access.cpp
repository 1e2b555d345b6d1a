#include "server/bus_access.hpp"

#include <nats/nats.h>
#include <sodium.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace sotto {

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string natsError(natsStatus status) {
  return std::string(natsStatus_GetText(status)) + " (" + nats_GetLastError(nullptr) + ")";
}

// Whatever was read of a secret is wiped before it goes.
struct Secret {
  std::string text;
  ~Secret() { sodium_memzero(text.data(), text.size()); }
};

bool applyCreds(natsOptions* options, const std::string& file, std::string& error) {
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0) {
    error = "cannot read the bus's credentials " + file;
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    error = "the bus's credentials " + file + " may be read by others; make it private (chmod 600)";
    return false;
  }
  Secret secret;
  {
    std::ifstream in(file, std::ios::binary);
    secret.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      error = "cannot read the bus's credentials " + file;
      return false;
    }
  }
  natsStatus s = NATS_OK;
  if (secret.text.find("-----BEGIN NATS USER JWT-----") != std::string::npos) {
    s = natsOptions_SetUserCredentialsFromFiles(options, file.c_str(), nullptr);
  } else {
    const std::size_t end = secret.text.find_first_of("\r\n");
    if (end != std::string::npos) secret.text.resize(end);
    if (secret.text.empty()) {
      error = "the bus's credentials " + file + " are empty: want USER:PASSWORD, a token or a NATS credentials file";
      return false;
    }
    const std::size_t colon = secret.text.find(':');
    if (colon == std::string::npos) {
      s = natsOptions_SetToken(options, secret.text.c_str());
    } else {
      Secret user{secret.text.substr(0, colon)};
      s = natsOptions_SetUserInfo(options, user.text.c_str(), secret.text.c_str() + colon + 1);
    }
  }
  if (s != NATS_OK) {
    error = "the bus's credentials " + file + " cannot be used: " + natsError(s);
    return false;
  }
  return true;
}

}  // namespace

bool applyBusAccess(natsOptions* options, const BusAccess& access, const std::vector<std::string>& urls,
                    std::string& error) {
  std::size_t secure = 0;
  for (const auto& url : urls) secure += startsWith(url, "tls://");
  if (secure != 0 && secure != urls.size()) {
    error = "either every URL of the bus is tls:// or none is";
    return false;
  }
  if (!access.caFile.empty() && secure == 0) {
    error = "--nats-ca goes with tls:// URLs";
    return false;
  }
  natsStatus s = NATS_OK;
  if (secure != 0) s = natsOptions_SetSecure(options, true);
  if (s == NATS_OK && !access.caFile.empty()) s = natsOptions_LoadCATrustedCertificates(options, access.caFile.c_str());
  if (s != NATS_OK) {
    error = "TLS for the bus cannot be set up: " + natsError(s);
    return false;
  }
  return access.credsFile.empty() || applyCreds(options, access.credsFile, error);
}

}  // namespace sotto
