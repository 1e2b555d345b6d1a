// The keyed sessions and the relay between them, over one or more I/O
// threads. Each thread has its Part: its own event loop, its own sessions
// and their index, a read buffer and sealing scratch its sessions share, its
// bulk turn and the sessions to flush, all touched by that thread alone and
// so without locks. A packet is posted, once, to every other Part, which
// hands it to its own sessions, and handed to the sender's own thread's
// sessions at once; posts from one thread to another run in the order they
// were made, so each sender's packets reach every recipient in the sender's
// order.
//
// A packet is quick or bulk for all its recipients, decided once where it is
// relayed: quick when it is short and its sender has no bulk packet still
// waiting to be sealed anywhere. A writer seals its quick packets first, so
// that a chat line passes another sender's flood of large packets without
// ever passing its own sender's earlier ones; and each thread lets one writer
// at a time seal bulk packets (a bulk turn), so that thousands of 64 KiB
// copies cannot stand between a reader and its next turn.
//
// A Broadcast goes to every other session; a Direct to every session of the
// identity named in its key field. Either way the key field is rewritten to
// the sender's authenticated identity, and empty payloads go nowhere.
//
// The counters (sessions, packets, buffered bytes) are atomics that any
// thread reads.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proto/bytes.hpp"
#include "proto/frame_io.hpp"
#include "proto/handshake.hpp"
#include "proto/packet.hpp"

namespace sotto {

class Bus;
class Session;

class Hub {
 public:
  // One sender's packets posted to other threads and not yet handed out
  // there; any thread. While there are many, the sender's reader waits: a
  // burst from one thread must not reach another thread's recipients faster
  // than their writers get a turn there, or their queues overflow and they
  // are cut off unjustly. Counted per sender, so that one client's burst
  // holds back that client alone.
  struct InFlight {
    std::atomic<std::size_t> packets{0};
    std::atomic<std::size_t> bytes{0};
    // Copies of this sender's bulk packets not yet sealed, and one for each
    // thread a bulk packet is posted to until it is handed out there: while
    // any, its packets go bulk too.
    std::atomic<std::size_t> bulk{0};
    bool behind() const;
  };

  class Part {
   public:
    explicit Part(Hub& hub) : hub_(hub) {}
    // All of these on this Part's thread only.
    void join(const std::shared_ptr<Session>& session);
    void leave(const Session& session);
    void relay(const Session& from, Packet&& packet);
    // A writer with bulk packets asks for a turn to seal them. When it may
    // not yet, it is queued and granted the turn later (Session::grantBulkTurn);
    // it gives the turn back once it has sealed and tried the socket.
    bool takeBulkTurn(Session& writer);
    void giveBulkTurn();
    void forgetBulkWaiter(const Session& writer);
    // Read in by one session at a time, between two of its suspensions.
    Bytes& readBuffer() { return readBuffer_; }
    // Scratch for opening one frame, under the same rule.
    Bytes& plaintext() { return plaintext_; }
    // Scratch for sealing what flushWrites writes, likewise.
    FrameBatch& sealed() { return sealed_; }
    // A session whose idle writer has quick packets to be written at the end
    // of this turn (Session::flush), and the end of the turn: so that a
    // burst relayed in one turn leaves in one write per recipient, and a
    // broadcast wakes no writer.
    void flushLater(Session& session) { toFlush_.push_back(&session); }
    void flushWrites();
    // Flushes when the turn ends, by return or by exception.
    class FlushAtEnd {
     public:
      explicit FlushAtEnd(Part& part) : part_(part) {}
      FlushAtEnd(const FlushAtEnd&) = delete;
      FlushAtEnd& operator=(const FlushAtEnd&) = delete;
      ~FlushAtEnd();

     private:
      Part& part_;
    };
    boost::asio::io_context& io() { return io_; }
    Hub& hub() { return hub_; }

   private:
    friend class Hub;
    // sender is counted for each bulk copy queued.
    void deliver(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                 const Session* from, const std::shared_ptr<InFlight>& sender, bool quick);
    // Any thread: queues a packet from another Part for this one, and wakes
    // this thread once for however many come before it gets to them.
    void post(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
              const std::shared_ptr<InFlight>& sender, bool quick);
    // On this thread: hands out what was posted, in order, a few at a time.
    void drainInbox();
    void closeAll(const std::string& reason);

