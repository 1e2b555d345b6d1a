// Keeps a running server in step with the identities' states that the
// operator's commands (--allow, --revoke, --reinstate) write into the
// registry, on whichever machine they ran: a revocation closes the
// identity's sessions here and refuses its next hello (Hub::revoke), a
// reinstatement lets it back.
//
// How a change reaches every instance: each one reads the registry's count
// of state writes every Limits::stateCheckInterval, on a connection and a
// thread of its own, and reads the states again when the count has moved.
// A poll of a count, because
// - it reaches every instance of a cluster alike, wherever the command ran;
//   a control socket in the data directory would reach only the server of
//   that machine, while a cluster's instances each have their own;
// - nothing is missed while an instance restarts or its database connection
//   is broken: the states are read at start and the count again once the
//   database is back. PostgreSQL's notifications would spare the reads but
//   lose what was sent while the connection was down, so they would need
//   the same re-read, and SQLite has none;
// - it costs one read of one row per interval per instance.
// A busy registry worker or a database that hangs delays only this thread;
// no relaying thread waits for it, since what it learns reaches the shards
// by posting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/event_log.hpp"
#include "server/hub.hpp"
#include "server/registry.hpp"

namespace sotto {

class StateWatch {
 public:
  // Reads the states, shuts the revoked identities out of the hub, then
  // watches on a thread of its own. Null with error set on failure.
  static std::unique_ptr<StateWatch> start(std::unique_ptr<Registry> registry, Hub& hub, const EventLog& log,
                                           std::chrono::milliseconds interval, std::string& error);
  // stop(kStopWait), unless it was called.
  ~StateWatch();
  StateWatch(const StateWatch&) = delete;
  StateWatch& operator=(const StateWatch&) = delete;

  // The watch writes nothing, so a shutdown need not wait for a database
  // that hangs: this long at most.
  static constexpr std::chrono::milliseconds kStopWait{500};

  // Stops watching, waiting at most within for a database call under way.
  // False when the call still runs: its thread is left to end on its own
  // and touches neither the hub nor the log again.
  bool stop(std::chrono::milliseconds within);

 private:
  // Whatever the thread uses, kept alive by it even if it is left behind.
  struct Shared;

  explicit StateWatch(std::shared_ptr<Shared> shared);
  static void watch(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace sotto
