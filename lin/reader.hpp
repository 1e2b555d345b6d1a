// The reader thread: moves received messages from the client into the chat
// history, naming each sender by its public key in hex.
#pragma once

#include <string>

#include "client/message.hpp"

// "<64 lower-case hex digits of the key>: <text>", or "<invalid UTF-8>" in
// place of a payload that does not decode; the key's name in place of its
// digits when the user named it.
std::wstring receivedLine(const RecivedMessage& message);

// Adds every message waiting in the client to the history, so that a burst
// (the server catching up after a sign-in) is on screen at once rather than
// one line per pass. False if none was waiting.
bool showWaitingMessages();

// Polls the client every 10 ms, taking all that waits, while `running`. Once
// the connection has ended and every message has been shown, reconnects
// (lin/reconnect.hpp) before it polls again.
void readerThread();
