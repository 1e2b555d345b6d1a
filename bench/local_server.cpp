#include "local_server.hpp"

#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <iostream>

#include "registry.hpp"

namespace bench {

LocalServer::LocalServer(const std::string& address) : address_(address) {
  std::string pattern = (std::filesystem::temp_directory_path() / "sotto-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    error_ = "mkdtemp failed";
    return;
  }
  dataDir_ = pattern;
  sotto::ServerOptions options;
  options.listenAddress = address;
  options.dataDir = dataDir_;
  server_ = std::make_unique<sotto::Server>(options, [](const std::string&) {});
  if (!server_->open(error_)) return;
  thread_ = std::thread([this] { server_->run(); });
}

LocalServer::~LocalServer() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
  server_.reset();
  std::error_code ignored;
  if (!dataDir_.empty()) std::filesystem::remove_all(dataDir_, ignored);
}

bool LocalServer::enrol(const fixed::Identity& id) {
  std::string error;
  auto registry = sotto::Registry::open(dataDir_ + "/" + sotto::kRegistryFileName, error);
  if (!registry) return false;
  const auto result = registry->enrol(id.signPublicKey, std::time(nullptr));
  return result == sotto::Registry::Result::added || result == sotto::Registry::Result::known;
}

std::unique_ptr<ClientImpl> LocalServer::join(const fixed::Identity& id) {
  if (!error_.empty() || !enrol(id)) return nullptr;
  sotto::ClientOptions options;
  options.debugLogPath = "/dev/null";
  options.kxPublicKey = id.kxPublicKey.data();
  options.kxSecretKey = id.kxSecretKey.data();
  auto client = std::make_unique<ClientImpl>(options);
  client->setServer(address_, key().data(), false);
  client->setClient(id.signPublicKey.data(), id.signSecretKey.data());
  // The handshake's line on standard output would land in the table.
  std::streambuf* out = std::cout.rdbuf(std::cerr.rdbuf());
  const auto result = client->connect();
  std::cout.rdbuf(out);
  if (result != Client::success) return nullptr;
  return client;
}

}  // namespace bench
