// The attacks and faults a server must hold at its edges, each measured the
// same way against every sotto-server binary named, in turn, so that figures
// before and after a change come from one run:
//
//   build/release/bench/sotto-edges OLD/sotto-server NEW/sotto-server
//
// One row per fault and binary, on standard output. Loopback 127.0.75.x
// (servers), 127.0.76-77.x (the attacking addresses), 127.0.78.x (honest
// clients). The servers run with an open-file limit of 4096, so that
// exhausting it takes seconds, not minutes.
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proto/bytes.hpp"
#include "server/registry.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/raw_client.hpp"
#include "tests/support/scratch.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using scratch::slurp;

constexpr const char* kAddress = "127.0.75.1";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int descriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    ++n;
  return n;
}

bool signsIn(const raw_client::Key& key, const fixed::Identity& id, const std::string& source = "127.0.78.1") {
  const auto fresh = raw_client::freshConnection(id);
  return raw_client::handshake(raw_client::dial(kAddress, source), raw_client::hello(fresh, key, 0), key, fresh)
      .welcomed;
}

// A server binary on kAddress with its own data directory, seeded with ids.
struct Server {
  Server(const std::string& binary, const std::vector<fixed::Identity>& ids, std::vector<std::string> more = {},
         const std::string& err = "") {
    // Without ids the server makes its data directory itself.
    if (!ids.empty()) {
      std::filesystem::create_directories(dir.path() + "/data");
      const bool postgres = !more.empty() && more[0] == "--postgres";
      std::string error;
      std::unique_ptr<sotto::Registry> registry =
          postgres ? sotto::Registry::openPostgres(more[1], error)
                   : sotto::Registry::open(dir.path() + "/data/" + sotto::kRegistryFileName, error);
      for (const auto& id : ids) registry->enrol(id.signPublicKey, 1);
    }
    std::vector<std::string> args{"/usr/bin/prlimit", "--nofile=4096:4096", binary, "--listen", kAddress,
                                  "--data-dir",       dir.path() + "/data"};
    args.insert(args.end(), more.begin(), more.end());
    log = err.empty() ? dir.path() + "/err" : err;
    child = std::make_unique<Child>(args, log);
    const std::string line = child->firstLine();
    ok = line.rfind("Server public key: ", 0) == 0 && sotto::fromHex(line.substr(19), key.data(), key.size());
    if (!ok) std::cerr << "the server did not start: " << line << slurp(log) << '\n';
  }
  pid_t pid() const { return child->pid(); }
  scratch::TempDir dir;
  std::string log;
  std::unique_ptr<Child> child;
  raw_client::Key key{};
  bool ok = false;
};

// Connections that send first (a hello, or junk) and stay open.
class Holder {
 public:
  ~Holder() {
    for (const int fd : fds_) ::close(fd);
  }
  // From `addresses` addresses in 127.0.76-77.x, in turn.
  void open(const raw_client::Bytes& first, int addresses) {
    const int fd = raw_client::dial(kAddress, "127.0." + std::to_string(76 + n_ % 2) + "." +
                                                  std::to_string(1 + (n_ / 2) % (addresses / 2)));
    ++n_;
    if (fd < 0) return;
    if (!first.empty()) ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    fds_.push_back(fd);
  }
  // Closes the oldest past `keep`, as an attacker that recycles its own.
  void keep(std::size_t most) {
    while (fds_.size() > most) {
      ::close(fds_.front());
      fds_.erase(fds_.begin());
    }
  }

 private:
  std::vector<int> fds_;
  int n_ = 0;
};

raw_client::Bytes junk() {
  raw_client::Bytes bytes(213);
  randombytes_buf(bytes.data(), bytes.size());
  return bytes;
}

// 1. Junk hellos, as fast as they go for 4 s: the server's peak descriptors,
// and whether a known identity signs in at the end.
std::string junkHellos(const std::string& binary) {
  const auto known = fixed::make(2, 0);
  Server server(binary, {known});
  if (!server.ok) return "no server";
  Holder held;
  int most = 0;
  for (const auto until = Clock::now() + 4s; Clock::now() < until;) {
    for (int i = 0; i < 50; ++i) held.open(junk(), 80);
    held.keep(3000);
    most = std::max(most, descriptors(server.pid()));
  }
  return "peak " + std::to_string(most) + " descriptors; known sign-in " + (signsIn(server.key, known) ? "ok" : "FAILED");
}

