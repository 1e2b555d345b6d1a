// The client's side of receiving: one frame's ciphertext to the message it
// carries, and the receive loop over any byte stream. ClientImpl runs the loop
// on its socket; it is a template so that it can be driven by other streams.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <utility>

#include "client/debug_log.hpp"
#include "client/message.hpp"
#include "proto/bytes.hpp"
#include "proto/frame_io.hpp"

namespace sotto {

// Opens the ciphertext under key and the current nonce and parses the packet
// inside. A frame that does not open, or whose plaintext does not parse, gives
// the empty message (type 0, zero key, no payload). The nonce advances either
// way, so that the frame after a bad one still opens.
Message openFrame(const Bytes& ciphertext, const unsigned char* key, unsigned char* nonce);

// Reads frames until the stream fails (the read throws) or announces a frame
// above kMaxFrameLength (returns). Every frame's message, the empty one
// included, is handed to deliver in stream order: co_await deliver(message).
template <class Stream, class Deliver>
boost::asio::awaitable<void> receiveFrames(Stream& stream, const unsigned char* key, unsigned char* nonce,
                                           DebugLog& log, Deliver deliver) {
  // Takes in whatever has arrived, so that a burst of small frames costs one
  // read rather than two per frame.
  FrameReader reader;
  Bytes frame;
  for (;;) {
    log.reading();
    if (!co_await reader.next(stream, frame)) co_return;
    Message message = openFrame(frame, key, nonce);
    log.payload(message.payload);
    co_await deliver(std::move(message));
    // One huge frame must not keep its buffer for the connection's lifetime.
    if (frame.capacity() > 4 * FrameReader::kReadAhead) frame = Bytes();
  }
}

}  // namespace sotto
