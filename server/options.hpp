// Command line and limits of sotto-server.
//
//   sotto-server [--listen ADDR] [--data-dir DIR] [--threads N] [--max-sessions N]
//                [--max-sessions-per-identity N] [--max-payload BYTES] [--max-queued-bytes BYTES]
//                [--keep-history DURATION] [--max-missed N]
//                [--metrics ADDR:PORT]
//                [--sender-rate BYTES] [--sender-burst BYTES] [--sender-packet-rate N]
//                [--sender-packet-burst N]
//   sotto-server [--data-dir DIR] --enroll USERDIR [--address HOST]
//   sotto-server ... --postgres CONNINFO [--nats URL[,URL...] [--nats-creds FILE] [--nats-ca FILE]
//                                        [--bus-backlog BYTES]]
//   sotto-server --postgres CONNINFO [--data-dir DIR] --import-registry
//   sotto-server [--data-dir DIR] --public-key | --backup FILE
//   sotto-server [--data-dir DIR | --postgres CONNINFO] --allow|--revoke|--reinstate KEY
//   sotto-server [--data-dir DIR | --postgres CONNINFO] --list-identities [--tsv]
//   sotto-server --help | --version
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proto/handshake.hpp"
#include "proto/keep_alive.hpp"
#include "proto/port.hpp"
#include "server/identity_state.hpp"
#include "server/bus_access.hpp"

