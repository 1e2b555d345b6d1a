// sotto-vanished-figure BINARY idle|unacknowledged [ADDRESS]: how long the
// given sotto binary takes to notice a server that vanished without a word
// (tests/support/vanished_server.hpp), idle or with a typed line waiting for
// its acknowledgement. Prints the seconds, or why not on standard error with
// status 1. Each run has a network namespace of its own, so runs may overlap;
// bench/RESULTS.md says how the figures before and after were taken.
#include <iostream>
#include <string>

#include "tests/support/vanished_server.hpp"

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[2] : "";
  if (argc < 3 || argc > 4 || (mode != "idle" && mode != "unacknowledged")) {
    std::cerr << "Usage: sotto-vanished-figure BINARY idle|unacknowledged [ADDRESS]\n";
    return 2;
  }
  if (const auto why = vanished_server::enterPrivateNetwork()) {
    std::cerr << *why << '\n';
    return 1;
  }
  std::string why;
  const auto seconds = vanished_server::secondsToNotice(argv[1], argc == 4 ? argv[3] : "127.0.41.2",
                                                         mode == "unacknowledged", std::chrono::seconds(1800), why);
  if (!seconds) {
    std::cerr << why << '\n';
    return 1;
  }
  std::cout << *seconds << '\n';
  return 0;
}
