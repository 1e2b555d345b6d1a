#include "server/session.hpp"

#include <sodium.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

#include "proto/deadline.hpp"
#include "proto/frame_io.hpp"
#include "server/hub.hpp"

namespace asio = boost::asio;

namespace sotto {

namespace {
// The thread's scratch for opening frames is given back past this, so that
// one large frame does not stay held.
constexpr std::size_t kKeptScratchBytes = 256 * 1024;
// How many frames in a row the reader hands to the relay from what it has
// read in before it lets the other coroutines run, so that the writers drain
// what a burst queued before the rest of it is relayed.
constexpr int kFramesPerTurn = 16;
// While the budget is spent, a packet that could add more than this share of
// it to the queues waits.
constexpr std::uint64_t kFeederShare = 64;
// How often a reader held back by the server-wide budget looks again.
constexpr auto kBudgetPause = std::chrono::milliseconds(2);
}  // namespace

Session::Session(asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
                 const unsigned char* txKey, Hub::Part& part, const EventLog& log, const Limits& limits)
    : socket_(std::move(socket)),
      writeTimer_(socket_.get_executor(), std::chrono::steady_clock::time_point::max()),
      peer_(std::move(peer)),
      identity_(identity),
      part_(part),
      log_(log),
      limits_(limits) {
  std::memcpy(rxKey_, rxKey, sizeof rxKey_);
  std::memcpy(txKey_, txKey, sizeof txKey_);
}

Session::~Session() {
  sodium_memzero(rxKey_, sizeof rxKey_);
  sodium_memzero(txKey_, sizeof txKey_);
}

asio::awaitable<void> Session::run(std::array<unsigned char, kWelcomeSize> welcome) {
  boost::system::error_code ec;
  // The reader and the writer try the socket before they wait for it.
  socket_.non_blocking(true, ec);
  if (!ec)
    co_await asio::async_write(socket_, asio::buffer(welcome), asio::redirect_error(asio::use_awaitable, ec));
  if (ec) {
    close(ec.message());
  } else {
    asio::co_spawn(socket_.get_executor(), writer_(shared_from_this()), asio::detached);
    close(co_await reader_());
  }
  log_.event(peer_, "disconnected " + toHex(identity_.data(), identity_.size()) + ": " + closeReason_);
}

void Session::deliver(const std::shared_ptr<const Bytes>& packet) {
  if (closed_) return;
  if (!queue_.empty() &&
      (queue_.size() >= limits_.maxQueuedFrames || queuedBytes_ + packet->size() > limits_.maxQueuedBytes)) {
    close("reads too slowly (outgoing queue full)");
    return;
  }
  queue_.push_back(packet);
  queuedBytes_ += packet->size();
  part_.hub().charge(packet->size());
  // deliver runs on this session's thread, between the writer's steps: the
  // cancel either ends its wait or finds it busy writing, and it looks at the
  // queue again either way.
  writeTimer_.cancel();
}

void Session::close(const std::string& reason) {
  if (closed_) return;
  closed_ = true;
  closeReason_ = reason;
  queue_.clear();
  part_.hub().discharge(queuedBytes_);
  queuedBytes_ = 0;
  boost::system::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  writeTimer_.cancel();
}

bool Session::leftoverReady() const {
  if (leftover_.size() < kFrameLengthSize) return false;
  const std::uint32_t length = getU32be(leftover_.data());
  return length > limits_.maxPayload + Packet::headerSize + kFrameTagSize ||
         leftover_.size() - kFrameLengthSize >= length;
}

std::optional<std::string> Session::take(const unsigned char* data, std::size_t size, std::size_t& used,
                                         int maxFrames) {
  // Anything longer cannot be a packet within the payload limit.
  const std::size_t largest = Packet::headerSize + limits_.maxPayload + kFrameTagSize;
  Bytes& plaintext = part_.plaintext();
  Hub& hub = part_.hub();
  feeds_ = false;
  for (int n = 0; n < maxFrames && size - used >= kFrameLengthSize; ++n) {
    const std::uint32_t length = getU32be(data + used);
    if (length > kMaxFrameLength) return "frame longer than 16 MiB";
    if (length > largest)
      return "packet over the payload limit of " + std::to_string(limits_.maxPayload) + " bytes, not relayed";
    if (size - used - kFrameLengthSize < length) break;
    // Other threads have not yet handed out enough of what came before.
    if (inFlight_->behind()) break;
    // Were it a broadcast, would it add much to queues already past the budget?
    if (std::uint64_t{length} * hub.size() > hub.maxBuffered() / kFeederShare && hub.overBudget()) {
      feeds_ = true;
      break;
    }
    const unsigned char* frame = data + used + kFrameLengthSize;
    used += kFrameLengthSize + length;
    // Anything shorter cannot hold a packet header under its tag.
    if (length < kFrameTagSize + Packet::headerSize) return "frame too short";
    plaintext.resize(length - kFrameTagSize);
    unsigned long long opened = 0;
    // Replays, reordering and tampering all land here: the nonce has moved on.
    if (crypto_chacha_open(plaintext.data(), opened, frame, length, rxNonce_, rxKey_) != 0)
      return "frame failed authentication";
    sodium_increment(rxNonce_, sizeof rxNonce_);
    part_.relay(*this, Packet(plaintext));
  }
  if (plaintext.capacity() > kKeptScratchBytes) Bytes().swap(plaintext);
  return std::nullopt;
}

asio::awaitable<std::string> Session::reader_() {
  try {
    while (!closed_) {
      // A reader that feeds the queues takes nothing more in while the
      // server-wide budget is spent, nor while other threads still have
      // many of its packets to hand out.
      Hub& hub = part_.hub();
      const bool over = hub.overBudget();
      if (hub.budgetTurned(over))
        log_.event(peer_, over ? "reading paused for the clients that feed the queues: " + std::to_string(hub.buffered()) +
                                     " bytes queued for the sessions, over the budget of " +
                                     std::to_string(hub.maxBuffered())
                               : std::string("reading resumed: the queues are back within the budget"));
      if (over && feeds_) {
        asio::steady_timer pause(socket_.get_executor(), kBudgetPause);
        co_await pause.async_wait(asio::use_awaitable);
        continue;
      }
      if (inFlight_->behind()) {
        co_await asio::post(socket_.get_executor(), asio::use_awaitable);
        continue;
      }
      // Frames read in earlier (a burst, or the rest of a long frame) first,
      // a turn of the event loop after each few of them.
      if (leftoverReady()) {
        std::size_t used = 0;
        if (auto why = take(leftover_.data(), leftover_.size(), used, kFramesPerTurn)) co_return *why;
        leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(used));
        if (leftover_.empty()) Bytes().swap(leftover_);
        if (leftoverReady()) co_await asio::post(socket_.get_executor(), asio::use_awaitable);
        continue;
      }
      co_await socket_.async_wait(asio::ip::tcp::socket::wait_read, asio::use_awaitable);
      // The thread's buffer is this session's until its next suspension.
      Bytes& buffer = part_.readBuffer();
      boost::system::error_code ec;
      const std::size_t got = socket_.read_some(asio::buffer(buffer), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
      if (ec) throw boost::system::system_error(ec);
      if (!leftover_.empty()) {
        leftover_.insert(leftover_.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
        continue;
      }
      std::size_t used = 0;
      if (auto why = take(buffer.data(), got, used, kFramesPerTurn)) co_return *why;
      leftover_.assign(buffer.begin() + static_cast<std::ptrdiff_t>(used),
                       buffer.begin() + static_cast<std::ptrdiff_t>(got));
      if (leftoverReady()) co_await asio::post(socket_.get_executor(), asio::use_awaitable);
    }
    co_return closeReason_;
  } catch (const boost::system::system_error& error) {
    if (closed_) co_return closeReason_;
    if (error.code() == asio::error::eof) co_return "closed by the client";
    co_return error.code().message();
  } catch (const std::exception& error) {
    co_return std::string("internal error: ") + error.what();
  }
}

// self keeps the session alive until the writer has wound down, which may be
// after run() has returned.
asio::awaitable<void> Session::writer_([[maybe_unused]] std::shared_ptr<Session> self) {
  FrameBatch batch;
  try {
    while (!closed_) {
      if (queue_.empty()) {
        // Any completion, cancellation included, means "look at the queue".
        writeTimer_.expires_at(std::chrono::steady_clock::time_point::max());
        boost::system::error_code ignored;
        co_await writeTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        continue;
      }
      // Everything queued leaves in one write. In the time one write takes,
      // the relay can queue a frame from every other session, so a writer
      // that sent one frame per turn would fall behind and cut off a client
      // that reads as fast as it can.
      while (!queue_.empty() && !batch.full()) {
        std::shared_ptr<const Bytes> packet = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= packet->size();
        writingBytes_ += packet->size();
        batch.seal(*packet, txKey_, txNonce_);
      }
      // Most writes fit in the socket's buffer at once; only the rest waits,
      // and a client that takes none of it for long is cut off.
      const Bytes& sealed = batch.bytes();
      boost::system::error_code ec;
      const std::size_t now = socket_.write_some(asio::buffer(sealed), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) throw boost::system::system_error(ec);
      if (now < sealed.size()) {
        Deadline stall(socket_.get_executor(), limits_.writeStall, [this] {
          close("reads too slowly (nothing taken for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits_.writeStall).count()) + " s)");
        });
        co_await asio::async_write(socket_, asio::buffer(sealed.data() + now, sealed.size() - now),
                                   asio::use_awaitable);
      }
      // An idle session keeps no buffer.
      batch.done(!queue_.empty());
      part_.hub().discharge(writingBytes_);
      writingBytes_ = 0;
    }
  } catch (const std::exception& error) {
    close(std::string("write failed: ") + error.what());
  }
  part_.hub().discharge(writingBytes_);
  writingBytes_ = 0;
}

}  // namespace sotto
