// The reader thread: moves received messages from the client into the chat
// history, naming each sender by its public key in hex.
#pragma once

#include <string>

#include "client/message.hpp"

// "<64 lower-case hex digits of the key>: <text>", or "<invalid UTF-8>" in
// place of a payload that does not decode.
std::wstring receivedLine(const RecivedMessage& message);

// Polls the client every 10 ms, one message per pass, while `running`. Once
// the connection has ended and every message has been shown, reconnects
// (lin/reconnect.hpp) before it polls again.
void readerThread();