namespace sotto {

// What one client may cost the server. Tests lower them; the command line
// sets some of them. A bound of 0 means "from the machine" (fitToMachine).
struct Limits {
  // A new identity mines its proof of work after connecting.
  std::chrono::steady_clock::duration helloTimeout = std::chrono::minutes(10);
  // Connections held without a session: owing their hello, or waiting for
  // the handshake threads or the registry. Past the bound of one address
  // (an IPv6 /64 counts as one) its oldest makes room; past the overall
  // bound, the oldest of the address holding the most. 0: a sixteenth of
  // maxSessions, at least 256.
  std::size_t maxPending = 0;
  std::size_t maxPendingPerAddress = 16;
  // 0: what the open-file limit and the memory leave once the server's own
  // files and the pending connections are counted.
  std::size_t maxSessions = 0;
  // Sessions of one identity on this server; the newest past it is refused.
  std::size_t maxSessionsPerIdentity = 8;
  // A registration, or a sign-in the registry must look up, is refused when
  // the registry has not answered in this time.
  std::chrono::milliseconds registryDeadline{10000};
  // A known identity's sign-in waits this long for the database to say
  // whether another instance (or an earlier run) saw its hello; then this
  // server's own memory decides, so that sign-ins go on while the database
  // hangs.
  std::chrono::milliseconds helloCheckWait{2000};
  // Hellos remembered to refuse replays: in the database, for this many
  // days and at most this many (the oldest go first); in memory, the
  // newest helloMemory of them.
  int helloDays = 30;
  std::size_t helloStoreRows = 1'000'000;
  std::size_t helloMemory = 100'000;
  // Each session's outbox. A packet is always taken into an empty one;
  // beyond either bound the client reads too slowly and is cut off. Half way
  // to either, its bulk packets are sealed without waiting for a bulk turn.
  // Twice a sender's burst of packets, so that one sender's paste of a few
  // thousand lines does not cut off a reader whose socket is full just then.
  std::size_t maxQueuedPacketsPerSession = 8192;
  std::size_t maxQueuedBytesPerSession = 32u * 1024 * 1024;
  // A client that takes nothing of a write for this long reads too slowly
  // too, even when its outbox stays within the bounds above: the budget may
  // have stopped the senders that would fill it.
  std::chrono::steady_clock::duration writeStall = std::chrono::seconds(30);
  // A packet with a longer payload is read, dropped, and answered with a
  // line from the server: one broadcast is copied and sealed once per
  // recipient.
  std::size_t maxPayload = 64 * 1024;
  // A frame not whole this long after its first byte ends its session: its
  // bytes are held, and counted against the budget, until then.
  std::chrono::steady_clock::duration unfinishedFrameDeadline = std::chrono::seconds(30);
  // Each identity's fair share of the relay, over all its sessions here: a
  // token bucket in bytes (of frames, as read) and one in packets. Past
  // either, its sockets are not read until the bucket has refilled; it is
  // slowed, never cut off. A rate of 0 lifts that bucket. The bursts let a
  // paste of thousands of lines through at once and stay within half a
  // reader's outbox; the rates stay well under what a reader on a slow link
  // takes, so that one sender's flood cannot cut it off.
  std::uint64_t senderBytesPerSecond = 128 * 1024;
  std::uint64_t senderBurstBytes = 4 * 1024 * 1024;
  std::uint64_t senderPacketsPerSecond = 256;
  std::uint64_t senderBurstPackets = 4096;
  // The budget: bytes queued for, or sealed and not yet written to, all
  // sessions together (each recipient's copy counted). While past it the
  // feeders are not read, so the senders' TCP windows close instead of the
  // server's memory growing (--max-queued-bytes).
  std::uint64_t maxQueuedBytesTotal = std::uint64_t{1} << 30;
  // A feeder: a reader whose next frame, copied to every session, could add
  // more than this fraction (1/N) of the budget; only feeders wait while the
  // budget is spent, so that a flood pauses and the chat beside it does not.
  std::uint64_t feederShareOfBudget = 64;
  // How often a feeder held back by the budget looks again.
  std::chrono::milliseconds budgetRecheck{2};
  // A packet this long or shorter may go quick: a chat line, not a file.
  std::size_t maxQuickBytes = 4096;
  // A bulk turn seals about this much (about one large frame), so that the
  // shard's other handlers run between two turns.
  std::size_t bulkTurnBytes = 64 * 1024;
  // What one write takes sealed, at most about: enough that a writer keeps
  // up with a relay that queues a frame from every other session meanwhile.
  std::size_t maxSealedPerWrite = 256 * 1024;
  // One sender's packets, and bytes, posted to other shards and not yet
  // handed out there: past either its reader waits, so that a burst from one
  // shard does not reach another's recipients faster than their writers
  // drain it, and that one client's burst holds back that client alone.
  std::size_t maxPostedPacketsPerSender = 128;
  std::size_t maxPostedBytesPerSender = 256 * 1024;
  // How often such a reader looks again. Looking at every turn of its event
  // loop would keep a core busy with empty polls, taken from the writers it
  // waits for (and from the cluster's bus beside them).
  std::chrono::microseconds postedRecheck{50};
  // Posted packets a shard hands out per turn of its event loop, so that the
  // writers they woke drain them before the next ones come.
  std::size_t handedOutPerTurn = 64;
  // Frames a reader hands to the relay in a row before the other coroutines
  // of its shard run, so that the writers drain what a burst queued.
  std::size_t framesPerReadTurn = 16;
  // Each shard reads into one buffer of this size, which its sessions share.
  std::size_t readBufferBytes = 64 * 1024;
  // A shard's scratch for opening frames is given back past this, so that
  // one large frame does not stay held.
  std::size_t keptScratchBytes = 256 * 1024;
  // A quiet chat sends nothing, so only TCP keepalive notices a client that
  // vanished without closing (power cut, dropped NAT entry); without it the
  // session would hold its slot for good. Dead after idle + interval * count.
  KeepAlive keepAlive;
  // The registry: sign-ins answered from memory reach it this often (and at
  // shutdown), and identities registered through other servers sharing it
  // are loaded this often, so that they sign in here while it is down.
  std::chrono::milliseconds registryWriteInterval{5000};
  std::chrono::milliseconds registryLoadInterval{30000};
  // The history: the writer takes what the relay kept at most this far
  // apart, so that a message is in the store within about a second and a
  // killed server loses no more.
  std::chrono::milliseconds historyBatchWindow{100};
  // Messages waiting for a slow or absent store, bytes; past it they are not
  // kept (and members are told so).
  std::size_t historyQueueBytes = 64u * 1024 * 1024;
  // How long a sign-in waits for the store to hold what came before it; past
  // it, the catch-up says some may be missing.
  std::chrono::milliseconds historyCatchUpWait{2000};
  // How long a sign-in waits for its catch-up in all, whatever the database
  // does; past it, it is told some may be missing and goes on live.
  std::chrono::milliseconds historyAnswerWait{5000};
  // How long a stopping server waits for the history to write what waits:
  // tried again for half of it, then the statement under way is cancelled.
  std::chrono::milliseconds historyStopWait{3000};
  // One sign-in's catch-up holds at most this many bytes of packets (the
  // newest ones), besides --max-missed.
  std::size_t maxCatchUpBytes = 64u * 1024 * 1024;
  // How often each server reads the registry's count of state changes, so
  // that a revocation closes its sessions well within 2 s (StateWatch).
  std::chrono::milliseconds stateCheckInterval{500};
};

// Descriptors the server keeps for itself: registry, log, listening socket,
// event loops and a few spare.
inline constexpr std::size_t kReservedFiles = 64;

// What sets maxSessions: the command line, the open-file limit or the memory.
enum class SessionBound { option, openFiles, memory };

// Memory one session may take beyond what the server-wide budget counts:
// its own state and socket buffers, and room for a frame being read in.
std::uint64_t sessionBytes(const Limits& limits);

// Fills the bounds left at 0 from the open-file limit and the memory
// (memoryBytes 0: not known); says which bound set maxSessions.
SessionBound fitToMachine(Limits& limits, std::uint64_t openFiles, std::uint64_t memoryBytes = 0);

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
  // outage; past it they are dropped and owned up to. Unset: the bus's own
  // default (Bus::Settings).
  std::optional<std::size_t> busBacklogBytes;
  // How long relayed messages are kept for members who were away
  // (--keep-history); zero keeps none and turns catching up off.
  std::chrono::milliseconds keepHistory = std::chrono::hours(24 * 7);
  // The most messages one sign-in catches up with (--max-missed).
  std::size_t maxMissed = 10'000;
  // The operator's HTTP endpoint (metrics, health, readiness); off unless given.
  std::optional<std::string> metrics;
  // Who may register: anyone with a proof of work, or only the identities
  // allowed in advance.
  Registration registration = Registration::open;
  // A change to one identity's state, or the list of them, then exit.
  struct IdentityCommand {
    enum class Kind { allow, revoke, reinstate, list } kind = Kind::list;
    Key key{};
    // The list as tab-separated values, for scripts.
    bool tabSeparated = false;
  };
  std::optional<IdentityCommand> identityCommand;
  // The bus's credentials file and the authorities trusted for its TLS.
  BusAccess busAccess;
  bool help = false;
  bool version = false;
  // Print the data directory's public key without serving, then exit.
  bool printPublicKey = false;
  // Copy DATA_DIR/registry.sqlite3 to this file, safely while a server
  // writes to it, then exit.
  std::optional<std::string> backupFile;
  // I/O threads that carry the sessions; 0: one per hardware thread.
  unsigned threads = 0;
  Limits limits;
};

// Parses argv. On a bad command line returns nothing and sets error.
std::optional<ServerOptions> parseOptions(int argc, const char* const* argv, std::string& error);

std::string usage();

}  // namespace sotto
