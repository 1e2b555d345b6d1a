// An in-process sotto-server for tests: its own data directory, its own
// loopback address, its log lines collected, stopped cleanly on destruction.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/client_impl.hpp"
#include "server/registry.hpp"
#include "server/server.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/raw_client.hpp"
#include "tests/support/scratch.hpp"

namespace harness {

using namespace std::chrono_literals;

using scratch::TempDir;

class LogLines {
 public:
  sotto::LogSink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    };
  }
  // True once count lines contain needle.
  bool waitFor(const std::string& needle, std::size_t count = 1, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(needle) >= count; });
  }
  std::size_t count(const std::string& needle) {
    std::lock_guard lock(mutex_);
    return countLocked(needle);
  }
  std::string all() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& line : lines_) text += line;
    return text;
  }

 private:
  std::size_t countLocked(const std::string& needle) const {
    std::size_t n = 0;
    for (const auto& line : lines_) n += line.find(needle) != std::string::npos;
    return n;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

inline std::string hex(const fixed::Identity& id) {
  return testing_peer::hex(id.signPublicKey.data(), id.signPublicKey.size());
}

class RunningServer {
 public:
  // With postgres (a connection string) the registry lives in that database.
  // threads 0: one I/O thread per hardware thread, as the program does.
  RunningServer(const std::string& address, const sotto::Limits& limits = {}, const std::string& dataDir = "",
                const std::optional<std::string>& postgres = {}, unsigned threads = 0)
      : address_(address),
        server_(options(address, limits, dataDir.empty() ? own_.path() : dataDir, postgres, threads), log.sink()) {
    std::string error;
    if (!server_.open(error)) {
      ADD_FAILURE() << error;
      return;
    }
    thread_ = std::thread([this] { server_.run(); });
    log.waitFor("listening");
  }
  ~RunningServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  const raw_client::Key& key() const { return server_.publicKey(); }
  const std::string& address() const { return address_; }
  std::string dataDir() const { return dataDir_; }
  std::uint64_t packetsReceived() const { return stats()[sotto::Count::packetsIn]; }
  sotto::Stats stats() const { return server_.stats(); }
  const sotto::Server& server() const { return server_; }

  // Registers id directly, as an enrolment would.
  void seed(const fixed::Identity& id) {
    std::string error;
    auto registry = sotto::openRegistry(options_.postgres, options_.dataDir, error);
    ASSERT_TRUE(registry) << error;
    ASSERT_EQ(registry->enrol(id.signPublicKey, 1), sotto::Registry::Result::added);
  }

  // Registers id, then joins with it.
  std::unique_ptr<testing_peer::Session> seedAndJoin(const fixed::Identity& id) {
    seed(id);
    return join(id);
  }

  // A keyed session for a registered identity, on a connection of its own.
  std::unique_ptr<testing_peer::Session> join(const fixed::Identity& identity) {
    const fixed::Identity id = raw_client::freshConnection(identity);
    auto outcome = raw_client::connect(address_, raw_client::hello(id, key(), 0), key(), id);
    EXPECT_TRUE(outcome.welcomed) << log.all();
    return std::move(outcome.session);
  }

  LogLines log;

 private:
  sotto::ServerOptions options(const std::string& address, const sotto::Limits& limits, const std::string& dir,
                               const std::optional<std::string>& postgres, unsigned threads) {
    dataDir_ = dir;
    sotto::ServerOptions& o = options_;
    o.threads = threads;
    o.listenAddress = address;
    o.dataDir = dir;
    o.limits = limits;
    o.postgres = postgres;
    return o;
  }
  TempDir own_;
  sotto::ServerOptions options_;
  std::string dataDir_;
  std::string address_;
  sotto::Server server_;
  std::thread thread_;
};

// Server tests that must hold however many I/O threads carry the sessions
// run once with one and once with two. The two-thread run takes its address
// from 127.0.8.x, with the same last number, so both may run side by side.
class OnThreads : public testing::TestWithParam<unsigned> {
 protected:
  unsigned threads() const { return GetParam(); }
  std::string address(int last) const { return (threads() == 1 ? "127.0.5." : "127.0.8.") + std::to_string(last); }
};

inline std::string threadsName(const testing::TestParamInfo<unsigned>& info) {
  return std::to_string(info.param) + "Threads";
}

// A client of the library with id's keys, not yet given a server; its debug
// log at logPath, its handshake line in out.
inline std::unique_ptr<ClientImpl> libraryClient(const fixed::Identity& id, const std::string& logPath,
                                                 std::ostream& out) {
  sotto::ClientOptions options;
  options.debugLogPath = logPath;
  options.kxPairs = {id.kxPair()};
  options.handshakeOut = &out;
  auto client = std::make_unique<ClientImpl>(options);
  client->setClient(id.signPublicKey.data(), id.signSecretKey.data());
  return client;
}

// Identities without a known proof of work, for seeding the registry.
inline fixed::Identity plain(unsigned char seed) { return fixed::make(seed, 0); }

// Reads the next frame and checks it is an authentic packet.
inline testing_peer::Frame next(testing_peer::Session& session) {
  auto frame = session.receiveFrame(5s);
  if (!frame) {
    ADD_FAILURE() << "no frame";
    return {};
  }
  EXPECT_TRUE(frame->opened);
  return *frame;
}

inline testing_peer::Bytes text(const std::string& s) { return testing_peer::Bytes(s.begin(), s.end()); }

}  // namespace harness
