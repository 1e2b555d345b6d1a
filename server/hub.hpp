// The keyed sessions and the relay between them. The server's one I/O thread
// owns it, so it takes no locks.
//
// A Broadcast goes to every other session; a Direct to every session of the
// identity named in its key field. Either way the key field is rewritten to
// the sender's authenticated identity, and empty payloads go nowhere.
//
// In a cluster the hub also hands every packet it relays to the bus, and
// packets relayed by other instances come back from it to its own sessions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "proto/bytes.hpp"
#include "proto/handshake.hpp"
#include "proto/packet.hpp"

namespace sotto {

class Bus;
class Session;

class Hub {
 public:
  void join(const std::shared_ptr<Session>& session);
  void leave(const Session& session);
  void relay(const Session& from, Packet&& packet);
  // Set once before serving: the cluster's bus, which gets every relayed packet.
  void setBus(Bus* bus) { bus_ = bus; }
  // A packet relayed by another instance, serialized, its key field the
  // sender's: to every session here, or for a Direct every session of named.
  void deliverFromBus(const Key& named, const std::shared_ptr<const Bytes>& packet);
  std::size_t size() const { return sessions_.size(); }
  // Packets opened from clients so far, relayed or not. Any thread may read it.
  std::uint64_t packetsReceived() const { return packetsReceived_.load(std::memory_order_relaxed); }
  // Closes every session; each leaves when its connection has wound down.
  void closeAll(const std::string& reason);

 private:
  void deliver(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named, const Session* from);

  std::unordered_map<const Session*, std::shared_ptr<Session>> sessions_;
  std::multimap<Key, Session*> byIdentity_;
  std::atomic<std::uint64_t> packetsReceived_{0};
  Bus* bus_ = nullptr;
};

}  // namespace sotto
