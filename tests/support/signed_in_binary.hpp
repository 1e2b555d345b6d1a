// The sotto binary under tmux, signed in to the test peer with a fixed
// identity that its client.conf names (so that it sends no proof of work).
//
//   SignedInBinary chat;
//   if (const auto why = chat.start(SOTTO_BINARY, "127.0.40.2")) FAIL() << *why;
//   chat.session->sendPacket(...);  chat.term->keys({"Escape"});
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tests/support/fixed_identity.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/test_peer.hpp"
#include "tests/support/tmux_session.hpp"

struct SignedInBinary {
  fixed::Identity me = fixed::twoByteNonce();
  sotto_run::SottoRun run;
  std::unique_ptr<testing_peer::TestPeer> peer;
  std::unique_ptr<tmux_harness::Session> term;
  std::unique_ptr<testing_peer::Session> session;

  // Nothing once the chat window shows "Connected.", else why not.
  std::optional<std::string> start(const std::string& binary, const std::string& address) {
    if (!run.privateTmpWorks()) return "no private /tmp for the binary";
    peer = std::make_unique<testing_peer::TestPeer>(address);
    run.writeConfig(address, peer->publicKey().data(), me.signPublicKey.data(), me.signSecretKey.data());
    term = std::make_unique<tmux_harness::Session>(100, 30, run.command(binary));
    session = peer->accept();
    if (!session || !session->keyed() || !term->waitForText("Connected. Press Esc to exit."))
      return "it did not sign in:\n" + term->dump();
    return std::nullopt;
  }
};
