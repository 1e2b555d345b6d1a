// The front end's program-wide state, shared by the entry point, the chat
// screen and the reader thread.
#pragma once

#include <atomic>
#include <memory>

#include "client.hpp"

extern std::unique_ptr<Client> client;
extern std::atomic<bool> running;
extern std::atomic<bool> needRedraw;
