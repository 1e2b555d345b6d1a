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
// A writer's bulk turn seals packets until about this much is sealed.
constexpr std::size_t kBulkTurnBytes = 64 * 1024;
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

bool Session::deliver(const std::shared_ptr<const Bytes>& packet, const std::shared_ptr<Hub::InFlight>* bulkSender) {
  if (closed_) return false;
  const std::size_t queued = quick_.size() + bulk_.size();
  if (queued > 0 && (queued >= limits_.maxQueuedFrames || queuedBytes_ + packet->size() > limits_.maxQueuedBytes)) {
    close("reads too slowly (outgoing queue full)");
    return false;
  }
  queuedBytes_ += packet->size();
  part_.hub().charge(packet->size());
  if (bulkSender) {
    bulk_.push_back({packet, *bulkSender});
    // A writer waiting for its bulk turn has nothing new to do yet.
    if (bulkTurn_ == BulkTurn::waiting && !pressedQueue()) return true;
  } else {
    quick_.push_back(packet);
    if (writerIdle_) {
      if (!flushPending_) part_.flushLater(*this);
      flushPending_ = true;
      return true;
    }
  }
  // deliver runs on this session's thread, between the writer's steps: the
  // cancel either ends its wait or finds it busy writing, and it looks at the
  // queues again either way.
  writeTimer_.cancel();
  return true;
}

void Session::flush() {
  flushPending_ = false;
  // A writer woken meanwhile takes them itself.
  if (closed_ || !writerIdle_ || quick_.empty()) return;
  FrameBatch& batch = part_.sealed();
  part_.hub().discharge(sealQuick(batch));
  const Bytes& sealed = batch.bytes();
  boost::system::error_code ec;
  const std::size_t now = socket_.write_some(asio::buffer(sealed), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    batch.done(true);
    close("write failed: " + ec.message());
    return;
  }
  if (now < sealed.size()) {
    unwritten_.assign(sealed.begin() + static_cast<std::ptrdiff_t>(now), sealed.end());
    part_.hub().charge(unwritten_.size());
  }
  batch.done(true);
  if (!unwritten_.empty() || !quick_.empty()) {
    writerIdle_ = false;
    writeTimer_.cancel();
  }
}

std::size_t Session::sealQuick(FrameBatch& batch) {
  std::size_t taken = 0;
  for (; !quick_.empty() && !batch.full(); quick_.pop_front()) {
    taken += quick_.front()->size();
    batch.seal(*quick_.front(), txKey_, txNonce_);
  }
  queuedBytes_ -= taken;
  return taken;
}

void Session::endBulkTurn() {
  if (bulkTurn_ != BulkTurn::holding) return;
  bulkTurn_ = BulkTurn::none;
  part_.giveBulkTurn();
}

void Session::leaveBulkTurn() {
  endBulkTurn();
  if (bulkTurn_ == BulkTurn::waiting) part_.forgetBulkWaiter(*this);
  bulkTurn_ = BulkTurn::none;
}

void Session::grantBulkTurn() {
  bulkTurn_ = BulkTurn::holding;
  writeTimer_.cancel();
}

void Session::close(const std::string& reason) {
  if (closed_) return;
  closed_ = true;
  closeReason_ = reason;
  quick_.clear();
  // Their senders' later packets need not wait behind them any more.
  for (const Bulk& b : bulk_) b.sender->bulk.fetch_sub(1, std::memory_order_relaxed);
  bulk_.clear();
  part_.hub().discharge(queuedBytes_);
  queuedBytes_ = 0;
  boost::system::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  writeTimer_.cancel();
}

bool Session::pressedQueue() const {
  return 2 * (quick_.size() + bulk_.size()) >= limits_.maxQueuedFrames || 2 * queuedBytes_ > limits_.maxQueuedBytes;
}

bool Session::leftoverReady() const {
  if (leftover_.size() < kFrameLengthSize) return false;
  const std::uint32_t length = getU32be(leftover_.data());
  return length > limits_.maxPayload + Packet::headerSize + kFrameTagSize ||
         leftover_.size() - kFrameLengthSize >= length;
}

