#include <curses.h>

#include <iostream>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/command_line.hpp"
#include "lin/first_run.hpp"
#include "lin/globals.hpp"
#include "lin/keys.hpp"
#include "lin/names.hpp"
#include "lin/reader.hpp"
#include "lin/reconnect.hpp"
#include "lin/sign_in.hpp"
#include "lin/tui.hpp"

int main(int argc, char** argv) {
  if (const auto status = runCommandLine(argc, argv, std::cout, std::cerr)) return *status;

  try {
    client = Client::create();
  } catch (const std::exception&) {
  }
  if (!client) {
    std::cerr << "Failed to create Client.\n";
    return 1;
  }

  // A directory would make every run ask again and mint a new identity; a
  // FIFO or a device cannot hold the record either.
  if (const auto kind = notARegularFile()) {
    std::cerr << kConfigFileName << " is " << *kind << ", not a regular file.\n";
    return 1;
  }
  Config config;
  bool configCreated = false;
  if (!loadConfig(config)) {
    switch (createConfig(config, std::cin, std::cout, std::cerr)) {
      case CreateResult::created: break;
      case CreateResult::endOfInput: return 1;
      case CreateResult::clientFailed: std::cerr << "Failed to create Client.\n"; return 1;
    }
    configCreated = true;
  }

  initTUI();
  // connect can take a while, the proof of work for a new identity above all;
  // a blank screen would look like a hang.
  showStatus((configCreated ? "Setting up your new identity and connecting to " : "Connecting to ") +
             config.serverAddress() + "...");
  if (signIn(*client, config, configCreated) != Client::success) {
    endwin();
    std::cerr << "Connection failed.\n" << failureReason(client->failure(), config.serverAddress()) << '\n';
    return 1;
  }
  // The library's handshake line went to the terminal while it was in
  // full-screen mode.
  forgetScreenContents();

  loadNames();
  addMessage(L"Connected. Press Esc to exit.", false);
  needRedraw = true;
  std::thread reader(readerThread);
  runKeyLoop();

  running = false;
  // The reader may be waiting to reconnect, or in an attempt.
  stopReconnecting();
  if (reader.joinable()) reader.join();
  endwin();
  std::cout << "Exiting.\n";
  return 0;
}
