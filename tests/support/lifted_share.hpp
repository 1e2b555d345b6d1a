// For testing or measuring the relay itself: every sender's fair share lifted,
// in the limits of a server in this process or on the program's command line.
#pragma once

#include <string>
#include <vector>

#include "server/options.hpp"

namespace lifted {

inline sotto::Limits share(sotto::Limits limits = {}) {
  limits.senderBytesPerSecond = 0;
  limits.senderPacketsPerSecond = 0;
  return limits;
}

inline std::vector<std::string> shareArgs() { return {"--sender-rate", "0", "--sender-packet-rate", "0"}; }

}  // namespace lifted
