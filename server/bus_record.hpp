// What an instance of a cluster puts on the bus, and the order it is taken
// back in.
//
// One record per relayed packet, or one that owns up to packets that never
// made it onto the bus:
//   [0] kind (0 packet, 1 lost)  [1..16] origin instance  [17..24] sequence, big-endian
//   packet: [25..56] the named identity of a Direct  [57..] the serialized packet,
//           its key field already the sender's
//   lost:   [25..32] the first lost sequence, big-endian; the lost ones run up
//           to just before the record's own sequence
// Every origin numbers its records 0, 1, 2, ... in the order it relayed them.
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
  enum Kind : std::uint8_t { Packet = 0, Lost = 1 };
  static constexpr std::size_t kSeqOffset = 17;
  static constexpr std::size_t kPacketOffset = 57;

  Kind kind = Packet;
  InstanceId origin{};
  std::uint64_t seq = 0;
  // Packet only.
  Key named{};
  std::shared_ptr<const Bytes> packet;
  // Lost only.
  std::uint64_t lostFrom = 0;

  // The first sequence this record accounts for.
  std::uint64_t first() const { return kind == Lost ? lostFrom : seq; }
};

// A packet record with sequence 0, to be stamped by stampSeq once numbered.
Bytes encodePacketRecord(const InstanceId& origin, const Key& named, const Bytes& serialized);
Bytes encodeLostRecord(const InstanceId& origin, std::uint64_t seq, std::uint64_t lostFrom);
void stampSeq(Bytes& record, std::uint64_t seq);
// Nothing if the record is malformed.
std::optional<BusRecord> decodeRecord(const unsigned char* data, std::size_t size);

// Puts the records of every other instance back in each origin's order,
// drops repeats, and notices sequences that will never come. A record that
// arrives ahead of one still missing waits; if too many wait, or the oldest
// waits too long, the missing ones are given up for lost. Used by one thread.
class OriginOrder {
 public:
  static constexpr std::size_t kMaxWaiting = 4096;
  static constexpr std::chrono::seconds kMaxWait{30};

  // Appends the records now due, in order, to ready; returns why packets
  // were lost, if they were.
  std::string accept(BusRecord&& record, std::vector<BusRecord>& ready,
                     std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

 private:
  struct Origin {
    std::uint64_t next = 0;
    std::map<std::uint64_t, BusRecord> waiting;  // by first()
    std::chrono::steady_clock::time_point waitingSince;
  };
  // Takes records while the next one is due; returns why packets were lost.
  std::string drain(const InstanceId& id, Origin& origin, std::vector<BusRecord>& ready);
  std::string take(const InstanceId& id, Origin& origin, BusRecord&& record, std::vector<BusRecord>& ready);

  std::map<InstanceId, Origin> origins_;
};

}  // namespace sotto
