// Command line and limits of sotto-server.
//
//   sotto-server [--listen ADDR] [--data-dir DIR] [--threads N] [--max-sessions N]
//                [--max-payload BYTES] [--max-queued-bytes BYTES]
//   sotto-server [--data-dir DIR] --enroll USERDIR [--address HOST]
//   sotto-server ... --postgres CONNINFO [--nats URL[,URL...] [--nats-creds FILE] [--nats-ca FILE]
//                                        [--bus-backlog BYTES]]
//   sotto-server --postgres CONNINFO [--data-dir DIR] --import-registry
//   sotto-server --help
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proto/keep_alive.hpp"
#include "proto/port.hpp"
#include "server/bus_access.hpp"

namespace sotto {

// What one client may cost the server. Tests lower them; the command line
// sets some of them. A bound of 0 means "from the machine" (fitToMachine).
struct Limits {
  // A new identity mines its proof of work after connecting.
  std::chrono::steady_clock::duration helloTimeout = std::chrono::minutes(10);
  // Connections still owing their hello; past either bound the oldest
  // pending one (of that address, or overall) makes room. 0: a sixteenth of
  // maxSessions, at least 256.
  std::size_t maxPending = 0;
  std::size_t maxPendingPerAddress = 16;
  // 0: what the open-file limit leaves once the server's own files and the
  // pending connections are counted.
  std::size_t maxSessions = 0;
  // Each session's outgoing queue. A frame is always taken into an empty
  // queue; beyond these the reader is too slow and is disconnected.
  std::size_t maxQueuedFrames = 1024;
  std::size_t maxQueuedBytes = 32u * 1024 * 1024;
  // A client that takes nothing of a write for this long reads too slowly
  // too, even when its queue stays within the bounds above: the server-wide
  // budget may have stopped the senders that would fill it.
  std::chrono::steady_clock::duration writeStall = std::chrono::seconds(30);
  // A packet with a longer payload is not relayed and ends its sender's
  // session: one broadcast is copied and sealed once per recipient.
  std::size_t maxPayload = 64 * 1024;
  // Bytes queued for, or sealed and not yet written to, all sessions
  // together (each recipient's copy counted). While past it the server reads
  // from no session, so the senders' TCP windows close instead of its memory
  // growing.
  std::uint64_t maxBufferedBytes = std::uint64_t{1} << 30;
  // A quiet chat sends nothing, so only TCP keepalive notices a client that
  // vanished without closing (power cut, dropped NAT entry); without it the
  // session would hold its slot for good. Dead after idle + interval * count.
  KeepAlive keepAlive;
  // The registry: sign-ins answered from memory reach it this often (and at
  // shutdown), and identities registered through other servers sharing it
  // are loaded this often, so that they sign in here while it is down.
  std::chrono::milliseconds registryWriteInterval{5000};
  std::chrono::milliseconds registryLoadInterval{30000};
};

// Descriptors the server keeps for itself: registry, log, listening socket,
// event loops and a few spare.
inline constexpr std::size_t kReservedFiles = 64;

// Fills the bounds left at 0 from the open-file limit.
void fitToMachine(Limits& limits, std::uint64_t openFiles);

struct ServerOptions {
  std::string listenAddress = "0.0.0.0";
  std::string dataDir = "./sotto-data";
  // Enrolment: write USERDIR/client.conf for a fresh, registered identity.
  std::optional<std::string> enrollDir;
  std::string enrollAddress = "127.0.0.1";
  // The registry in PostgreSQL (a libpq connection string or URI) instead
  // of DATA_DIR/registry.sqlite3.
  std::optional<std::string> postgres;
  // Copy DATA_DIR/registry.sqlite3 into PostgreSQL, then exit.
  bool importRegistry = false;
  // The NATS servers of a cluster's bus (with --postgres): every instance on
  // them is one chat.
  std::vector<std::string> nats;
  // Relayed packets not yet on the bus that an instance holds through an
  // outage; past it they are dropped and owned up to.
  std::size_t busBacklogBytes = 64u * 1024 * 1024;
  // The bus's credentials file and the authorities trusted for its TLS.
  BusAccess busAccess;
  bool help = false;
  // I/O threads that carry the sessions; 0: one per hardware thread.
  unsigned threads = 0;
  Limits limits;
};

// Parses argv. On a bad command line returns nothing and sets error.
std::optional<ServerOptions> parseOptions(int argc, const char* const* argv, std::string& error);

std::string usage();

}  // namespace sotto
