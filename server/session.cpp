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

#include "proto/frame_io.hpp"
#include "server/hub.hpp"

namespace asio = boost::asio;

namespace sotto {

namespace {
// A buffer that one large frame grew past this is given back once used, so
// that an idle session does not keep the largest frame it ever handled.
constexpr std::size_t kKeptBufferBytes = FrameBatch::kKeptBytes;
}  // namespace

Session::Session(asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
                 const unsigned char* txKey, Hub& hub, const EventLog& log, const Limits& limits)
    : socket_(std::move(socket)),
      writeTimer_(socket_.get_executor(), std::chrono::steady_clock::time_point::max()),
      peer_(std::move(peer)),
      identity_(identity),
      hub_(hub),
      log_(log),
      limits_(limits) {
  std::memcpy(rxKey_, rxKey, sizeof rxKey_);
  std::memcpy(txKey_, txKey, sizeof txKey_);
}

Session::~Session() {
  sodium_memzero(rxKey_, sizeof rxKey_);
  sodium_memzero(txKey_, sizeof txKey_);
}

asio::awaitable<void> Session::run() {
  asio::co_spawn(socket_.get_executor(), writer_(shared_from_this()), asio::detached);
  const std::string why = co_await reader_();
  close(why);
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
  // deliver runs on the I/O thread, between the writer's steps: the cancel
  // either ends its wait or finds it busy writing, and it looks at the queue
  // again either way.
  writeTimer_.cancel();
}

void Session::close(const std::string& reason) {
  if (closed_) return;
  closed_ = true;
  closeReason_ = reason;
  queue_.clear();
  queuedBytes_ = 0;
  boost::system::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  writeTimer_.cancel();
}

asio::awaitable<std::string> Session::reader_() {
  // How many frames in a row the reader hands to the relay from what it has
  // read in before it lets the other coroutines run.
  constexpr int kFramesPerTurn = 16;
  FrameReader reader;
  Bytes frame;
  int inARow = 0;
  try {
    while (!closed_) {
      // Frames already read in are handled without a turn of the event loop.
      // Every few of them the loop gets one all the same, so that the writers
      // drain what this burst queued before the rest of it is relayed.
      if (!reader.ready()) {
        inARow = 0;
      } else if (++inARow == kFramesPerTurn) {
        inARow = 0;
        co_await asio::post(socket_.get_executor(), asio::use_awaitable);
        continue;
      }
      if (!co_await reader.next(socket_, frame)) co_return "frame longer than 16 MiB";
      // Anything shorter cannot hold a packet header under its tag.
      if (frame.size() < kFrameTagSize + Packet::headerSize) co_return "frame too short";
      Bytes plaintext = decrypt(frame, rxKey_, rxNonce_);
      // Replays, reordering and tampering all land here: the nonce has moved on.
      if (plaintext.empty()) co_return "frame failed authentication";
      sodium_increment(rxNonce_, sizeof rxNonce_);
      hub_.relay(*this, Packet(plaintext));
      if (frame.capacity() > kKeptBufferBytes) frame = Bytes();
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
        batch.seal(*packet, txKey_, txNonce_);
      }
      co_await batch.write(socket_);
    }
  } catch (const std::exception& error) {
    close(std::string("write failed: ") + error.what());
  }
}

}  // namespace sotto
