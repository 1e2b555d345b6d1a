// The baseline of the idle figure: a program that wakes up exactly as an
// idle sotto does and does nothing else. Its main thread waits up to 10 ms
// for a key, then sleeps 5 ms, as the key loop does; a second thread sleeps
// 10 ms at a time, as the reader does. Any key ends it.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

int main() {
  using namespace std::chrono_literals;
  std::atomic<bool> running{true};
  std::thread reader([&] {
    while (running) std::this_thread::sleep_for(10ms);
  });
  for (;;) {
    pollfd terminal{0, POLLIN, 0};
    if (::poll(&terminal, 1, 10) != 0) break;
    std::this_thread::sleep_for(5ms);
  }
  running = false;
  reader.join();
  return 0;
}
