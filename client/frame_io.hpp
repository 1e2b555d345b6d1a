// Whole frames on a stream: the 4-byte big-endian ciphertext length, then the
// ciphertext. The client's loops and the server's sessions both use these, so
// that both ends lay out and bound frames the same way.
#pragma once

#include <array>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "bytes.hpp"
#include "frame.hpp"

namespace sotto {

// Reads one frame's ciphertext into body, reusing its buffer. Returns false,
// before allocating anything, when the length word is above kMaxFrameLength.
// A failed or short read throws, as async_read does.
template <class Stream>
boost::asio::awaitable<bool> readFrame(Stream& stream, std::vector<unsigned char>& body) {
  unsigned char lengthWord[kFrameLengthSize];
  co_await boost::asio::async_read(stream, boost::asio::buffer(lengthWord), boost::asio::use_awaitable);
  const std::uint32_t length = getU32be(lengthWord);
  if (length > kMaxFrameLength) co_return false;
  body.resize(length);
  co_await boost::asio::async_read(stream, boost::asio::buffer(body), boost::asio::use_awaitable);
  co_return true;
}

// Writes the length word and the ciphertext as one gathered write, so that the
// length word never leaves alone.
template <class Stream>
boost::asio::awaitable<void> writeFrame(Stream& stream, const std::vector<unsigned char>& ciphertext) {
  unsigned char lengthWord[kFrameLengthSize];
  putU32be(lengthWord, static_cast<std::uint32_t>(ciphertext.size()));
  const std::array<boost::asio::const_buffer, 2> frame{boost::asio::buffer(lengthWord),
                                                       boost::asio::buffer(ciphertext)};
  co_await boost::asio::async_write(stream, frame, boost::asio::use_awaitable);
}

// Appends one whole frame to out, for a writer that sends several in one write.
inline void appendFrame(std::vector<unsigned char>& out, const std::vector<unsigned char>& ciphertext) {
  const std::size_t at = out.size();
  out.resize(at + kFrameLengthSize + ciphertext.size());
  putU32be(out.data() + at, static_cast<std::uint32_t>(ciphertext.size()));
  std::copy(ciphertext.begin(), ciphertext.end(), out.begin() + static_cast<std::ptrdiff_t>(at + kFrameLengthSize));
}

}  // namespace sotto
