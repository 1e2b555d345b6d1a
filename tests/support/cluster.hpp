// A sotto-server cluster for tests and benchmarks: a throwaway nats-server,
// a fresh database on the test process's PostgreSQL, and instances of the
// real binary, started as an operator would and all speaking with the same
// key. Everything stops with the object, or with the process.
//
//   Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 10, 3);  // nats on .10, instances on .11-.13
//   Cluster withLone(SOTTO_SERVER_BINARY, "127.0.16", 10, 2, {}, 1);  // .13: the same key and
//                                                                   // registry, no bus
//   cluster.seed(id);
//   Chatter a(cluster.join(0, id));                       // records what reaches it
//   cluster.nats.kill();  cluster.nats.start();
//   cluster.kill(2);
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/nats_server.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/test_peer.hpp"

class Cluster {
 public:
  // extraArgs[i], when given, go to instance i's command line. After the
  // instances, `lone` servers of the same key and registry without the bus.
  Cluster(const std::string& binary, const std::string& prefix, int base, int instances,
          const std::vector<std::vector<std::string>>& extraArgs = {}, int lone = 0);
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  bool ok() const { return ok_; }
  const testing_peer::Key& key() const { return key_; }
  std::string address(int i) const { return prefix_ + "." + std::to_string(base_ + 1 + i); }
  std::string conninfo() const { return conninfo_; }
  // Instance i's log so far.
  std::string log(int i) const;
  // True once instance i's log holds needle (within 30 s).
  bool waitForLog(int i, const std::string& needle) const;
  void kill(int i);
  // Stops instance i as an operator would (SIGTERM) and starts it again.
  void restart(int i);
  pid_t pid(int i) const;

  void seed(const fixed::Identity& id);
  // A keyed session of a seeded identity on instance i; null on failure.
  std::unique_ptr<testing_peer::Session> join(int i, const fixed::Identity& id);

  NatsServer nats;

 private:
  scratch::TempDir dir_;
  std::string prefix_;
  int base_;
  std::string conninfo_;
  std::vector<std::unique_ptr<Child>> instances_;
  std::vector<std::vector<std::string>> args_;
  std::set<int> killed_;
  testing_peer::Key key_{};
  bool ok_ = false;
};

// A client that takes every packet that reaches its session on a thread of
// its own, and sends from the caller's.
class Chatter {
 public:
  struct Received {
    unsigned char type;
    testing_peer::Key sender;
    testing_peer::Bytes payload;
  };
  explicit Chatter(std::unique_ptr<testing_peer::Session> session);
  ~Chatter();
  bool ok() const { return session_ != nullptr; }
  void send(unsigned char type, const testing_peer::Key& key, const testing_peer::Bytes& payload);
  // True once count packets have arrived (within timeout).
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // True once the server has ended the connection (within timeout).
  bool waitEnded(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::vector<Received> received();
  // What arrived from each sender, in order of arrival.
  std::map<testing_peer::Key, std::vector<testing_peer::Bytes>> bySender();

 private:
  std::unique_ptr<testing_peer::Session> session_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
  bool ended_ = false;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// The i-th line of sender n: its numbers first, then size bytes in all,
// filled from both, so that any change, loss or mix-up of bytes shows.
testing_peer::Bytes line(int sender, int i, std::size_t size);