// 2. One recorded hello replayed on 1,000 connections: welcomes, peak
// descriptors, and a sign-in of another identity after.
std::string replayedHello(const std::string& binary) {
  const auto victim = fixed::make(1, 0), other = fixed::make(2, 0);
  Server server(binary, {victim, other});
  if (!server.ok) return "no server";
  const auto recorded = raw_client::hello(victim, server.key, 0);
  int welcomes = 0, most = 0;
  std::vector<raw_client::Outcome> held;
  for (int i = 0; i < 1000; ++i) {
    auto outcome = raw_client::connect(kAddress, recorded, server.key, victim);
    welcomes += outcome.welcomed;
    if (outcome.welcomed) held.push_back(std::move(outcome));
    if (i % 50 == 0) most = std::max(most, descriptors(server.pid()));
  }
  return std::to_string(welcomes) + " of 1000 replays welcomed; peak " + std::to_string(most) +
         " descriptors; other sign-in " + (signsIn(server.key, other) ? "ok" : "FAILED");
}

// The backend the server's registry connection talks to, stopped dead.
struct Frozen {
  explicit Frozen(PostgresCluster& cluster) {
    Sql admin(cluster.conninfo("postgres"));
    const std::string pid = admin("SELECT pid FROM pg_stat_activity WHERE application_name = 'sotto-server'");
    backend = pid.empty() ? -1 : std::stoi(pid);
    if (backend > 0) ::kill(backend, SIGSTOP);
  }
  ~Frozen() {
    if (backend > 0) ::kill(backend, SIGCONT);
  }
  pid_t backend = -1;
};

// 3. Database frozen, 5,000 hellos of an unknown identity held open from 80
// addresses: a known identity's sign-ins, and the peak descriptors.
std::string frozenDatabaseFlood(const std::string& binary, PostgresCluster& cluster) {
  const auto known = fixed::make(2, 0);
  Server server(binary, {known}, {"--postgres", cluster.freshDatabase()});
  if (!server.ok) return "no server";
  if (!signsIn(server.key, known)) return "known identity refused before the freeze";
  Frozen frozen(cluster);
  if (frozen.backend < 0) return "no backend";
  const auto stranger = fixed::make(3, 0);
  Holder held;
  int most = 0;
  for (int i = 0; i < 5000; ++i) {
    held.open(raw_client::hello(raw_client::freshConnection(stranger), server.key, 0), 80);
    if (i % 100 == 0) most = std::max(most, descriptors(server.pid()));
  }
  int in = 0;
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) in += signsIn(server.key, known, "127.0.78." + std::to_string(2 + i));
  std::ostringstream out;
  out << in << " of 5 known sign-ins (" << seconds(Clock::now() - start) << " s); peak " << most << " descriptors";
  return out.str();
}

// 4. SIGTERM with the database frozen after a sign-in: seconds to exit.
std::string frozenDatabaseSigterm(const std::string& binary, PostgresCluster& cluster) {
  const auto known = fixed::make(2, 0);
  Server server(binary, {known}, {"--postgres", cluster.freshDatabase()});
  if (!server.ok) return "no server";
  signsIn(server.key, known);
  Frozen frozen(cluster);
  signsIn(server.key, known);
  const auto start = Clock::now();
  server.child->signal(SIGTERM);
  const int status = server.child->wait(20s);
  std::ostringstream out;
  if (status < 0) out << "still running 20 s after SIGTERM";
  else out << "exited " << status << " after " << seconds(Clock::now() - start) << " s";
  return out.str();
}

// 5. Standard error on a pipe whose reader is stopped, filled by 1,500 junk
// connections: a chat line's delivery and a new sign-in.
std::string stalledLog(const std::string& binary) {
  scratch::TempDir dir;
  const std::string fifo = dir / "log";
  ::mkfifo(fifo.c_str(), 0600);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  Server server(binary, {a, b, c}, {}, fifo);
  if (!server.ok) return "no server";
  for (int i = 0; i < 1500; ++i) {
    const int fd = raw_client::dial(kAddress, "127.0.76.1");
    ::send(fd, "junk", 4, MSG_NOSIGNAL);
    ::close(fd);
  }
  std::this_thread::sleep_for(500ms);
  std::ostringstream out;
  const auto fa = raw_client::freshConnection(a), fb = raw_client::freshConnection(b);
  auto sa = raw_client::connect(kAddress, raw_client::hello(fa, server.key, 0), server.key, fa);
  auto sb = raw_client::connect(kAddress, raw_client::hello(fb, server.key, 0), server.key, fb);
  if (!sa.welcomed || !sb.welcomed) {
    out << "the pair could not sign in;";
  } else {
    const auto start = Clock::now();
    sa.session->sendPacket(2, a.signPublicKey, {'h', 'i'});
    const auto frame = sb.session->receiveFrame(10s);
    if (frame && frame->opened) out << "chat line in " << seconds(Clock::now() - start) << " s;";
    else out << "chat line not delivered within 10 s;";
  }
  const auto start = Clock::now();
  const bool in = signsIn(server.key, c);
  out << " new sign-in " << (in ? "answered in " : "not answered, gave up after ") << seconds(Clock::now() - start)
      << " s";
  ::close(reader);
  return out.str();
}

