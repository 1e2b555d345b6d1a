#include "lin/globals.hpp"

// Defined in one place so that destruction runs in reverse order of
// definition: input, then the history, and the client, defined first, last.
std::unique_ptr<Client> client;
std::atomic<bool> running{true};
std::atomic<bool> needRedraw{true};
std::mutex historyMutex;
std::vector<std::wstring> history;
std::vector<bool> historyIsOwn;
std::wstring input;