    struct Posted {
      std::shared_ptr<const Bytes> packet;
      std::uint8_t type;
      Key named;
      std::shared_ptr<InFlight> sender;
      bool quick;
    };

    Hub& hub_;
    boost::asio::io_context io_{1};
    // In no order, side by side for the broadcast's walk; each session
    // knows its place (Session::slot_).
    std::vector<std::shared_ptr<Session>> sessions_;
    std::multimap<Key, Session*> byIdentity_;
    Bytes readBuffer_ = Bytes(64 * 1024);
    // Posted to this Part by the others and not yet handed out, under
    // inboxMutex_.
    std::mutex inboxMutex_;
    std::vector<Posted> inbox_;
    bool drainPosted_ = false;
    // This thread's: what drainInbox took from the inbox, handed out up to
    // drainAt_. drainPosted_ stays set until both are empty.
    std::vector<Posted> draining_;
    std::size_t drainAt_ = 0;
    // Writers waiting for a bulk turn, and whether the turn is free.
    std::deque<Session*> bulkWaiting_;
    bool bulkTurnFree_ = true;
    // Its sessions, for the others to skip it when it has none; any thread.
    std::atomic<std::size_t> size_{0};
    Bytes plaintext_;
    FrameBatch sealed_;
    std::vector<Session*> toFlush_;
  };

  Hub(std::size_t threads, std::uint64_t maxBufferedBytes);
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  std::size_t parts() const { return parts_.size(); }
  Part& part(std::size_t index) { return *parts_[index]; }
  // The next Part in turn for a new session.
  Part& nextPart();

  // Sessions joined on all threads. Read at sign-in, on another thread, so a
  // few sign-ins at the same moment may pass the bound by as many.
  std::size_t size() const { return size_.load(std::memory_order_relaxed); }
  std::uint64_t packetsReceived() const { return packetsReceived_.load(std::memory_order_relaxed); }
  // Any thread: closes every session, and every one that joins from now on.
  void closeAll(const std::string& reason);
  // Any thread: closes the sessions there are now; later ones stay.
  void closeCurrent(const std::string& reason);

  // Set once before the I/O threads start: the cluster's bus, which gets
  // every packet relayed here after this instance's own sessions had it.
  void setBus(Bus* bus) { bus_ = bus; }
  // Any thread: every packet read here feeds the bus, whose backlog wants
  // the readers to wait.
  bool busPressed() const;
  // The bus's consumer thread: a packet relayed by another instance,
  // serialized with the sender in its key field, for every session here
  // (a Broadcast) or every session of named (a Direct), in the order given.
  void deliverFromBus(const Key& named, const std::shared_ptr<const Bytes>& packet);

  // Whether a packet of this many serialized bytes from this sender goes
  // quick; any thread.
  static bool quick(std::size_t bytes, const InFlight& sender);

  // The server-wide bound on buffered bytes; any thread.
  void charge(std::uint64_t bytes) { buffered_.fetch_add(bytes, std::memory_order_relaxed); }
  void discharge(std::uint64_t bytes) { buffered_.fetch_sub(bytes, std::memory_order_relaxed); }
  bool overBudget() const { return buffered_.load(std::memory_order_relaxed) > maxBufferedBytes_; }
  std::uint64_t buffered() const { return buffered_.load(std::memory_order_relaxed); }
  std::uint64_t maxBuffered() const { return maxBufferedBytes_; }
  // Whether over, just seen by a reader, differs from what the last one saw;
  // so that a pause in reading is logged once when it begins and once when
  // it ends.
  bool budgetTurned(bool over) {
    return overSeen_.load(std::memory_order_relaxed) != over && overSeen_.exchange(over) != over;
  }

 private:
  std::vector<std::unique_ptr<Part>> parts_;
  Bus* bus_ = nullptr;
  // What the bus has posted to the threads and they have not handed out.
  const std::shared_ptr<InFlight> fromBus_ = std::make_shared<InFlight>();
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> size_{0};
  std::atomic<std::uint64_t> packetsReceived_{0};
  std::atomic<std::uint64_t> buffered_{0};
  std::atomic<bool> closing_{false};
  std::atomic<bool> overSeen_{false};
  std::string closeReason_;  // written before closing_ is set
  const std::uint64_t maxBufferedBytes_;
};

}  // namespace sotto
