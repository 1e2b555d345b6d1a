// The keyed sessions and the relay between them. The server's one I/O thread
// owns it, so it takes no locks.
//
// A Broadcast goes to every other session; a Direct to every session of the
// identity named in its key field. Either way the key field is rewritten to
// the sender's authenticated identity, and empty payloads go nowhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "proto/handshake.hpp"
#include "proto/packet.hpp"

namespace sotto {

class Session;

class Hub {
 public:
  void join(const std::shared_ptr<Session>& session);
  void leave(const Session& session);
  void relay(const Session& from, Packet&& packet);
  std::size_t size() const { return sessions_.size(); }
  // Packets opened from clients so far, relayed or not. Any thread may read it.
  std::uint64_t packetsReceived() const { return packetsReceived_.load(std::memory_order_relaxed); }
  // Closes every session; each leaves when its connection has wound down.
  void closeAll(const std::string& reason);

 private:
  std::unordered_map<const Session*, std::shared_ptr<Session>> sessions_;
  std::multimap<Key, Session*> byIdentity_;
  std::atomic<std::uint64_t> packetsReceived_{0};
};

}  // namespace sotto
