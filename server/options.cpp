#include "server/options.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>
#include <string_view>

#include "proto/config.hpp"
#include "server/bus.hpp"

namespace sotto {

std::string usage() {
  return "Usage: sotto-server [--listen ADDR] [--data-dir DIR]\n"
         "       sotto-server [--data-dir DIR] --enroll USERDIR [--address HOST]\n"
         "       sotto-server --postgres CONNINFO [--data-dir DIR] --import-registry\n"
         "       sotto-server ... --postgres CONNINFO --nats URL[,URL...] [--bus-backlog BYTES]\n"
         "\n"
         "Relays sotto chat sessions on port 8081.\n"
         "\n"
         "  --listen ADDR      address to listen on (default 0.0.0.0); the port is always 8081\n"
         "  --data-dir DIR     long-term key and identity registry (default ./sotto-data)\n"
         "  --enroll USERDIR   instead of serving, write USERDIR/client.conf with a new\n"
         "                     identity registered here, then exit\n"
         "  --address HOST     server address written by --enroll (default 127.0.0.1)\n"
         "  --postgres CONNINFO\n"
         "                     keep the identity registry in PostgreSQL (a libpq connection\n"
         "                     string or URI) instead of DIR/registry.sqlite3; the table is\n"
         "                     made at start if it is missing. Servers that share a database\n"
         "                     share their users. The long-term key stays in DIR\n"
         "  --import-registry  with --postgres: copy the identities of DIR/registry.sqlite3\n"
         "                     into PostgreSQL (those already there are left alone), then exit\n"
         "  --nats URL[,URL...]\n"
         "                     with --postgres: join the cluster of every instance on these\n"
         "                     NATS servers (JetStream on); they relay to each other's sessions\n"
         "  --bus-backlog BYTES\n"
         "                     relayed packets held for the bus through an outage (default\n"
         "                     64 MiB); past it they are dropped, and the instances that missed\n"
         "                     them close their sessions\n"
         "  --help             show this text\n";
}

std::optional<ServerOptions> parseOptions(int argc, const char* const* argv, std::string& error) {
  ServerOptions options;
  std::optional<std::string> natsUrls, busBacklog;
  bool sawAddress = false;
  bool sawListen = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--import-registry") {
      options.importRegistry = true;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = std::string(arg.substr(eq + 1));
    }
    std::string* target = nullptr;
    if (name == "--listen") target = &options.listenAddress;
    else if (name == "--data-dir") target = &options.dataDir;
    else if (name == "--address") target = &options.enrollAddress;
    else if (name == "--enroll") target = &options.enrollDir.emplace();
    else if (name == "--postgres") target = &options.postgres.emplace();
    else if (name == "--nats") target = &natsUrls.emplace();
    else if (name == "--bus-backlog") target = &busBacklog.emplace();
    if (!target) {
      error = "unknown option '" + std::string(arg) + "'";
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 >= argc) {
        error = "option '" + std::string(name) + "' needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (value->empty()) {
      error = "option '" + std::string(name) + "' needs a non-empty value";
      return std::nullopt;
    }
    *target = *value;
    sawAddress |= name == "--address";
    sawListen |= name == "--listen";
  }
  if (options.help) return options;
  boost::system::error_code ec;
  boost::asio::ip::make_address(options.listenAddress, ec);
  if (ec) {
    error = "'" + options.listenAddress + "' is not an IP address";
    return std::nullopt;
  }
  if (sawAddress && !options.enrollDir) {
    error = "--address only goes with --enroll";
    return std::nullopt;
  }
  if (options.importRegistry && (!options.postgres || options.enrollDir || sawListen)) {
    error = "--import-registry goes with --postgres and --data-dir only";
    return std::nullopt;
  }
  if (natsUrls) {
    options.nats = splitUrls(*natsUrls);
    if (options.nats.empty()) {
      error = "--nats wants URL[,URL...], not '" + *natsUrls + "'";
      return std::nullopt;
    }
    if (!options.postgres) {
      error = "--nats needs --postgres: the instances of a cluster share one registry";
      return std::nullopt;
    }
  }
  if (busBacklog) {
    std::size_t bytes = 0;
    const auto [end, ec] = std::from_chars(busBacklog->data(), busBacklog->data() + busBacklog->size(), bytes);
    if (ec != std::errc() || end != busBacklog->data() + busBacklog->size() || bytes < 1024 || !natsUrls) {
      error = "--bus-backlog wants a number of bytes, at least 1024, and goes with --nats";
      return std::nullopt;
    }
    options.busBacklogBytes = bytes;
  }
  if (options.enrollAddress.size() > Config::maxAddressLength) {
    error = "the address for --enroll is longer than 255 bytes";
    return std::nullopt;
  }
  return options;
}

}  // namespace sotto
