// FrameReader over a local socket pair, fed by hand so that every read it
// makes is one the test arranged: frames cut across reads, many frames in
// one read, frames longer than its buffer, and the length bound.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <atomic>
#include <thread>

#include "proto/frame_io.hpp"

namespace {

namespace asio = boost::asio;
using sotto::Bytes;
using sotto::FrameReader;

Bytes frame(std::size_t size, unsigned char fill) {
  Bytes f(sotto::kFrameLengthSize + size, fill);
  sotto::putU32be(f.data(), static_cast<std::uint32_t>(size));
  return f;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A reader coroutine on one end of a socket pair; the test writes the other.
struct Pipe {
  asio::io_context io;
  asio::local::stream_protocol::socket in{io}, out{io};
  FrameReader reader;
  std::vector<Bytes> bodies;
  std::vector<bool> readyAfter;  // reader.ready() after each frame
  bool refused = false;          // next() said false
  boost::system::error_code failure;
  std::size_t refusedCapacity = 0;
  const Bytes* pending = nullptr;  // the body the reader is filling

  Pipe() {
    asio::local::connect_pair(in, out);
    asio::co_spawn(
        io,
        [this]() -> asio::awaitable<void> {
          Bytes body;
          pending = &body;
          try {
            while (co_await reader.next(in, body)) {
              bodies.push_back(body);
              readyAfter.push_back(reader.ready());
            }
            refused = true;
            refusedCapacity = body.capacity();
          } catch (const boost::system::system_error& e) {
            failure = e.code();
          }
        },
        asio::detached);
    settle();
  }

  // Runs the reader until it waits for bytes that are not there.
  void settle() {
    while (io.poll() > 0) {
    }
  }

  void feed(const Bytes& bytes) {
    asio::write(out, asio::buffer(bytes));
    settle();
  }
};

TEST(FrameReader, AFrameCutAcrossManyReadsComesOutWhole) {
  Pipe p;
  Bytes f = frame(300, 0x5a);
  f[10] = 1;
  for (std::size_t i = 0; i + 1 < f.size(); ++i) {
    p.feed({f[i]});
    ASSERT_TRUE(p.bodies.empty()) << "a frame came out after " << i + 1 << " bytes";
  }
  p.feed({f.back()});
  ASSERT_EQ(p.bodies.size(), 1u);
  EXPECT_EQ(p.bodies[0], Bytes(f.begin() + 4, f.end()));
  EXPECT_FALSE(p.readyAfter[0]);
}

TEST(FrameReader, ManyFramesInOneReadComeOutInOrderAcrossTheBufferEnd) {
  Pipe p;
  // Odd sizes, three buffers' worth, so that frames straddle every refill.
  std::vector<Bytes> frames;
  std::size_t total = 0;
  for (int i = 0; total < 3 * FrameReader::kReadAhead; ++i) {
    frames.push_back(frame(static_cast<std::size_t>(i * 37 % 501), static_cast<unsigned char>(i)));
    total += frames.back().size();
  }
  frames.push_back(frame(0, 0));  // an empty body is a frame too
  p.feed(join(frames));
  ASSERT_EQ(p.bodies.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i)
    ASSERT_EQ(p.bodies[i], Bytes(frames[i].begin() + 4, frames[i].end())) << i;
  // Most frames came from what an earlier read took in.
  EXPECT_GT(std::count(p.readyAfter.begin(), p.readyAfter.end(), true), static_cast<long>(frames.size() / 2));
  EXPECT_FALSE(p.readyAfter.back());
}

TEST(FrameReader, AFrameLongerThanTheBufferAndTheFrameBehindItBothArrive) {
  Pipe p;
  const Bytes big = frame(5 * FrameReader::kReadAhead + 3, 0xb1), small = frame(7, 0x5e);
  const Bytes both = join({big, small});
  // In pieces that end inside the length word, inside the big body and
  // inside the small frame.
  for (std::size_t at = 0, step = 2; at < both.size(); at += step, step = step * 3 + 1)
    p.feed(Bytes(both.begin() + static_cast<long>(at),
                 both.begin() + static_cast<long>(std::min(both.size(), at + step))));
  ASSERT_EQ(p.bodies.size(), 2u);
  EXPECT_EQ(p.bodies[0], Bytes(big.begin() + 4, big.end()));
  EXPECT_EQ(p.bodies[1], Bytes(small.begin() + 4, small.end()));
}

TEST(FrameReader, ALengthAboveTheBoundIsRefusedBeforeAnythingIsAllocated) {
  Pipe p;
  Bytes word(4);
  sotto::putU32be(word.data(), sotto::kMaxFrameLength + 1);
  p.feed(join({frame(3, 1), word}));
  ASSERT_EQ(p.bodies.size(), 1u);
  EXPECT_TRUE(p.refused);
  // The body vector still has the first frame's capacity, nothing near 16 MiB.
  EXPECT_LT(p.refusedCapacity, 1024u);
}

TEST(FrameReader, ALongFrameHoldsMemoryOnlyForWhatHasArrived) {
  Pipe p;
  const Bytes largest = frame(sotto::kMaxFrameLength, 0x42);
  // A length word and one byte must not cost the largest frame's memory.
  p.feed(Bytes(largest.begin(), largest.begin() + 5));
  ASSERT_TRUE(p.bodies.empty());
  EXPECT_LT(p.pending->capacity(), 1024u * 1024u);
  // Nor does a megabyte cost much more than a few.
  const std::size_t fed = 5 + 1024 * 1024;
  std::atomic<bool> written = false;
  std::thread writer([&] {
    asio::write(p.out, asio::buffer(largest.data() + 5, fed - 5));
    written = true;
  });
  const auto fedBy = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!written && std::chrono::steady_clock::now() < fedBy) p.io.run_one_for(std::chrono::milliseconds(50));
  writer.join();
  p.settle();
  EXPECT_LT(p.pending->capacity(), 4u * 1024u * 1024u);
  std::thread rest([&] { asio::write(p.out, asio::buffer(largest.data() + fed, largest.size() - fed)); });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (p.bodies.empty() && std::chrono::steady_clock::now() < until) p.io.run_one_for(std::chrono::milliseconds(100));
  rest.join();
  ASSERT_EQ(p.bodies.size(), 1u);
  EXPECT_EQ(p.bodies[0], Bytes(largest.begin() + 4, largest.end()));
}

TEST(FrameReader, TheLargestFrameIsAccepted) {
  Pipe p;
  const Bytes largest = frame(sotto::kMaxFrameLength, 0x77);
  // Far more than the socket holds: write it from a thread while the reader runs.
  std::thread writer([&] { asio::write(p.out, asio::buffer(largest)); });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (p.bodies.empty() && std::chrono::steady_clock::now() < until) p.io.run_one_for(std::chrono::milliseconds(100));
  writer.join();
  ASSERT_EQ(p.bodies.size(), 1u);
  EXPECT_EQ(p.bodies[0].size(), sotto::kMaxFrameLength);
  EXPECT_EQ(p.bodies[0].front(), 0x77);
  EXPECT_EQ(p.bodies[0].back(), 0x77);
}

TEST(FrameReader, TheStreamEndingInsideAFrameFails) {
  Pipe p;
  const Bytes f = frame(50, 9);
  p.feed(Bytes(f.begin(), f.begin() + 20));
  p.out.close();
  p.settle();
  EXPECT_TRUE(p.bodies.empty());
  EXPECT_EQ(p.failure, asio::error::eof);
}

}  // namespace
