// What an instance of a cluster puts on the bus, sealed so that only the
// cluster's instances can read or make it, and the order it is taken back in.
//
// One record carries one or more relayed packets, or owns up to packets that
// never made it onto the bus:
//   [0] format (3)  [1..16] origin instance  [17..24] sequence, big-endian
//   [25..] the body, sealed with the bus key (XChaCha20-Poly1305; the nonce
//          is the origin and the sequence, the 25 bytes before are the
//          associated data), then its 16-byte tag. The body:
//     [0..7] made at: milliseconds since the epoch by the origin's clock
//     [8] kind (0 packets, 1 lost)
//     packets: one or more of
//              [1] the packet's type (Broadcast or Direct), plus 0x80 when
//                  its sender is the one of the entry before, plus 0x40
//                  when its seq is the one of the entry before plus one
//              [8] the packet's seq among the origin's relayed packets,
//                  big-endian, unless 0x40 says it
//              [32] the named identity, for a Direct only
//              [32] the sender, unless it is the one of the entry before
//              [4] the payload's length, big-endian, [length] the payload
//     lost:    [8] how many packets were dropped just before this record
// Every byte is carried several times (into the bus, its store, out to
// every instance), so a burst of one sender's short lines costs each its
// payload and 5 bytes.
// Every origin numbers its records 0, 1, 2, ... in the order it sealed them,
// so no nonce is ever used twice under one key.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/bytes.hpp"
#include "proto/handshake.hpp"
#include "server/message_id.hpp"

namespace sotto {

struct BusRecord {
  enum Kind : std::uint8_t { Packets = 0, Lost = 1 };
  static constexpr unsigned char kFormat = 4;
  static constexpr std::size_t kHeaderSize = 25;
  static constexpr std::size_t kBodyHeadSize = 9;
  // What an entry takes beyond the serialized packet it carries, at most
  // (a Direct: its seq, named identity and type byte, less the packet's own
  // type).
  static constexpr std::size_t kEntryOverhead = 40;
  static constexpr std::size_t kTagSize = 16;

  struct Packet {
    Key named{};
    std::uint64_t seq = 0;  // among the origin's relayed packets, dropped ones too
    std::shared_ptr<const Bytes> serialized;
  };

  Kind kind = Packets;
  InstanceId origin{};
  std::uint64_t seq = 0;
  std::uint64_t madeAt = 0;
  std::vector<Packet> packets;
  std::uint64_t dropped = 0;  // Lost only
  std::size_t size = 0;       // sealed, for the bound on what waits
};

// A record's body as it is filled: a head to be stamped when sealed, then
// the packets.
struct RecordBody {
  Bytes bytes = Bytes(BusRecord::kBodyHeadSize);
  // Where the sender of the last entry is written, 0 before the first.
  std::size_t senderAt = 0;
  std::uint64_t lastSeq = 0;  // of the last entry, once there is one
};
// Appends a serialized packet (a Broadcast or a Direct, its key field the
// sender's) and its seq; returns the bytes it took.
std::size_t appendPacket(RecordBody& body, std::uint64_t seq, const Key& named, const Bytes& serialized);

// The origin and sequence of a sealed record, read without opening it.
// Nothing if it is not one of ours.
std::optional<std::pair<InstanceId, std::uint64_t>> peekRecord(const unsigned char* data, std::size_t size);

// The key the instances of one cluster share, derived from the long-term key
// they already share; wiped when it goes.
class BusKey {
 public:
  explicit BusKey(const unsigned char* serverSecret);
  ~BusKey();
  BusKey(const BusKey&) = delete;
  BusKey& operator=(const BusKey&) = delete;

  // Stamps the body's head (kind, made at) and seals it.
  Bytes seal(const InstanceId& origin, std::uint64_t seq, BusRecord::Kind kind, std::uint64_t madeAt,
             Bytes& body) const;
  // Nothing if it does not open under this key or is malformed inside.
  // scratch holds the opened body meanwhile.
  std::optional<BusRecord> open(const unsigned char* data, std::size_t size, Bytes& scratch) const;

 private:
  unsigned char key_[32];
};

Bytes lostBody(std::uint64_t dropped);

// Puts the records of every other instance back in each origin's order,
// drops repeats, and notices sequences that will never come. A record that
// arrives ahead of one still missing waits; if too many wait, or the oldest
// waits too long, the missing ones are given up for lost. Used by one thread.
class OriginOrder {
 public:
  static constexpr std::size_t kMaxWaiting = 4096;
  static constexpr std::size_t kMaxWaitingBytes = 64u * 1024 * 1024;
  static constexpr std::chrono::seconds kMaxWait{30};
  // How far the instances' clocks may disagree.
  static constexpr std::chrono::milliseconds kClockSkew{30'000};

  // joinedAt: when this instance began reading, milliseconds since the epoch.
  explicit OriginOrder(std::uint64_t joinedAt) : joinedAt_(joinedAt) {}

  // What a record is before it is accepted: one not had yet, one had
  // already, or one of an origin not heard from yet that was made before
  // this instance joined (an old record played again, never due here).
  enum class Arrival { New, Repeat, Stale };
  Arrival classify(const BusRecord& record) const;
  // Appends the records now due, in order, to ready; returns why packets
  // were lost, if they were.
  std::optional<std::string> accept(BusRecord&& record, std::vector<BusRecord>& ready,
                                    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // Gives up on what the oldest waiting records have waited for too long.
  std::optional<std::string> expire(std::vector<BusRecord>& ready,
                                    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // When expire has something to do next, if anything waits.
  std::optional<std::chrono::steady_clock::time_point> nextExpiry() const;
  // The bus is back: waits start again from now.
  void waitAfresh(std::chrono::steady_clock::time_point now);
  // After the bus lost records it held: what each origin sends next is
  // taken, whatever is missing before it (already owned up to).
  void resync();

 private:
  struct Origin {
    std::uint64_t next = 0;
    bool resync = false;
    std::map<std::uint64_t, BusRecord> waiting;  // by sequence
    std::size_t waitingBytes = 0;
    std::chrono::steady_clock::time_point waitingSince;
  };
  // Goes on from the first record that waits; returns what was given up.
  std::string skip(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready, const char* why,
                   std::chrono::steady_clock::time_point now);
  // Takes records while the next one is due; returns why packets were lost.
  std::optional<std::string> drain(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready);
  std::optional<std::string> take(const InstanceId& id, Origin& origin, BusRecord&& record,
                                  std::vector<BusRecord>& ready);

  const std::uint64_t joinedAt_;
  std::map<InstanceId, Origin> origins_;
};

}  // namespace sotto