// 6. An attacker opening about 700 idle connections a second from 80
// addresses for 12 s; a newcomer connects at once and mines for 10 s, and a
// known identity signs in every 100 ms.
std::string miningNewcomer(const std::string& binary) {
  const auto known = fixed::make(2, 0);
  const auto newcomer = fixed::twoByteNonce();
  Server server(binary, {known}, {"--max-sessions", "4000"});
  if (!server.ok) return "no server";
  const int mining = raw_client::dial(kAddress, "127.0.78.9");
  bool newcomerIn = false;
  std::thread clock([&] {
    std::this_thread::sleep_for(10s);
    newcomerIn = raw_client::handshake(mining, raw_client::hello(newcomer, server.key, 1, newcomer.smallestNonce),
                                       server.key, newcomer)
                     .welcomed;
  });
  Holder held;
  int tries = 0, in = 0;
  const auto start = Clock::now();
  for (int tick = 0; Clock::now() < start + 12s; ++tick) {
    for (int i = 0; i < 7; ++i) held.open({}, 80);
    held.keep(3000);
    if (tick % 10 == 0) {
      ++tries;
      in += signsIn(server.key, known, "127.0.78.10");
    }
    std::this_thread::sleep_until(start + tick * 10ms);
  }
  clock.join();
  return std::string("mining newcomer ") + (newcomerIn ? "got in" : "REFUSED") + "; known sign-ins " +
         std::to_string(in) + " of " + std::to_string(tries);
}

// 7. The files' modes under umask 022, in a new data directory.
std::string fileModes(const std::string& binary) {
  const mode_t old = ::umask(022);
  Server server(binary, {});
  ::umask(old);
  if (!server.ok) return "no server";
  std::string out;
  for (const char* name : {"", "registry.sqlite3", "registry.sqlite3-wal", "registry.sqlite3-shm"}) {
    struct stat st{};
    const std::string path = server.dir.path() + "/data/" + name;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0);
    out += std::string(*name ? name : "data dir") + " " + mode + "; ";
  }
  return out;
}

// 8. A sign-in, then SIGHUP at once: is its last-seen time on disk?
std::string hangup(const std::string& binary) {
  const auto known = fixed::make(2, 0);
  Server server(binary, {known});
  if (!server.ok) return "no server";
  signsIn(server.key, known);
  server.child->signal(SIGHUP);
  server.child->wait(10s);
  std::string error;
  auto registry = sotto::Registry::open(server.dir.path() + "/data/" + sotto::kRegistryFileName, error);
  const auto entry = registry ? registry->find(known.signPublicKey) : std::nullopt;
  return entry && entry->lastSeen > 1 ? "last-seen written" : "last-seen NOT written";
}

// The server's resident memory, in MB.
double residentMegabytes(pid_t pid) {
  std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
  return 0;
}

