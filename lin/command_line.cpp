#include "lin/command_line.hpp"

#include <ostream>
#include <string>
#include <string_view>

#include "proto/bytes.hpp"
#include "proto/config.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: sotto [--key | --version | --help]\n"
    "\n"
    "Team chat on a sotto server, in this terminal. Without arguments it uses\n"
    "client.conf in the working directory; the first run asks for the server's\n"
    "address and public key, makes your identity and saves all three there.\n"
    "In the chat Enter sends and Esc leaves. A lost connection is retried on its\n"
    "own, after 1 s, then 2 s, 4 s ... at most 30 s apart.\n"
    "\n"
    "  --key       print the public key of your identity (from ./client.conf),\n"
    "              for the server's operator, and exit\n"
    "  --version   print the version and exit\n"
    "  --help      show this text\n";

int printKey(std::ostream& out, std::ostream& err) {
  if (const auto kind = notARegularFile()) {
    err << kConfigFileName << " is " << *kind << ", not a regular file.\n";
    return 1;
  }
  Config config;
  if (!loadConfig(config)) {
    err << "No whole " << kConfigFileName << " here: run sotto without arguments once to make your identity.\n";
    return 1;
  }
  out << sotto::toHex(config.signPublicKey(), 32) << '\n';
  return 0;
}

}  // namespace

std::optional<int> runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) return std::nullopt;
  const std::string_view option = argv[1];
  if (argc == 2 && (option == "--help" || option == "-h")) {
    out << kUsage;
    return 0;
  }
  if (argc == 2 && option == "--version") {
    out << "sotto " << SOTTO_VERSION << '\n';
    return 0;
  }
  if (argc == 2 && option == "--key") return printKey(out, err);
  err << "sotto: " << (argc == 2 ? "unknown option '" + std::string(option) + "'" : std::string("one option at a time"))
      << "\nTry 'sotto --help'.\n";
  return 2;
}
