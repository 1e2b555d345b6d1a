// The operator's HTTP endpoint as a scraper and a load balancer meet it: the
// metrics while clients chat, readiness that follows the database, and
// clients of the endpoint that hold up neither a scrape nor the chat.
// Addresses 127.0.61.1-3 and, for a cluster, 127.0.62.10-12 belong to this
// file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "server/operator_pages.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/cluster.hpp"
#include "tests/support/http_get.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using namespace std::chrono_literals;

constexpr int kPort = 9464;

// The endpoint of a running server, as main() starts it for --metrics.
struct Endpoint {
  explicit Endpoint(const RunningServer& server) {
    std::string error;
    endpoint = sotto::MetricsEndpoint::listen(server.address() + ":" + std::to_string(kPort), error);
    if (!endpoint) {
      ADD_FAILURE() << error;
      return;
    }
    endpoint->serve(sotto::operatorPages(server.server()));
  }
  std::unique_ptr<sotto::MetricsEndpoint> endpoint;
};

// The value of one sample line ("name{labels} value"), or -1.
double sample(const std::string& metrics, const std::string& series) {
  const auto at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(metrics.substr(at + series.size() + 2));
}

// Polls path until it answers with status, for at most limit.
std::optional<HttpAnswer> awaitStatus(const std::string& address, const std::string& path, int status,
                                      std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  std::optional<HttpAnswer> answer;
  do {
    answer = httpGet(address, kPort, path);
    if (answer && answer->status == status) return answer;
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < until);
  return answer;
}

TEST(Metrics, AScrapeWhileClientsChatPassesPromtoolAndCountsTheChat) {
  RunningServer server("127.0.61.1", {}, "", {}, 2);
  const Endpoint endpoint(server);
  const auto a = plain(1), b = plain(2);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);
  sa->sendPacket(2, a.signPublicKey, text("hi"));
  EXPECT_EQ(next(*sb).payload, text("hi"));

  const auto scrape = httpGet(server.address(), kPort, "/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->status, 200);
  EXPECT_NE(scrape->headers.find("text/plain; version=0.0.4"), std::string::npos) << scrape->headers;
  const std::string& m = scrape->body;
  const harness::TempDir dir;
  std::ofstream(dir / "scrape") << m;
  const Outcome check = runToEnd({"/bin/sh", "-c", "promtool check metrics < " + (dir / "scrape") + " 2>&1"});
  EXPECT_EQ(check.status, 0) << check.out << m;

  EXPECT_EQ(sample(m, "sotto_sessions"), 2);
  EXPECT_EQ(sample(m, "sotto_sign_ins_total"), 2);
  EXPECT_EQ(sample(m, "sotto_packets_total{direction=\"in\"}"), 1);
  EXPECT_EQ(sample(m, "sotto_fanout_duration_seconds_count"), 1);
  EXPECT_EQ(sample(m, "sotto_registry_up"), 1);
  EXPECT_GT(sample(m, "process_resident_memory_bytes"), 0);
  EXPECT_GT(sample(m, "process_open_fds"), 0);
  EXPECT_EQ(m.find("sotto_bus_"), std::string::npos) << "no bus without --nats";
}

TEST(Metrics, ReadinessGoesTo503WithTheReasonWhileTheDatabaseIsStoppedAndBackAfter) {
  PostgresCluster& cluster = PostgresCluster::shared();
  ASSERT_TRUE(cluster.ok());
  RunningServer server("127.0.61.2", {}, "", cluster.freshDatabase());
  const Endpoint endpoint(server);
  EXPECT_EQ(awaitStatus(server.address(), "/readyz", 200, 5s)->body, "ready\n");

  cluster.stop();
  // The registry's worker asks the database every two seconds.
  const auto down = awaitStatus(server.address(), "/readyz", 503, 15s);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->status, 503);
  EXPECT_NE(down->body.find("registry: "), std::string::npos) << down->body;
  EXPECT_EQ(httpGet(server.address(), kPort, "/healthz")->status, 200);
  EXPECT_EQ(sample(httpGet(server.address(), kPort, "/metrics")->body, "sotto_registry_up"), 0);

  ASSERT_TRUE(cluster.start());
  EXPECT_EQ(awaitStatus(server.address(), "/readyz", 200, 15s)->status, 200);
}

TEST(Metrics, WithABusShowItsLagAndReadinessFollowsIt) {
  const std::vector<std::string> metrics0{"--metrics", "127.0.62.11:" + std::to_string(kPort)};
  const std::vector<std::string> metrics1{"--metrics", "127.0.62.12:" + std::to_string(kPort)};
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.62", 10, 2, {metrics0, metrics1});
  ASSERT_TRUE(cluster.ok());
  const auto a = plain(1), b = plain(2);
  cluster.seed(a);
  cluster.seed(b);
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b));
  ca.send(2, a.signPublicKey, text("across"));
  ASSERT_TRUE(cb.waitFor(1));

  const auto scrape = httpGet(cluster.address(1), kPort, "/metrics");
  ASSERT_TRUE(scrape);
  const std::string& m = scrape->body;
  EXPECT_EQ(sample(m, "sotto_bus_up"), 1) << m;
  EXPECT_EQ(sample(m, "sotto_bus_lag_seconds_count"), 1) << m;
  EXPECT_EQ(sample(m, "sotto_bus_lost_total"), 0) << m;
  EXPECT_EQ(awaitStatus(cluster.address(0), "/readyz", 200, 5s)->status, 200);

  cluster.nats.kill();
  const auto down = awaitStatus(cluster.address(0), "/readyz", 503, 15s);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->body, "bus: not connected\n");
  ASSERT_TRUE(cluster.nats.start());
  EXPECT_EQ(awaitStatus(cluster.address(0), "/readyz", 200, 15s)->status, 200);
}

// A connection that has sent part of a request and then nothing.
int stalled(const std::string& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kPort);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const std::string part = "GET /metrics HTTP/1.1\r\nHost: ";
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  EXPECT_EQ(::send(fd, part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
  return fd;
}

TEST(Metrics, StalledAndOversizedRequestsHoldUpNeitherAScrapeNorTheChat) {
  RunningServer server("127.0.61.3");
  const Endpoint endpoint(server);
  std::vector<int> fds;
  for (std::size_t i = 0; i < 2 * sotto::MetricsEndpoint::kMaxConnections; ++i) fds.push_back(stalled("127.0.61.3"));
  const auto oversized = httpGet(server.address(), kPort, "/" + std::string(sotto::MetricsEndpoint::kMaxRequestBytes, 'x'));
  ASSERT_TRUE(oversized);
  EXPECT_EQ(oversized->status, 431);

  // Answered well before the stalled ones' deadline.
  const auto scrape = httpGet(server.address(), kPort, "/metrics", sotto::MetricsEndpoint::kDeadline / 2);
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->status, 200);
  const auto a = plain(1), b = plain(2);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);
  sa->sendPacket(2, a.signPublicKey, text("still here"));
  EXPECT_EQ(next(*sb).payload, text("still here"));
  for (const int fd : fds) ::close(fd);
}

}  // namespace