std::optional<std::string> Session::take(const unsigned char* data, std::size_t size, std::size_t& used,
                                         int maxFrames) {
  // What this turn relays to idle writers leaves when it ends.
  const Hub::Part::FlushAtEnd flush(part_);
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
      // many of its packets to hand out; no reader does while the cluster's
      // bus is pressed, which everything read feeds.
      Hub& hub = part_.hub();
      const bool over = hub.overBudget();
      if (hub.budgetTurned(over))
        log_.event(peer_, over ? "reading paused for the clients that feed the queues: " + std::to_string(hub.buffered()) +
                                     " bytes queued for the sessions, over the budget of " +
                                     std::to_string(hub.maxBuffered())
                               : std::string("reading resumed: the queues are back within the budget"));
      if ((over && feeds_) || hub.busPressed()) {
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

asio::awaitable<void> Session::writeAll(const unsigned char* data, std::size_t size) {
  // A bulk turn must never wait for this client to read: give it back, or
  // stop waiting for one and ask again after.
  leaveBulkTurn();
  Deadline stall(socket_.get_executor(), limits_.writeStall, [this] {
    close("reads too slowly (nothing taken for " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits_.writeStall).count()) + " s)");
  });
  co_await asio::async_write(socket_, asio::buffer(data, size), asio::use_awaitable);
}

// self keeps the session alive until the writer has wound down, which may be
// after run() has returned.
asio::awaitable<void> Session::writer_([[maybe_unused]] std::shared_ptr<Session> self) {
  FrameBatch batch;
  try {
    while (!closed_) {
      if (!unwritten_.empty()) {
        co_await writeAll(unwritten_.data(), unwritten_.size());
        part_.hub().discharge(unwritten_.size());
        Bytes().swap(unwritten_);
        continue;
      }
      // Everything quick leaves in one write. In the time one write takes,
      // the relay can queue a frame from every other session, so a writer
      // that sent one frame per turn would fall behind and cut off a client
      // that reads as fast as it can.
      writingBytes_ += sealQuick(batch);
      if (!bulk_.empty() && !batch.full()) {
        // A queue half way to its bounds is drained without waiting for
        // the turn: the client keeps up, and must not be cut off for the
        // time the server's other writers take.
        const bool pressed = pressedQueue();
        if (bulkTurn_ == BulkTurn::none && !pressed)
          bulkTurn_ = part_.takeBulkTurn(*this) ? BulkTurn::holding : BulkTurn::waiting;
        if (bulkTurn_ == BulkTurn::holding || pressed) {
          // About one large frame per turn: the thread's other handlers run
          // between two bulk turns.
          const std::size_t until = pressed ? FrameBatch::kBatchBytes : batch.bytes().size() + kBulkTurnBytes;
          for (; !bulk_.empty() && batch.bytes().size() < until; bulk_.pop_front()) {
            const Bytes& packet = *bulk_.front().packet;
            queuedBytes_ -= packet.size();
            writingBytes_ += packet.size();
            batch.seal(packet, txKey_, txNonce_);
            bulk_.front().sender->bulk.fetch_sub(1, std::memory_order_relaxed);
          }
        }
      }
      if (batch.empty()) {
        endBulkTurn();
        // Any completion, cancellation included, means "look at the queues".
        writeTimer_.expires_at(std::chrono::steady_clock::time_point::max());
        boost::system::error_code ignored;
        writerIdle_ = true;
        co_await writeTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        writerIdle_ = false;
        continue;
      }
      // Most writes fit in the socket's buffer at once; only the rest waits,
      // and a client that takes none of it for long is cut off.
      const Bytes& sealed = batch.bytes();
      boost::system::error_code ec;
      const std::size_t now = socket_.write_some(asio::buffer(sealed), ec);
      endBulkTurn();
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) throw boost::system::system_error(ec);
      if (now < sealed.size()) co_await writeAll(sealed.data() + now, sealed.size() - now);
      // A session keeps no buffer while it waits, idle or for a bulk turn:
      // thousands of them wait at once under a flood.
      batch.done(!quick_.empty());
      part_.hub().discharge(writingBytes_);
      writingBytes_ = 0;
    }
  } catch (const std::exception& error) {
    close(std::string("write failed: ") + error.what());
  }
  // A turn granted after the close passes on; a wait for one ends.
  leaveBulkTurn();
  part_.hub().discharge(writingBytes_ + unwritten_.size());
  writingBytes_ = 0;
  Bytes().swap(unwritten_);
}

}  // namespace sotto
