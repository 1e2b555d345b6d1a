#include "tests/support/cluster.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/registry.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/raw_client.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool parseKey(const std::string& line, testing_peer::Key& key) {
  const std::string prefix = "Server public key: ";
  if (line.rfind(prefix, 0) != 0 || line.size() != prefix.size() + 64) return false;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = std::stoi(line.substr(prefix.size() + 2 * i, 2), nullptr, 16);
  return true;
}

}  // namespace

Cluster::Cluster(const std::string& binary, const std::string& prefix, int base, int instances,
                 const std::vector<std::vector<std::string>>& extraArgs, int lone)
    : nats(prefix + "." + std::to_string(base)), prefix_(prefix), base_(base) {
  PostgresCluster& pg = PostgresCluster::shared();
  if (!nats.ok() || !pg.ok()) return;
  conninfo_ = pg.freshDatabase();
  for (int i = 0; i < instances + lone; ++i) {
    const std::string data = dir_.path() + "/instance" + std::to_string(i);
    fs::create_directories(data);
    // Every instance speaks with the first one's key.
    if (i > 0) fs::copy_file(dir_.path() + "/instance0/server.key", data + "/server.key");
    // The token in the URL, which instances of every version take.
    std::vector<std::string> args = {SOTTO_CLUSTER_ENGINES, "instance", binary, address(i), data, conninfo_,
                                     nats.urlWithToken()};
    if (i >= instances) args = {binary, "--listen", address(i), "--data-dir", data, "--postgres", conninfo_};
    if (i < static_cast<int>(extraArgs.size())) args.insert(args.end(), extraArgs[i].begin(), extraArgs[i].end());
    args_.push_back(args);
    instances_.push_back(std::make_unique<Child>(args, data + "/log"));
    testing_peer::Key key{};
    if (!parseKey(instances_.back()->firstLine(), key) || (i > 0 && key != key_)) {
      ADD_FAILURE() << "instance " << i << " did not start with the cluster's key: " << log(i);
      return;
    }
    key_ = key;
  }
  ok_ = true;
}

Cluster::~Cluster() {
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    if (killed_.count(static_cast<int>(i))) continue;
    instances_[i]->signal(SIGTERM);
    // Ends cleanly, with nothing for a sanitizer to say either.
    EXPECT_EQ(instances_[i]->wait(std::chrono::seconds(30)), 0) << log(static_cast<int>(i));
  }
  instances_.clear();
}

std::string Cluster::log(int i) const {
  return scratch::slurp(dir_.path() + "/instance" + std::to_string(i) + "/log");
}

bool Cluster::waitForLog(int i, const std::string& needle) const {
  for (int tries = 0; tries < 3000; ++tries) {
    if (log(i).find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

pid_t Cluster::pid(int i) const { return instances_[i]->pid(); }

void Cluster::kill(int i) {
  killed_.insert(i);
  instances_[i]->signal(SIGKILL);
  instances_[i]->wait();
}

void Cluster::restart(int i) {
  instances_[i]->signal(SIGTERM);
  EXPECT_EQ(instances_[i]->wait(std::chrono::seconds(30)), 0) << log(i);
  const std::string data = dir_.path() + "/instance" + std::to_string(i);
  instances_[i] = std::make_unique<Child>(args_[i], data + "/log");
  testing_peer::Key key{};
  EXPECT_TRUE(parseKey(instances_[i]->firstLine(), key) && key == key_) << log(i);
}

void Cluster::seed(const fixed::Identity& id) {
  std::string error;
  auto registry = sotto::Registry::openPostgres(conninfo_, error);
  ASSERT_TRUE(registry) << error;
  EXPECT_NE(registry->enrol(id.signPublicKey, 1), sotto::Registry::Result::failed);
}

std::unique_ptr<testing_peer::Session> Cluster::join(int i, const fixed::Identity& identity) {
  const fixed::Identity id = raw_client::freshConnection(identity);
  auto outcome = raw_client::connect(address(i), raw_client::hello(id, key_, 0), key_, id);
  EXPECT_TRUE(outcome.welcomed) << log(i);
  return outcome.welcomed ? std::move(outcome.session) : nullptr;
}

Chatter::Chatter(std::unique_ptr<testing_peer::Session> session) : session_(std::move(session)) {
  if (!session_) return;
  reader_ = std::thread([this] {
    while (!stop_) {
      // A frame is read only once its first byte is there, so that giving
      // up on a quiet connection never leaves half a frame behind.
      pollfd p{session_->fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char first;
      const ssize_t peeked = ::recv(session_->fd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
      if (peeked < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      std::optional<testing_peer::Frame> frame;
      if (peeked > 0) frame = session_->receiveFrame(30s);
      const std::lock_guard lock(mutex_);
      if (!frame || !frame->opened) {
        ended_ = true;
        changed_.notify_all();
        return;
      }
      received_.push_back({frame->type, frame->key, std::move(frame->payload)});
      changed_.notify_all();
    }
  });
}

Chatter::~Chatter() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
}

void Chatter::send(unsigned char type, const testing_peer::Key& key, const testing_peer::Bytes& payload) {
  session_->sendPacket(type, key, payload);
}

bool Chatter::waitFor(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

bool Chatter::waitEnded(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return ended_; });
}

std::vector<Chatter::Received> Chatter::received() {
  const std::lock_guard lock(mutex_);
  return received_;
}

std::map<testing_peer::Key, std::vector<testing_peer::Bytes>> Chatter::bySender() {
  std::map<testing_peer::Key, std::vector<testing_peer::Bytes>> out;
  for (auto& r : received()) out[r.sender].push_back(std::move(r.payload));
  return out;
}

testing_peer::Bytes line(int sender, int i, std::size_t size) {
  const std::string head = std::to_string(sender) + ":" + std::to_string(i) + ":";
  testing_peer::Bytes out(head.begin(), head.end());
  for (std::size_t k = out.size(); k < size; ++k) out.push_back(static_cast<unsigned char>(k * 31 + sender * 7 + i));
  return out;
}
