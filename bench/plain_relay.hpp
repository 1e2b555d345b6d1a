// The baseline for the end-to-end figures: the same frames over plain TCP on
// loopback, with no encryption, no queues and no event loop. Two client
// sockets are joined by a relay thread that forwards frame by frame, reading
// each as two blocking reads (length word, body) and writing it as one, which
// is how the literal design moves a frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench::plain {

// One frame, length word and body, in one write. False on failure.
bool writeFrame(int fd, const std::vector<unsigned char>& body);
// One frame as two reads into body. False on failure or end of stream.
bool readFrame(int fd, std::vector<unsigned char>& body);

class Relay {
 public:
  // Listens on address (an ephemeral port) and connects both ends. A relay
  // that does not forward reads frames from a() and drops them.
  Relay(const std::string& address, bool forward);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  bool ok() const { return a_ >= 0 && b_ >= 0; }
  // The two client ends: blocking, Nagle off like the real sockets.
  int a() const { return a_; }
  int b() const { return b_; }
  std::uint64_t framesRelayed() const { return relayed_.load(std::memory_order_relaxed); }
  // Ends both connections: blocked reads on a() and b() return, the relay
  // thread ends. The descriptors stay open until destruction.
  void hangUp();

 private:
  void run();
  const bool forward_;
  int a_ = -1, b_ = -1, relayA_ = -1, relayB_ = -1;
  std::atomic<std::uint64_t> relayed_{0};
  std::thread thread_;
};

}  // namespace bench::plain
