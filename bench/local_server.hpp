// A sotto-server running in this process on its own loopback address, with
// a scratch data directory, and real clients joined to it. Identities are
// registered straight into its registry, so nobody mines a proof of work.
//
//   LocalServer server("127.0.9.1");
//   auto a = server.join(fixed::make(1, 0));   // null if it did not connect
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "client_impl.hpp"
#include "fixed_identity.hpp"
#include "server.hpp"

namespace bench {

class LocalServer {
 public:
  explicit LocalServer(const std::string& address);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Empty while the server runs; otherwise why it does not.
  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }
  const sotto::Key& key() const { return server_->publicKey(); }
  std::uint64_t packetsReceived() const { return server_->packetsReceived(); }

  bool enrol(const fixed::Identity& id);
  // A ClientImpl of id (enrolled here first), connected, its debug log
  // thrown away; null when it could not connect.
  std::unique_ptr<ClientImpl> join(const fixed::Identity& id);

 private:
  std::string address_;
  std::string dataDir_;
  std::string error_;
  std::unique_ptr<sotto::Server> server_;
  std::thread thread_;
};

}  // namespace bench
