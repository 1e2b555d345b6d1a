#include "tests/support/raw_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/scratch.hpp"

namespace raw_client {

namespace {

sockaddr_in inet(const std::string& address, unsigned short port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  return sa;
}

// Reads up to size bytes within 5 s; returns how many arrived before the
// peer closed or the time ran out.
std::size_t readUpTo(int fd, unsigned char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::recv(fd, out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

Bytes hello(const fixed::Identity& id, const Key& serverKey, const HelloFields& fields) {
  unsigned char signedInitial[101 + 64] = {};
  std::memcpy(signedInitial, id.signPublicKey.data(), 32);
  std::memcpy(signedInitial + 32, id.kxPublicKey.data(), 32);
  scratch::putLe64(signedInitial + 64, fields.powNonce);
  for (int i = 0; i < 4; ++i) signedInitial[96 + i] = static_cast<unsigned char>(fields.version >> (24 - 8 * i));
  signedInitial[100] = fields.flag;
  crypto_sign_detached(signedInitial + 101, nullptr, signedInitial, 101,
                       fields.signWith ? fields.signWith : id.signSecretKey.data());
  Bytes sealed(sizeof signedInitial + crypto_box_SEALBYTES);
  crypto_box_seal(sealed.data(), signedInitial, sizeof signedInitial, serverKey.data());
  return sealed;
}

fixed::Identity freshConnection(fixed::Identity id) {
  crypto_kx_keypair(id.kxPublicKey.data(), id.kxSecretKey.data());
  return id;
}

int dial(const std::string& address, const std::string& sourceAddress, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!sourceAddress.empty()) {
    const sockaddr_in source = inet(sourceAddress, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
      ::close(fd);
      return -1;
    }
  }
  const sockaddr_in target = inet(address, 8081);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

Outcome handshake(int fd, const Bytes& firstBytes, const Key& serverKey, const fixed::Identity& id) {
  Outcome outcome;
  auto unkeyed = [&] {
    outcome.session = std::make_unique<testing_peer::Session>(fd, testing_peer::Hello{}, false, Key{}, Key{});
    return std::move(outcome);
  };
  if (fd < 0) return unkeyed();
  if (!firstBytes.empty() && ::send(fd, firstBytes.data(), firstBytes.size(), MSG_NOSIGNAL) !=
                                 static_cast<ssize_t>(firstBytes.size()))
    return unkeyed();
  unsigned char welcome[76];
  if (readUpTo(fd, welcome, sizeof welcome) != sizeof welcome) return unkeyed();
  unsigned char plain[36];
  Key rx, tx;
  if (crypto_box_open_easy(plain, welcome + 24, 52, welcome, serverKey.data(), id.kxSecretKey.data()) != 0 ||
      crypto_kx_client_session_keys(rx.data(), tx.data(), id.kxPublicKey.data(), id.kxSecretKey.data(), plain) != 0)
    return unkeyed();
  outcome.session = std::make_unique<testing_peer::Session>(fd, testing_peer::Hello{}, true, rx, tx);
  outcome.welcomed = true;
  return outcome;
}

Outcome connect(const std::string& address, const Bytes& firstBytes, const Key& serverKey,
                const fixed::Identity& id) {
  return handshake(dial(address), firstBytes, serverKey, id);
}

}  // namespace raw_client
