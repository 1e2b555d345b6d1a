#include "lin/reconnect.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"

namespace {

using namespace std::chrono_literals;
using Pause = std::chrono::milliseconds;

constexpr Pause kFirstPause = 1s;
constexpr Pause kLongestPause = 30s;
// Each pause moves by up to this share of itself, so that the clients of a
// restarted server do not all come back at the same moment.
constexpr double kJitter = 0.2;

// The pauses before each attempt: doubling from the first to the longest.
class Backoff {
 public:
  Pause next() {
    std::uniform_real_distribution<double> spread(1 - kJitter, 1 + kJitter);
    const Pause pause = std::chrono::duration_cast<Pause>(base_ * spread(random_));
    base_ = std::min(base_ * 2, kLongestPause);
    return std::min(pause, kLongestPause);
  }

 private:
  Pause base_ = kFirstPause;
  std::mt19937 random_{std::random_device{}()};
};

std::mutex pauseMutex;
std::condition_variable pauseEnds;

// False when `running` turned false first.
bool pause(Pause length) {
  std::unique_lock lock(pauseMutex);
  return !pauseEnds.wait_for(lock, length, [] { return !running; });
}

// Set once a result showed that trying again cannot help. Reader thread only.
bool gaveUp = false;

}  // namespace

void reconnect() {
  if (gaveUp || !running) return;
  addMessage(L"Connection lost. Reconnecting\u2026 (Esc exits)", false);
  Backoff backoff;
  while (pause(backoff.next())) {
    const Client::values result = client->connect();
    if (result == Client::success) {
      addMessage(L"Reconnected.", false);
      return;
    }
    if (result == Client::cryptoError) {
      gaveUp = true;
      addMessage(L"Not reconnecting: the server's welcome did not open (the server key in client.conf does not "
                 L"match this server). Esc exits.",
                 false);
      return;
    }
  }
}

void stopReconnecting() {
  // Taken once, so that a pause which has just found `running` true is
  // already waiting when the notice comes.
  { std::lock_guard lock(pauseMutex); }
  pauseEnds.notify_all();
  client->abandon();
}
