// The first-run dialogue on the plain terminal, before full-screen mode.
#pragma once

#include <iosfwd>
#include <string>

#include "proto/config.hpp"

enum class CreateResult { created, endOfInput, clientFailed };

// Asks for the server address and key, makes the identity with the global
// client, replaces that client with a fresh one, and saves the file.
CreateResult createConfig(Config& config, std::istream& in, std::ostream& out, std::ostream& err,
                          const std::string& path = kConfigFileName);
