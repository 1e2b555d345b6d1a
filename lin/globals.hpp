// The front end's program-wide state, shared by the entry point, the chat
// screen and the reader thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/client.hpp"

extern std::unique_ptr<Client> client;
extern std::atomic<bool> running;
extern std::atomic<bool> needRedraw;

// The chat lines, oldest first, and whether the user typed each one. Both
// arrays change together, only under historyMutex.
extern std::mutex historyMutex;
extern std::vector<std::wstring> history;
extern std::vector<bool> historyIsOwn;

// The line being typed; main thread only.
extern std::wstring input;
