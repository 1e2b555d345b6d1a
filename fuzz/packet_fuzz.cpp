// Packet parsing and serializing: any bytes parse without fault into either
// the empty packet or the fields an independent reading finds, and a packet
// serializes back to exactly the bytes it was read from (trailing bytes
// aside); a packet built from fields survives the round trip unchanged.
#include "client/message.hpp"
#include "fuzz/check.hpp"
#include "fuzz/frame_stream.hpp"
#include "proto/packet.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes bytes(data, data + size);
  const Packet parsed(bytes);
  const auto expected = fuzz::parse(bytes);
  if (!expected) {
    FUZZ_CHECK(parsed.type == 0 && parsed.key == fuzz::Key{} && parsed.length == 0 && parsed.payload.empty());
    FUZZ_CHECK(parsed.serialize() == fuzz::Bytes(fuzz::kHeader, 0));
  } else {
    FUZZ_CHECK(parsed.type == expected->type && parsed.key == expected->key && parsed.payload == expected->payload);
    FUZZ_CHECK(parsed.payloadLength() == parsed.payload.size());
    const fuzz::Bytes again = parsed.serialize();
    FUZZ_CHECK(again.size() == fuzz::kHeader + parsed.payload.size());
    FUZZ_CHECK(std::equal(again.begin(), again.end(), bytes.begin()));
  }

  // The same bytes as fields: type, key, then everything else as payload.
  fuzz::Bytes padded = bytes;
  padded.resize(std::max<std::size_t>(size, 33));
  fuzz::Record r;
  r.type = padded[0];
  std::copy(padded.begin() + 1, padded.begin() + 33, r.key.begin());
  r.payload.assign(padded.begin() + 33, padded.end());
  const Packet built(r.type, r.key.data(), r.payload);
  const fuzz::Bytes serialized = built.serialize();
  FUZZ_CHECK(serialized == fuzz::layOut(r, static_cast<std::uint32_t>(r.payload.size())));
  Packet round(serialized);
  FUZZ_CHECK(round.type == r.type && round.key == r.key && round.length == built.length && round.payload == r.payload);

  // What the queues and readBytes make of it keeps the key and payload.
  const Message message(round.type, round.key.data(), round.payload);
  const Message copy = message;
  const RecivedMessage handedOut(copy.key.data(), copy.payload);
  FUZZ_CHECK(handedOut.key == r.key && handedOut.payload == r.payload);
  Packet moved;
  moved = std::move(round);
  FUZZ_CHECK(moved.serialize() == serialized);
  return 0;
}
