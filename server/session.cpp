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

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "proto/deadline.hpp"
#include "proto/frame_io.hpp"
#include "server/server_line.hpp"
#include "server/tcp_acked.hpp"
#include "server/wall_clock.hpp"

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace sotto {

namespace {
bool wouldBlock(const boost::system::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

// How many sealed messages a session records before it first looks at what
// its client's TCP acknowledged. From there it looks after a write that
// leaves the record half full or more, rather than let it grow: one system
// call for so many, no record grows in every session of a busy chat at
// once (a broadcast to thousands that has each of them copy its record is
// slow), and a flood to one client does not make its record grow with it.
constexpr std::size_t kConfirmFrom = 16;

// On other's shard: where a member stands that signs in while other, of the
// same identity, is still open: what other has not had acknowledged, or has
// not been handed yet, and the cut the new session joined at.
asio::awaitable<Departure> departureOf(std::shared_ptr<Member> other, Key identity, Cut joined) {
  Departure departure{identity, wallMs(), std::move(joined), other->missed()};
  const std::vector<MessageId> posted = other->shard()->postedFor(identity);
  departure.missed.insert(departure.missed.end(), posted.begin(), posted.end());
  co_return departure;
}

long long seconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }
}  // namespace

Session::Session(asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
                 const unsigned char* txKey, Shard& shard, const EventLog& log, const Limits& limits,
                 const Key& serverKey, std::shared_ptr<FairShare> share)
    : Member(identity),
      socket_(std::move(socket)),
      writeTimer_(socket_.get_executor(), std::chrono::steady_clock::time_point::max()),
      peer_(std::move(peer)),
      log_(log),
      limits_(limits),
      unfinished_(shard.budget()),
      serverKey_(serverKey),
      share_(std::move(share)),
      shard_(shard),
      outbox_(limits, shard.budget(), txKey) {
  std::memcpy(rxKey_, rxKey, sizeof rxKey_);
}

Session::~Session() { sodium_memzero(rxKey_, sizeof rxKey_); }

asio::awaitable<void> Session::run(std::array<unsigned char, kWelcomeSize> welcome) {
  if (shard_.hub().history()) {
    tracking_ = true;
    running_ = true;
    ackedBefore_ = bytesAcknowledged(socket_.native_handle()).value_or(0);
    outbox_.track(welcome.size());
    outbox_.hold();
  }
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
  if (tracking_) co_await settle();
  running_ = false;
  finish();
  log_.event(peer_, "disconnected " + toHex(identity().data(), identity().size()) + ": " + closeReason_);
}

void Session::push(const Relayed& relayed) {
  if (closed_ || !outbox_.push(relayed)) {
    if (!closed_) cutOff("reads too slowly (outgoing queue full)");
    // Relayed to it, never written: missed, like what its outbox held.
    if (tracking_ && relayed.numbered) missedAtClose_.push_back(relayed.id);
    return;
  }
  if (relayed.lane == Lane::bulk) {
    // A writer waiting for its bulk turn has nothing new to do yet.
    if (bulkTurn_ == BulkTurn::waiting && !outbox_.pressed()) return;
  } else if (writerIdle_) {
    if (!flushPending_) shard_.flushLater(*this);
    flushPending_ = true;
    return;
  }
  // push runs on this session's thread, between the writer's steps: the
  // cancel either ends its wait or finds it busy writing, and it looks at
  // the outbox again either way.
  writeTimer_.cancel();
}

void Session::flush() {
  flushPending_ = false;
  // A writer woken meanwhile takes them itself.
  if (closed_ || !writerIdle_ || !outbox_.hasQuick()) return;
  FrameBatch& batch = shard_.sealed();
  shard_.stats().add(Count::packetsOut, outbox_.sealQuick(batch));
  const Bytes& sealed = batch.bytes();
  boost::system::error_code ec;
  const std::size_t now = writeNow(sealed, ec);
  if (ec) {
    batch.done(true);
    close("write failed: " + ec.message());
    return;
  }
  if (now < sealed.size())
    rest_.assign(sealed.begin() + static_cast<std::ptrdiff_t>(now), sealed.end());
  else
    outbox_.written();
  confirm();
  batch.done(true);
  if (!rest_.empty() || outbox_.hasQuick()) {
    writerIdle_ = false;
    writeTimer_.cancel();
  }
}

std::size_t Session::writeNow(const Bytes& bytes, boost::system::error_code& ec) {
  const std::size_t now = socket_.write_some(asio::buffer(bytes), ec);
  if (wouldBlock(ec)) {
    ec = {};
    return 0;
  }
  shard_.stats().add(Count::bytesOut, now);
  return now;
}

void Session::endBulkTurn() {
  if (bulkTurn_ != BulkTurn::holding) return;
  bulkTurn_ = BulkTurn::none;
  shard_.giveBulkTurn();
}

void Session::leaveBulkTurn() {
  endBulkTurn();
  if (bulkTurn_ == BulkTurn::waiting) shard_.forgetBulkWaiter(*this);
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
  unfinished_.set(0);
  writeTimer_.cancel();
  boost::system::error_code ignored;
  // The reader and the writer end; the socket stays open while run()
  // settles what the member's TCP acknowledged, and the outbox lets go of
  // its packets meanwhile, so that nothing holds other sessions back.
  if (tracking_ && running_) {
    outbox_.close();
    socket_.cancel(ignored);
    return;
  }
  finish();
}

asio::awaitable<void> Session::settle() {
  // A member reading along acknowledges within a delayed acknowledgement's
  // time; one that has stopped reading or gone holds the close no longer.
  constexpr auto kLongest = std::chrono::milliseconds(200);
  constexpr auto kLookEvery = std::chrono::milliseconds(5);
  const auto until = std::chrono::steady_clock::now() + kLongest;
  asio::steady_timer wait(socket_.get_executor());
  int unacknowledged = 0;
  while (::ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 &&
         std::chrono::steady_clock::now() < until) {
    wait.expires_after(kLookEvery);
    boost::system::error_code ignored;
    co_await wait.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

void Session::finish() {
  if (finished_) return;
  finished_ = true;
  if (tracking_) {
    // What was relayed to it after the close, never written, comes last.
    std::vector<MessageId> late = std::move(missedAtClose_);
    missedAtClose_ = outbox_.missed(acknowledged());
    missedAtClose_.insert(missedAtClose_.end(), late.begin(), late.end());
  }
  outbox_.clear();
  boost::system::error_code ignored;
  // What its TCP has not acknowledged comes again at its next sign-in: end
  // with a reset, which discards it, so that the kernel does not deliver it
  // now as well and the member get it twice.
  if (tracking_ && !missedAtClose_.empty())
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
  else
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

std::vector<MessageId> Session::missed() {
  if (finished_) return missedAtClose_;
  std::vector<MessageId> missed = outbox_.missed(acknowledged());
  missed.insert(missed.end(), missedAtClose_.begin(), missedAtClose_.end());
  return missed;
}

std::uint64_t Session::acknowledged() {
  const std::uint64_t acked = bytesAcknowledged(socket_.native_handle()).value_or(0);
  return acked > ackedBefore_ ? acked - ackedBefore_ : 0;
}

void Session::confirm() {
  if (!tracking_ || outbox_.unconfirmed() < kConfirmFrom || !outbox_.unconfirmedFilling()) return;
  outbox_.acknowledged(acknowledged());
}

asio::awaitable<void> Session::catchUp() {
  History& history = *shard_.hub().history();
  std::unique_ptr<Joining> joining = takeJoining();
  History::Ask ask{identity(), joining->cut, joining->taken, std::nullopt};
  if (const std::shared_ptr<Member> other = joining->beside.lock())
    ask.departure = co_await asio::co_spawn(other->shard()->io(), departureOf(other, identity(), joining->cut),
                                            asio::use_awaitable);
  joining.reset();
  History::CatchUp answer = co_await history.catchUp(std::move(ask));
  if (closed_) co_return;
  shard_.arrived(*this);
  // What came live meanwhile stays where it is, once.
  std::vector<MessageId> live = outbox_.queuedIds();
  std::sort(live.begin(), live.end());
  std::erase_if(answer.messages,
                [&](const Stored& row) { return std::binary_search(live.begin(), live.end(), row.id); });
  const Key& key = shard_.hub().serverKey();
  std::vector<Queued> missed;
  const auto line = [&](const std::string& text) { missed.push_back({serverLine(key, text)}); };
  if (const std::size_t count = answer.messages.size(); count > 0) {
    line(missedOpening(count, answer.messages.front().at, answer.messages.back().at, answer.older, wallMs()));
    if (answer.incomplete) line(missedIncomplete());
    for (Stored& row : answer.messages) {
      std::uint64_t& reached = reached_[row.id.origin];
      reached = std::max(reached, row.id.seq + 1);
      missed.push_back({std::move(row.packet), row.id, true});
    }
    line(missedClosing(count));
    shard_.stats().add(Count::catchUps);
  } else if (answer.incomplete) {
    line(missedIncomplete());
  }
  outbox_.release(std::move(missed));
  caughtUp_ = true;
}

void Session::cutOff(const std::string& reason) {
  if (closed_) return;
  shard_.stats().add(Count::slowReadersCut);
  close(reason);
}

Session::Hold Session::hold(std::optional<std::uint32_t> next) const {
  const Budget& budget = shard_.budget();
  // Were it a broadcast, would it add much to queues already past the
  // budget? (A frame too long to relay is a fault, acted on at once.)
  if (next && *next <= largest() && std::uint64_t{*next} * shard_.hub().size() > budget.max() / limits_.feederShareOfBudget &&
      budget.over())
    return Hold::budget;
  // Everything read here feeds the cluster's bus, which is behind.
  if (shard_.hub().onwardPressed()) return Hold::onward;
  // Other shards have not yet handed out enough of what came before.
  if (shard_.hub().behind(*sender())) return Hold::posted;
  // The identity has sent more than its share.
  if (share_ && share_->wait(Clock::now()) > Clock::duration::zero()) return Hold::share;
  return Hold::none;
}

void Session::noteUnfinished() {
  const bool unfinished = dropping_ > 0 || (!kept_.empty() && !keptFrame());
  if (!unfinished)
    unfinishedSince_.reset();
  else if (!unfinishedSince_)
    unfinishedSince_ = Clock::now();
  unfinished_.set(unfinished ? kept_.size() : 0);
}

bool Session::drop(std::size_t size, std::size_t& used) {
  const std::size_t now = std::min(dropping_, size - used);
  used += now;
  dropping_ -= now;
  if (dropping_ > 0) return false;
  // The client sealed it under the next nonce all the same.
  sodium_increment(rxNonce_, sizeof rxNonce_);
  // Once per session: the count says how many.
  if (!refusedBefore_)
    log_.event(peer_, toHex(identity().data(), identity().size()) + " sent a packet over the payload limit of " +
                          std::to_string(limits_.maxPayload) + " bytes: dropped, and the sender told");
  refusedBefore_ = true;
  shard_.stats().add(Count::payloadsRefused);
  push({serverLine(serverKey_, payloadRefused(droppedPayload_, limits_.maxPayload)), Lane::quick, sender()});
  return true;
}

std::uint32_t Session::largest() const {
  return static_cast<std::uint32_t>(Packet::headerSize + limits_.maxPayload + kFrameTagSize);
}

std::optional<std::uint32_t> Session::keptFrame() const { return frameAt(kept_.data(), kept_.size(), largest()); }

std::optional<std::string> Session::take(const unsigned char* data, std::size_t size, std::size_t& used) {
  // What this turn relays to idle writers leaves when it ends.
  const Shard::FlushAtEnd flush(shard_);
  Bytes& plaintext = shard_.plaintext();
  if (dropping_ > 0 && !drop(size, used)) return std::nullopt;
  for (std::size_t n = 0; n < limits_.framesPerReadTurn && size - used >= kFrameLengthSize; ++n) {
    const std::uint32_t length = getU32be(data + used);
    if (length > kMaxFrameLength) return "frame longer than 16 MiB";
    if (length > largest()) {
      // Read to its end and dropped; the session goes on.
      dropping_ = kFrameLengthSize + length;
      droppedPayload_ = length - kFrameTagSize - Packet::headerSize;
      if (share_) share_->take(dropping_, Clock::now());
      if (!drop(size, used)) break;
      continue;
    }
    if (size - used - kFrameLengthSize < length) break;
    if (hold(length) != Hold::none) break;
    const unsigned char* frame = data + used + kFrameLengthSize;
    used += kFrameLengthSize + length;
    if (share_) share_->take(kFrameLengthSize + length, Clock::now());
    // Anything shorter cannot hold a packet header under its tag.
    if (length < kFrameTagSize + Packet::headerSize) return "frame too short";
    plaintext.resize(length - kFrameTagSize);
    unsigned long long opened = 0;
    // Replays, reordering and tampering all land here: the nonce has moved on.
    if (crypto_chacha_open(plaintext.data(), opened, frame, length, rxNonce_, rxKey_) != 0)
      return "frame failed authentication";
    sodium_increment(rxNonce_, sizeof rxNonce_);
    shard_.relay(*this, Packet(plaintext));
  }
  if (plaintext.capacity() > limits_.keptScratchBytes) Bytes().swap(plaintext);
  return std::nullopt;
}

asio::awaitable<void> Session::waitOut(Hold held) {
  const Clock::time_point from = Clock::now();
  if (held == Hold::budget || held == Hold::onward) {
    if (!heldOnTimer_) shard_.stats().add(held == Hold::budget ? Count::budgetPauses : Count::onwardPauses);
    heldOnTimer_ = true;
    asio::steady_timer pause(socket_.get_executor(), limits_.budgetRecheck);
    co_await pause.async_wait(asio::use_awaitable);
  } else if (held == Hold::posted) {
    asio::steady_timer pause(socket_.get_executor(), limits_.postedRecheck);
    co_await pause.async_wait(asio::use_awaitable);
  } else if (held == Hold::share) {
    // One line per episode, for all of the identity's sessions.
    if (share_->beginEpisode()) {
      shard_.stats().add(Count::sendersSlowed);
      log_.event(peer_, toHex(identity().data(), identity().size()) + " sends past its fair share (" +
                            std::to_string(limits_.senderBytesPerSecond) + " bytes, " +
                            std::to_string(limits_.senderPacketsPerSecond) +
                            " packets a second on average): reading it slowed");
    }
    asio::steady_timer pause(socket_.get_executor(), share_->wait(from));
    co_await pause.async_wait(asio::use_awaitable);
  }
  // The server held the reader, not the client: the unfinished frame's
  // clock does not run meanwhile.
  if (unfinishedSince_) *unfinishedSince_ += Clock::now() - from;
}

asio::awaitable<std::string> Session::reader_() {
  try {
    while (!closed_) {
      Budget& budget = shard_.budget();
      const bool over = budget.over();
      if (budget.turned(over))
        log_.event(peer_, over ? "reading paused for the clients that feed the queues: " +
                                     std::to_string(budget.used()) + " bytes queued for the sessions, over the budget of " +
                                     std::to_string(budget.max())
                               : std::string("reading resumed: the queues are back within the budget"));
      // A feeder takes nothing more in while the budget is spent, nor any
      // reader while the cluster's bus is pressed or other shards still have
      // many of its packets to hand out, nor a sender past its share.
      const std::optional<std::uint32_t> next = keptFrame();
      const Hold held = hold(next);
      if (held != Hold::budget && held != Hold::onward) heldOnTimer_ = false;
      if (held != Hold::none) {
        co_await waitOut(held);
        continue;
      }
      // Frames read in earlier (a burst, or the rest of a long frame) first,
      // a turn of the event loop after each few of them.
      if (next) {
        std::size_t used = 0;
        if (auto why = take(kept_.data(), kept_.size(), used)) co_return *why;
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(used));
        if (kept_.empty()) Bytes().swap(kept_);
        noteUnfinished();
        if (keptFrame()) co_await asio::post(socket_.get_executor(), asio::use_awaitable);
        continue;
      }
      {
        // A frame begun must be whole in time, however its bytes trickle in.
        std::optional<Deadline> deadline;
        if (unfinishedSince_)
          deadline.emplace(socket_.get_executor(), *unfinishedSince_ + limits_.unfinishedFrameDeadline - Clock::now(),
                           [this] {
                             shard_.stats().add(Count::unfinishedFramesEnded);
                             close("no whole frame " + std::to_string(seconds(limits_.unfinishedFrameDeadline)) +
                                   " s after its first byte");
                           });
        co_await socket_.async_wait(asio::ip::tcp::socket::wait_read, asio::use_awaitable);
      }
      // The shard's buffer is this session's until its next suspension.
      Bytes& buffer = shard_.readBuffer();
      boost::system::error_code ec;
      const std::size_t got = socket_.read_some(asio::buffer(buffer), ec);
      if (wouldBlock(ec)) continue;
      if (ec) throw boost::system::system_error(ec);
      shard_.stats().add(Count::bytesIn, got);
      if (!kept_.empty()) {
        kept_.insert(kept_.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
        noteUnfinished();
        continue;
      }
      std::size_t used = 0;
      if (auto why = take(buffer.data(), got, used)) co_return *why;
      kept_.assign(buffer.begin() + static_cast<std::ptrdiff_t>(used), buffer.begin() + static_cast<std::ptrdiff_t>(got));
      noteUnfinished();
      if (keptFrame()) co_await asio::post(socket_.get_executor(), asio::use_awaitable);
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
    cutOff("reads too slowly (nothing taken for " +
           std::to_string(seconds(limits_.writeStall)) + " s)");
  });
  co_await asio::async_write(socket_, asio::buffer(data, size), asio::use_awaitable);
  shard_.stats().add(Count::bytesOut, size);
}

// self keeps the session alive until the writer has wound down, which may be
// after run() has returned.
asio::awaitable<void> Session::writer_([[maybe_unused]] std::shared_ptr<Session> self) {
  FrameBatch batch;
  try {
    // Nothing live is written before the catch-up. One that can have missed
    // nothing skips the coroutine as well: thousands of new sessions at once
    // would each allocate and free its frame in the middle of their own.
    if (tracking_ && joining()) {
      co_await catchUp();
    } else if (tracking_) {
      outbox_.release({});
      caughtUp_ = true;
    }
    while (!closed_) {
      if (!rest_.empty()) {
        co_await writeAll(rest_.data(), rest_.size());
        outbox_.written();
        Bytes().swap(rest_);
        continue;
      }
      // Everything quick leaves in one write. In the time one write takes,
      // the relay can queue a frame from every other session, so a writer
      // that sent one frame per turn would fall behind and cut off a client
      // that reads as fast as it can.
      std::size_t sealed = outbox_.sealQuick(batch);
      if (outbox_.hasBulk() && !outbox_.full(batch)) {
        const bool pressed = outbox_.pressed();
        if (bulkTurn_ == BulkTurn::none && !pressed)
          bulkTurn_ = shard_.takeBulkTurn(*this) ? BulkTurn::holding : BulkTurn::waiting;
        if (bulkTurn_ == BulkTurn::holding || pressed) sealed += outbox_.sealBulk(batch, pressed);
      }
      shard_.stats().add(Count::packetsOut, sealed);
      if (batch.empty()) {
        endBulkTurn();
        // Any completion, cancellation included, means "look at the outbox".
        writeTimer_.expires_at(std::chrono::steady_clock::time_point::max());
        boost::system::error_code ignored;
        writerIdle_ = true;
        co_await writeTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        writerIdle_ = false;
        continue;
      }
      // Most writes fit in the socket's buffer at once; only the rest waits,
      // and a client that takes none of it for long is cut off.
      const Bytes& bytes = batch.bytes();
      boost::system::error_code ec;
      const std::size_t now = writeNow(bytes, ec);
      endBulkTurn();
      if (ec) throw boost::system::system_error(ec);
      if (now < bytes.size()) co_await writeAll(bytes.data() + now, bytes.size() - now);
      // A session keeps no buffer while it waits, idle or for a bulk turn:
      // thousands of them wait at once under a flood.
      batch.done(outbox_.hasQuick());
      outbox_.written();
      confirm();
    }
  } catch (const std::exception& error) {
    close(std::string("write failed: ") + error.what());
  }
  // A turn granted after the close passes on; a wait for one ends.
  leaveBulkTurn();
  Bytes().swap(rest_);
}

}  // namespace sotto
