#include "globals.hpp"

// Defined in one place so that destruction runs in reverse order of
// definition: the client, defined first, goes last.
std::unique_ptr<Client> client;
std::atomic<bool> running{true};
std::atomic<bool> needRedraw{true};
