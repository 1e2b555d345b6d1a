#include "lin/sign_in.hpp"

#include "proto/port.hpp"

Client::values signIn(Client& client, const Config& config, bool isNewIdentity) {
  client.setServer(config.serverAddress(), config.serverPublicKey(), isNewIdentity);
  client.setClient(config.signPublicKey(), config.signSecretKey());
  const Client::values result = client.connect();
  if (result == Client::success || isNewIdentity || client.failure() != Client::Failure::refused) return result;
  // The proof takes well under a second. The client makes a fresh key-exchange
  // pair for this connect, so the server does not take it for a replay.
  client.setServer(config.serverAddress(), config.serverPublicKey(), true);
  return client.connect();
}

std::string failureReason(Client::Failure failure, const std::string& address) {
  const std::string changeIt = "to change it, move client.conf away and run sotto again, which asks anew";
  switch (failure) {
    case Client::Failure::lookup:
      return "The name \"" + address + "\" did not resolve: check your network and the address (" + changeIt + ").";
    case Client::Failure::connection:
      return "No connection could be made to " + address + " on port " + std::to_string(sotto::kServerPort) +
             " (refused or timed out): check that the server is running and that the port is open to you, then "
             "try again.";
    case Client::Failure::refused:
      return "The server closed the connection after the hello: it refused this identity (not registered, "
             "registration closed, the server is full, or client.conf holds another server's key). Try again "
             "later, or give the server's operator your key (sotto --key).";
    case Client::Failure::noAnswer:
      return "The server took the hello but did not answer in time: it may be overloaded. Try again later.";
    case Client::Failure::welcome:
      return "The server's welcome did not open: the server key in client.conf does not match this server. "
             "Check the key with the server's operator (" + changeIt + ").";
    case Client::Failure::none:
    case Client::Failure::abandoned: break;
  }
  return "The connection was given up.";
}
