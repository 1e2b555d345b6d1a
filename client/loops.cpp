// The send and receive loops that carry a keyed session, and the queue
// operations that feed and drain them.
#include <sodium.h>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "client/client_impl.hpp"
#include "client/debug_log.hpp"
#include "client/receive.hpp"
#include "proto/frame.hpp"
#include "proto/frame_io.hpp"
#include "proto/packet.hpp"

namespace asio = boost::asio;

asio::awaitable<void> ClientImpl::writeHandler_(std::shared_ptr<Link> link_) {
  sotto::FrameBatch batch;
  try {
    // Once its link is closed the loop leaves what is queued to the next
    // session.
    while (!link_->closed) {
      // Everything queued leaves in one write, frame after frame in queue
      // order. The lock is taken per message, so a sender still waits for one
      // encryption at most.
      while (!batch.full()) {
        std::lock_guard lock(outgoingMutex);
        if (outgoing.empty()) break;
        const Message& message = outgoing.front();
        // A Direct names its recipient in the key field; everything else
        // carries our own identity.
        const unsigned char* key = message.type == Direct ? message.key.data() : signPublicKey;
        batch.seal(Packet(message.type, key, message.payload).serialize(), link_->txKey, link_->txNonce);
        outgoing.pop_front();
      }
      if (batch.empty()) {
        // Any completion, cancellation included, means "look at the queue".
        link_->writeTimer.expires_at(std::chrono::steady_clock::time_point::max());
        boost::system::error_code ignored;
        co_await link_->writeTimer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        continue;
      }
      co_await batch.write(link_->socket);
    }
  } catch (const std::exception&) {
    // The connection is gone; what was not yet sealed stays queued. Closing
    // the socket ends the receive loop, which ends the session.
    link_->close();
  }
}

asio::awaitable<void> ClientImpl::readHandler_(std::shared_ptr<Link> link_) {
  sotto::DebugLog log(options.debugLogPath);
  log.ownKey(signPublicKey, sizeof signPublicKey);
  try {
    co_await sotto::receiveFrames(link_->socket, link_->rxKey, link_->rxNonce, log, [this, &link_](Message&& message) {
      return takeIn_(*link_, std::move(message));
    });
  } catch (const std::exception&) {
    // Read error or closed connection: readBytes drains what is queued.
  }
  // The session ends only now, after the last message is queued, so that a
  // caller who sees it ended and then finds the queue empty has read
  // everything; and before the close, so that the server never sees the
  // close of a session that still reports itself live. A link that a later
  // connect has replaced no longer speaks for the session.
  if (link == link_) session = SessionState::ended;
  link_->close();
}

namespace {
// What a queued message counts against maxIncomingBytes.
std::size_t incomingCost(const Message& message) { return sizeof message + message.payload.size(); }
}  // namespace

asio::awaitable<void> ClientImpl::takeIn_(Link& link_, Message message) {
  // Callers cannot tell a message without a payload from none waiting, so it
  // is not queued: an empty readBytes after the session ended then means the
  // queue is drained, not that a later message still waits behind it.
  if (message.payload.empty()) co_return;
  bool parked = false;
  {
    std::lock_guard lock(incomingMutex);
    incomingBytes += incomingCost(message);
    incoming.push_back(std::move(message));
    parked = receiveParked = incomingBytes >= options.maxIncomingBytes;
  }
  // readBytes posts the wake-up to this thread, and nothing else runs on it
  // between the test above and the start of the wait, so it cannot be lost.
  while (parked && !link_.closed) {
    link_.readTimer.expires_at(std::chrono::steady_clock::time_point::max());
    boost::system::error_code ignored;
    co_await link_.readTimer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    std::lock_guard lock(incomingMutex);
    parked = receiveParked;
  }
}

void ClientImpl::queue(Message&& message) {
  {
    std::lock_guard lock(outgoingMutex);
    outgoing.push_back(std::move(message));
  }
  // Only the I/O thread touches the link. The loop tests the queue and starts
  // its wait without yielding the thread, so this cancel lands either on the
  // pending wait or before the next test of the queue: never lost.
  if (!wakePosted.exchange(true)) {
    asio::post(ioContext, [this] {
      wakePosted.store(false);
      if (link) link->writeTimer.cancel();
    });
  }
}

void ClientImpl::sendBytesBroadcast(const std::vector<unsigned char>& payload) {
  queue(Message(Broadcast, signPublicKey, payload));
}

void ClientImpl::sendBytesDirect(const std::vector<unsigned char>& payload, const unsigned char* recipient) {
  queue(Message(Direct, recipient, payload));
}

bool ClientImpl::connected() const { return session == SessionState::live; }

RecivedMessage ClientImpl::readBytes() {
  std::unique_lock lock(incomingMutex);
  if (incoming.empty()) return {};
  Message message = std::move(incoming.front());
  incoming.pop_front();
  incomingBytes -= incomingCost(message);
  // Half drained before the loop reads again, so that a reader near the bound
  // does not wake the I/O thread for every message.
  const bool wake = receiveParked && incomingBytes <= options.maxIncomingBytes / 2;
  if (wake) receiveParked = false;
  lock.unlock();
  if (wake) {
    asio::post(ioContext, [this] {
      if (link) link->readTimer.cancel();
    });
  }
  return RecivedMessage(message.key.data(), std::move(message.payload));
}
