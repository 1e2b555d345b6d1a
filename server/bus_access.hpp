// How an instance proves itself to the bus and checks that it speaks to the
// right one: credentials (in the URLs or in a file) and TLS.
#pragma once

#include <string>
#include <vector>

struct __natsOptions;

namespace sotto {

struct BusAccess {
  // A file holding the bus's credentials: a NATS user credentials file (a
  // JWT and an nkey seed), or one line, USER:PASSWORD or a token. Empty: only
  // what the URLs carry.
  std::string credsFile;
  // Certificates of the authorities to trust for tls:// URLs instead of the
  // system's. Empty: the system's.
  std::string caFile;
};

// Applies access and the URLs' own schemes to options. False with error
// when a file cannot be used.
bool applyBusAccess(__natsOptions* options, const BusAccess& access, const std::vector<std::string>& urls,
                    std::string& error);

}  // namespace sotto
