// sotto-server: the companion relay for sotto clients.
#include <csignal>
#include <iostream>

#include "proto/bytes.hpp"
#include "server/enrol.hpp"
#include "server/import_registry.hpp"
#include "server/server.hpp"

int main(int argc, char** argv) {
  std::string error;
  const std::optional<sotto::ServerOptions> options = sotto::parseOptions(argc, argv, error);
  if (!options) {
    std::cerr << "sotto-server: " << error << "\nTry 'sotto-server --help'.\n";
    return 2;
  }
  if (options->help) {
    std::cout << sotto::usage();
    return 0;
  }
  if (options->enrollDir) return sotto::enrol(*options, std::cout, std::cerr);
  if (options->importRegistry) return sotto::importRegistry(*options, std::cout, std::cerr);

  // The log may be a pipe whose reader goes away; the chat must outlive it.
  std::signal(SIGPIPE, SIG_IGN);
  // Held back until run() handles them, so that one that comes during the
  // start ends the server cleanly too; the threads started meanwhile keep
  // them blocked and leave them to the front thread.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  sotto::Server server(*options, sotto::stderrSink());
  if (!server.open(error)) {
    std::cerr << "sotto-server: " << error << '\n';
    return 1;
  }
  const sotto::Key& key = server.publicKey();
  std::cout << "Server public key: " << sotto::toHex(key.data(), key.size()) << std::endl;
  server.run(true);
  // A log nobody reads does not keep the server from ending.
  sotto::drainStderr(std::chrono::seconds(1));
  return 0;
}
