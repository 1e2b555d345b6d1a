// sotto's command line: with no arguments the chat runs; --help, --version
// and --key print and end at once, without a connection.
#pragma once

#include <iosfwd>
#include <optional>

// The exit status once the arguments have been acted on, or nothing when
// there are none and the chat should run.
std::optional<int> runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
