// sotto-server: the companion relay for sotto clients.
#include <systemd/sd-daemon.h>

#include <csignal>
#include <iostream>

#include "proto/bytes.hpp"
#include "server/enrol.hpp"
#include "server/identity_commands.hpp"
#include "server/import_registry.hpp"
#include "server/key_file.hpp"
#include "server/metrics_endpoint.hpp"
#include "server/operator_pages.hpp"
#include "server/registry_backup.hpp"
#include "server/server.hpp"

namespace {

void printPublicKey(const sotto::Key& key) {
  std::cout << "Server public key: " << sotto::toHex(key.data(), key.size()) << std::endl;
}

// --public-key: the existing key only; a missing one is not made here.
int showPublicKey(const sotto::ServerOptions& options) {
  sotto::ServerKey key;
  std::string error;
  if (!sotto::loadServerKey(options.dataDir, key, error)) {
    std::cerr << "sotto-server: " << error << '\n';
    return 1;
  }
  printPublicKey(key.publicKey);
  return 0;
}

}  // namespace

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
  if (options->version) {
    std::cout << "sotto-server " SOTTO_VERSION "\n";
    return 0;
  }
  if (options->printPublicKey) return showPublicKey(*options);
  if (options->backupFile) return sotto::backupRegistry(*options, std::cout, std::cerr);
  if (options->enrollDir) return sotto::enrol(*options, std::cout, std::cerr);
  if (options->importRegistry) return sotto::importRegistry(*options, std::cout, std::cerr);
  if (options->identityCommand) return sotto::identityCommand(*options, std::cout, std::cerr);

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
  // Bound before the server writes a file, and stopped before the server
  // it reads from goes.
  std::unique_ptr<sotto::MetricsEndpoint> metrics;
  if (options->metrics && !(metrics = sotto::MetricsEndpoint::listen(*options->metrics, error))) {
    std::cerr << "sotto-server: " << error << '\n';
    return 1;
  }
  if (!server.open(error)) {
    std::cerr << "sotto-server: " << error << '\n';
    return 1;
  }
  if (metrics) {
    metrics->serve(sotto::operatorPages(server));
    sotto::EventLog(sotto::stderrSink()).event(metrics->name(), "answering /metrics, /healthz and /readyz");
  }
  printPublicKey(server.publicKey());
  // Under systemd (Type=notify) the service counts as started from here;
  // elsewhere this does nothing.
  sd_notify(0, "READY=1");
  server.run(true);
  sd_notify(0, "STOPPING=1");
  // A log nobody reads does not keep the server from ending.
  sotto::drainStderr(std::chrono::seconds(1));
  return 0;
}
