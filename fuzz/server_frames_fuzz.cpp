// The server's frame path fed an arbitrary byte stream from one keyed client:
// its session reads, bounds, opens and parses each frame, the hub relays it,
// and the other sessions seal it for their clients. Three sessions run on
// local socket pairs: the sender S and a reader B, whose clients read all the
// time, and a reader C with a tiny socket buffer and a tiny queue that reads
// only at the end, which the relay cuts off as too slow whenever the stream
// gives it much. What each client end
// receives must open under its own key with consecutive nonces and equal,
// frame for frame, what an independent reading of the stream predicts (for C
// and for S itself, a leading part of it).
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "fuzz/check.hpp"
#include "fuzz/frame_stream.hpp"
#include "server/hub.hpp"
#include "server/session.hpp"

namespace asio = boost::asio;

namespace {

const std::array<unsigned char, sotto::kWelcomeSize> kWelcome = [] {
  std::array<unsigned char, sotto::kWelcomeSize> w{};
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = static_cast<unsigned char>(i);
  return w;
}();

struct End {
  fuzz::Key identity;
  fuzz::Key serverRx;  // the client's transmit key
  fuzz::Key serverTx;  // the client's receive key
  sotto::Limits limits;
  int clientFd = -1;
  std::shared_ptr<sotto::Session> session;
  bool done = false;
  std::vector<fuzz::Record> expected;
  fuzz::Bytes received;

  // Takes in what the client end has been sent so far; returns how much.
  std::size_t read() {
    std::size_t total = 0;
    unsigned char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(clientFd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return total;
      received.insert(received.end(), buffer, buffer + n);
      total += static_cast<std::size_t>(n);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (sodium_init() < 0) return 0;
  FuzzedDataProvider in(data, size);

  End ends[3];
  for (int i = 0; i < 3; ++i) {
    ends[i].identity = fuzz::filledKey(static_cast<unsigned char>(0x10 + i));
    ends[i].serverRx = fuzz::filledKey(static_cast<unsigned char>(0x20 + i));
    ends[i].serverTx = fuzz::filledKey(static_cast<unsigned char>(0x30 + i));
  }
  End &s = ends[0], &b = ends[1], &c = ends[2];
  c.limits.maxQueuedPacketsPerSession = 4;
  c.limits.maxQueuedBytesPerSession = 4096;
  const fuzz::Bytes stream =
      fuzz::StreamBuilder(s.serverRx, {s.identity, b.identity, c.identity}).build(in, 32 * 1024);

  // What the relay must do with each frame S sends, until S is cut off.
  fuzz::Nonce nonce{};
  fuzz::walkFrames(stream, [&](const unsigned char* body, std::size_t length) {
    if (length < fuzz::kTag + fuzz::kHeader) return false;
    const auto plain = fuzz::open(body, length, s.serverRx, nonce);
    if (!plain) return false;
    fuzz::increment(nonce);
    auto record = fuzz::parse(*plain);
    if (!record || record->payload.empty() || (record->type != 1 && record->type != 2)) return true;
    const fuzz::Key named = record->key;
    record->key = s.identity;
    for (End& end : ends)
      if (record->type == 2 ? &end != &s : end.identity == named) end.expected.push_back(*record);
    return true;
  });

  const sotto::EventLog log([](const std::string&) {});
  const sotto::Limits hubLimits;
  sotto::Hub hub(1, hubLimits);
  sotto::Shard& shard = hub.shard(0);
  asio::io_context& io = shard.io();
  // The server's own lines (a refused payload) come from this key; no share
  // slows the fuzzed senders.
  const sotto::Key serverKey{};
  for (End& end : ends) {
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    if (&end == &c) {
      const int tiny = 1;
      ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny);
    }
    // The session only reads, writes and shuts its socket down, which a
    // local stream socket does just like TCP.
    asio::ip::tcp::socket socket(io);
    socket.assign(asio::ip::tcp::v4(), pair[0]);
    end.clientFd = pair[1];
    end.session = std::make_shared<sotto::Session>(std::move(socket), "fuzz", end.identity, end.serverRx.data(),
                                                    end.serverTx.data(), shard, log, end.limits, serverKey, nullptr);
  }
  for (std::size_t at = 0; at < stream.size();) {
    const ssize_t n = ::send(s.clientFd, stream.data() + at, stream.size() - at, MSG_NOSIGNAL);
    FUZZ_CHECK(n > 0);
    at += static_cast<std::size_t>(n);
  }
  ::shutdown(s.clientFd, SHUT_WR);

  for (End& end : ends) {
    shard.join(end.session);
    asio::co_spawn(
        io,
        [&shard, &end]() -> asio::awaitable<void> {
          co_await end.session->run(kWelcome);
          shard.leave(*end.session);
          end.done = true;
        },
        asio::detached);
  }
  // Until S's stream is done and the writers have handed on all they can (C's
  // may stay stuck on its full socket), with S's and B's clients reading.
  const auto pump = [&] {
    for (;;) {
      std::size_t moved = io.poll();
      moved += s.read() + b.read();
      if (moved == 0) return;
    }
  };
  do pump();
  while (!s.done && io.run_one() > 0);
  pump();
  for (End& end : ends) end.session->close("input done");
  io.run();
  FUZZ_CHECK(hub.size() == 0);

  for (End& end : ends) {
    FUZZ_CHECK(end.done);
    end.session.reset();
    end.read();
    ::close(end.clientFd);
    // The welcome leaves first, whatever follows.
    FUZZ_CHECK(end.received.size() >= kWelcome.size());
    FUZZ_CHECK(std::equal(kWelcome.begin(), kWelcome.end(), end.received.begin()));
    end.received.erase(end.received.begin(), end.received.begin() + kWelcome.size());
    std::vector<fuzz::Record> got;
    fuzz::Nonce rx{};
    const bool oversized = fuzz::walkFrames(end.received, [&](const unsigned char* body, std::size_t length) {
      const auto plain = fuzz::open(body, length, end.serverTx, rx);
      FUZZ_CHECK(plain.has_value());
      fuzz::increment(rx);
      auto record = fuzz::parse(*plain);
      FUZZ_CHECK(record.has_value());
      FUZZ_CHECK(fuzz::layOut(*record, static_cast<std::uint32_t>(record->payload.size())) == *plain);
      got.push_back(std::move(*record));
      return true;
    });
    FUZZ_CHECK(!oversized);
    // C may be cut off as too slow. S hangs up once its stream is sent, and a
    // session closes when its client hangs up, so what was still queued for
    // S (Directs to itself) may never be written.
    if (&end == &c || &end == &s)
      FUZZ_CHECK(got.size() <= end.expected.size());
    else
      FUZZ_CHECK(got.size() == end.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) FUZZ_CHECK(got[i] == end.expected[i]);
  }
  return 0;
}