// 9. One sender's burst of 12 MB (2,400 messages of 5,000 bytes, as fast as
// the server reads them) to a reader that takes 500 kB/s through a 4 KiB
// receive buffer, for 8 s, while a pair chats: is the reader still there,
// how long did the pair's lines take, and how much did the server take in
// and hold?
std::string burstAndSlowReader(const std::string& binary) {
  const auto loud = fixed::make(1, 0), slow = fixed::make(2, 0), a = fixed::make(3, 0), b = fixed::make(4, 0);
  Server server(binary, {loud, slow, a, b});
  if (!server.ok) return "no server";
  auto join = [&](const fixed::Identity& id, const std::string& source, int receiveBuffer = 0) {
    const auto fresh = raw_client::freshConnection(id);
    return raw_client::handshake(raw_client::dial(kAddress, source, receiveBuffer), raw_client::hello(fresh, server.key, 0),
                                 server.key, fresh);
  };
  auto sl = join(loud, "127.0.78.20"), sr = join(slow, "127.0.78.21", 4096), sa = join(a, "127.0.78.22"),
       sb = join(b, "127.0.78.23");
  if (!sl.welcomed || !sr.welcomed || !sa.welcomed || !sb.welcomed) return "could not sign in";
  constexpr double kReaderRate = 500'000;
  const double memory = residentMegabytes(server.pid());
  const auto start = Clock::now(), until = start + 8s;
  std::atomic<std::size_t> sent{0};
  std::thread flood([&] {
    for (int i = 0; i < 2400 && Clock::now() < until; ++i, sent += 5'000)
      sl.session->sendPacket(1, slow.signPublicKey, raw_client::Bytes(5'000, 'x'));
  });
  std::size_t read = 0;
  bool cut = false;
  std::thread reader([&] {
    while (Clock::now() < until) {
      const auto frame = sr.session->receiveFrame(500ms);
      if (!frame) {
        if (sr.session->waitClosed(0ms)) return void(cut = true);
        continue;
      }
      read += frame->length;
      std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(read / kReaderRate * 1e6)));
    }
  });
  double worst = 0;
  int lost = 0;
  for (int i = 0; Clock::now() < until; ++i) {
    const auto from = Clock::now();
    sa.session->sendPacket(1, b.signPublicKey, {'h', 'i'});
    if (sb.session->receiveFrame(2s)) worst = std::max(worst, seconds(Clock::now() - from));
    else ++lost;
    std::this_thread::sleep_until(from + 500ms);
  }
  reader.join();
  const double grown = residentMegabytes(server.pid()) - memory;
  ::shutdown(sl.session->fd(), SHUT_RDWR);
  flood.join();
  std::ostringstream out;
  // The reader may still be taking what the kernel holds after the server
  // has closed it: the log says.
  cut = cut || slurp(server.log).find("reads too slowly") != std::string::npos;
  out << "reader " << (cut ? "CUT OFF" : "connected") << " after 8 s, read " << read / 1'000'000.0 << " MB of "
      << sent / 1'000'000.0 << " MB sent; pair's lines: worst " << worst * 1000 << " ms, " << lost << " lost; server memory +" << grown << " MB";
  return out.str();
}

// 10. 2,000 sessions (250 identities, 8 each) each send all but the last
// byte of a largest frame and keep quiet: the server's memory and
// descriptors after, and 35 s later.
std::string unfinishedFrames(const std::string& binary) {
  std::vector<fixed::Identity> ids;
  for (int seed = 1; seed <= 250; ++seed) ids.push_back(fixed::make(static_cast<unsigned char>(seed), 0));
  Server server(binary, ids);
  if (!server.ok) return "no server";
  std::vector<raw_client::Outcome> held;
  for (int i = 0; i < 2000; ++i) {
    const auto fresh = raw_client::freshConnection(ids[i % ids.size()]);
    auto outcome = raw_client::handshake(
        raw_client::dial(kAddress, "127.0." + std::to_string(76 + i % 2) + "." + std::to_string(1 + i / 2 % 200)),
        raw_client::hello(fresh, server.key, 0), server.key, fresh);
    if (outcome.welcomed) held.push_back(std::move(outcome));
  }
  const double before = residentMegabytes(server.pid());
  for (auto& session : held) {
    auto frame = session.session->sealFrame(
        testing_peer::Session::packet(2, {}, raw_client::Bytes(65'536, 'x')));
    frame.pop_back();
    session.session->sendRaw(frame);
  }
  std::this_thread::sleep_for(2s);
  const double after = residentMegabytes(server.pid());
  const int open = descriptors(server.pid());
  std::this_thread::sleep_for(35s);
  std::ostringstream out;
  out << held.size() << " sessions; memory +" << after - before << " MB, " << open << " descriptors; 35 s later +"
      << residentMegabytes(server.pid()) - before << " MB, " << descriptors(server.pid()) << " descriptors";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || sodium_init() < 0) {
    std::cerr << "usage: sotto-edges SERVER_BINARY...\n";
    return 2;
  }
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  ::signal(SIGPIPE, SIG_IGN);
  PostgresCluster cluster;
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> run;
  } faults[] = {
      {"junk hellos for 4 s", junkHellos},
      {"one recorded hello sent 1000 times", replayedHello},
      {"database frozen, 5000 unknown hellos", [&](const std::string& b) { return frozenDatabaseFlood(b, cluster); }},
      {"database frozen, then SIGTERM", [&](const std::string& b) { return frozenDatabaseSigterm(b, cluster); }},
      {"log reader stopped, 1500 junk connections", stalledLog},
      {"700 idle connections/s from 80 addresses", miningNewcomer},
      {"file modes, umask 022", fileModes},
      {"SIGHUP right after a sign-in", hangup},
      {"a 12 MB burst to a reader at 500 kB/s", burstAndSlowReader},
      {"2000 sessions each holding an unfinished frame", unfinishedFrames},
  };
  const char* only = std::getenv("SOTTO_EDGES_ONLY");
  for (const auto& fault : faults) {
    if (only && std::string(fault.name).find(only) == std::string::npos) continue;
    for (int i = 1; i < argc; ++i) {
      const std::string figure = fault.run(argv[i]);
      std::cout << fault.name << " | " << argv[i] << " | " << figure << std::endl;
    }
  }
  return 0;
}
