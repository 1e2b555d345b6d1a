// The client's receive loop fed an arbitrary byte stream in arbitrary pieces:
// length words, bodies, decryption, parsing and queueing. Every whole frame
// must give exactly one message, in order, equal to what an independent
// reading of the stream predicts; the loop must end at the end of the stream
// or at an oversized length, and the nonce must count the frames.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "client/receive.hpp"
#include "fuzz/check.hpp"
#include "fuzz/chunked_stream.hpp"
#include "fuzz/frame_stream.hpp"

namespace asio = boost::asio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (sodium_init() < 0) return 0;
  FuzzedDataProvider in(data, size);
  static constexpr std::size_t chunks[] = {1, 2, 3, 4, 5, 17, 53, 4096, SIZE_MAX};
  const std::size_t chunk = in.PickValueInArray(chunks);
  const fuzz::Key rxKey = fuzz::filledKey(0x42);
  const fuzz::Bytes stream =
      fuzz::StreamBuilder(rxKey, {fuzz::filledKey(1), fuzz::filledKey(2)}).build(in, 64 * 1024);

  std::vector<fuzz::Record> expected;
  fuzz::Nonce expectedNonce{};
  const bool oversized = fuzz::walkFrames(stream, [&](const unsigned char* body, std::size_t length) {
    const auto plain = fuzz::open(body, length, rxKey, expectedNonce);
    fuzz::increment(expectedNonce);
    const auto record = plain ? fuzz::parse(*plain) : std::nullopt;
    expected.push_back(record.value_or(fuzz::Record{}));
    return true;
  });

  asio::io_context io;
  fuzz::ChunkedStream source(io.get_executor(), stream, chunk);
  // Writable and bottomless, so that the log's formatting runs too.
  sotto::DebugLog log("/dev/null");
  unsigned char nonce[24] = {};
  std::vector<Message> got;
  bool ended = false, readFailed = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        try {
          co_await sotto::receiveFrames(source, rxKey.data(), nonce, log, [&](Message m) -> asio::awaitable<void> {
            got.push_back(std::move(m));
            co_return;
          });
        } catch (const boost::system::system_error&) {
          readFailed = true;
        }
        ended = true;
      },
      asio::detached);
  io.run();

  FUZZ_CHECK(ended);
  FUZZ_CHECK(readFailed == !oversized);
  FUZZ_CHECK(got.size() == expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].type == expected[i].type);
    FUZZ_CHECK(got[i].key == expected[i].key);
    FUZZ_CHECK(got[i].payload == expected[i].payload);
  }
  FUZZ_CHECK(std::memcmp(nonce, expectedNonce.data(), sizeof nonce) == 0);
  return 0;
}
