// A server that vanishes without a word (power cut, cable pulled): the sotto
// binary under tmux chats with the test peer in a network namespace of this
// process's own, then the peer's address is black-holed, so that nothing
// comes back, not even a reset. Used by the test and by the figure tool.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vanished_server {

// Moves this process into a new network namespace with loopback up (first
// into a user namespace of its own when not root). Only while the process
// has one thread. Nothing on success, else why it cannot be done here.
std::optional<std::string> enterPrivateNetwork();

// Seconds from the black hole to "Connection lost." on the binary's screen
// (read every half second), or nothing, with why, when it did not come within
// limit. With unacknowledged, a line is typed and sent right after the black
// hole, so that data waits for an acknowledgement that never comes.
std::optional<double> secondsToNotice(const std::string& binary, const std::string& address, bool unacknowledged,
                                      std::chrono::seconds limit, std::string& why);

}  // namespace vanished_server
