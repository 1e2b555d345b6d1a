// Whole frames on a stream: the 4-byte big-endian ciphertext length, then the
// ciphertext. The client's loops and the server's sessions both use these, so
// that both ends lay out and bound frames the same way.
#pragma once

#include <sodium.h>

#include <array>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "proto/bytes.hpp"
#include "proto/frame.hpp"

namespace sotto {

// The length word of the frame at the front of [data, data + size) once the
// whole frame is there, or at once when the length alone says it is longer
// than maxLength (a fault to act on without reading more); nothing while
// more must be read.
inline std::optional<std::uint32_t> frameAt(const unsigned char* data, std::size_t size, std::uint32_t maxLength) {
  if (size < kFrameLengthSize) return std::nullopt;
  const std::uint32_t length = getU32be(data);
  if (length > maxLength || size - kFrameLengthSize >= length) return length;
  return std::nullopt;
}

// Reads frames through a buffer: one read takes in whatever has arrived, up to
// kReadAhead bytes, and the whole frames in it are handed out without another
// read, saving a system call or two per frame when frames come in bursts. A
// frame longer than the buffer is read on straight into its body.
class FrameReader {
 public:
  static constexpr std::size_t kReadAhead = 16 * 1024;

  FrameReader() : buffer_(kReadAhead) {}

  // Whether next() can answer from what has been read in already.
  bool ready() const { return frameAt(buffer_.data() + begin_, end_ - begin_, kMaxFrameLength).has_value(); }

  // The next frame's ciphertext into body, reusing its buffer; or false,
  // before anything is allocated for it, when its length word is above
  // kMaxFrameLength. A failed read throws, as async_read_some does, also in
  // the middle of a frame.
  template <class Stream>
  boost::asio::awaitable<bool> next(Stream& stream, std::vector<unsigned char>& body) {
    for (;;) {
      const std::size_t have = end_ - begin_;
      if (have >= kFrameLengthSize) {
        const std::uint32_t length = getU32be(buffer_.data() + begin_);
        if (length > kMaxFrameLength) co_return false;
        const unsigned char* start = buffer_.data() + begin_ + kFrameLengthSize;
        const std::size_t part = have - kFrameLengthSize;
        if (part >= length) {
          body.assign(start, start + length);
          begin_ += kFrameLengthSize + length;
          co_return true;
        }
        if (kFrameLengthSize + length > buffer_.size()) {
          body.assign(start, start + part);
          begin_ = end_ = 0;
          // The body grows with what has arrived, never to the length word
          // alone: otherwise a few bytes would make a peer hold 16 MiB per
          // connection.
          while (body.size() < length) {
            const std::size_t got = body.size();
            const std::size_t grown = std::min<std::size_t>(length, std::max(2 * got, 4 * kReadAhead));
            body.resize(grown);
            co_await boost::asio::async_read(stream, boost::asio::buffer(body.data() + got, grown - got),
                                             boost::asio::use_awaitable);
          }
          co_return true;
        }
      }
      // The unfinished frame moves to the front, so the read has room for it.
      if (begin_ > 0) {
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
        begin_ = 0;
        end_ = have;
      }
      end_ += co_await stream.async_read_some(boost::asio::buffer(buffer_.data() + end_, buffer_.size() - end_),
                                              boost::asio::use_awaitable);
    }
  }

 private:
  std::vector<unsigned char> buffer_;
  std::size_t begin_ = 0;  // the unread bytes are [begin_, end_)
  std::size_t end_ = 0;
};

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

// The batching writer of both ends: queued packets are sealed one after the
// other into one buffer and leave in one write, the same bytes as one write
// per frame. On loopback a write costs several times the sealing of a frame,
// and a relay that sent one frame per turn would fall behind its senders.
// Who feeds it decides when to stop: at full(), or when its queue runs dry.
class FrameBatch {
 public:
  // Frames are sealed into one buffer up to about this size per write.
  static constexpr std::size_t kBatchBytes = 256 * 1024;
  // A buffer that one large frame grew past this is given back once written,
  // so that an idle connection does not keep the largest frame it ever sent.
  static constexpr std::size_t kKeptBytes = 2 * kBatchBytes;

  bool empty() const { return buffer_.empty(); }
  bool full() const { return buffer_.size() >= kBatchBytes; }

  // Seals plaintext as the next frame under key, in place, and advances the
  // nonce.
  void seal(const std::vector<unsigned char>& plaintext, const unsigned char* key, unsigned char* nonce) {
    const std::size_t at = buffer_.size();
    buffer_.resize(at + kFrameLengthSize + plaintext.size() + kFrameTagSize);
    putU32be(buffer_.data() + at, static_cast<std::uint32_t>(plaintext.size() + kFrameTagSize));
    unsigned long long sealed = 0;
    crypto_chacha(buffer_.data() + at + kFrameLengthSize, sealed, plaintext.data(), plaintext.size(), nonce, key);
    sodium_increment(nonce, kFrameNonceSize);
  }

  // Writes everything sealed so far in one write and starts a new batch.
  template <class Stream>
  boost::asio::awaitable<void> write(Stream& stream) {
    co_await boost::asio::async_write(stream, boost::asio::buffer(buffer_), boost::asio::use_awaitable);
    done(true);
  }

  // For a writer that writes bytes() itself (trying the socket before it
  // waits for it): starts a new batch once they are written, giving the
  // buffer back unless keep says more is coming.
  const std::vector<unsigned char>& bytes() const { return buffer_; }
  void done(bool keep) {
    if (!keep || buffer_.capacity() > kKeptBytes) buffer_ = Bytes();
    buffer_.clear();
  }

 private:
  std::vector<unsigned char> buffer_;
};

}  // namespace sotto
