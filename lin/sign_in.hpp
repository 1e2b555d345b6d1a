// Signing in from the front end: the one retry that keeps an identity from
// being locked out, and the plain words for each way a sign-in fails.
#pragma once

#include <string>

#include "client/client.hpp"
#include "proto/config.hpp"

// Hands the record's server and identity to the client and connects. A hello
// without proof that the server refuses is tried once more at once with the
// proof, so that an identity whose registration never went through (its
// first run did not reach the server, or was turned away) registers now.
Client::values signIn(Client& client, const Config& config, bool isNewIdentity);

// One line: which step failed, and what the user can do about it.
std::string failureReason(Client::Failure failure, const std::string& address);
