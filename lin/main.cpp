#include <curses.h>

#include <iostream>

#include "first_run.hpp"
#include "globals.hpp"
#include "tui.hpp"

int main() {
  try {
    client = Client::create();
  } catch (const std::exception&) {
  }
  if (!client) {
    std::cerr << "Failed to create Client.\n";
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
  client->setServer(config.serverAddress(), config.serverPublicKey(), configCreated);
  client->setClient(config.signPublicKey(), config.signSecretKey());
  if (client->connect() != Client::success) {
    endwin();
    std::cerr << "Connection failed.\n";
    return 1;
  }

  running = false;
  endwin();
  std::cout << "Exiting.\n";
  return 0;
}
