#include "tests/support/test_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/scratch.hpp"

namespace testing_peer {

namespace {

bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  while (r < 0 && errno == EINTR);
  return r > 0;
}

void writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away; tests look at what it saw
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void increment(std::array<unsigned char, 24>& nonce) {
  for (auto& b : nonce)
    if (++b != 0) break;
}

}  // namespace

std::string hex(const unsigned char* data, std::size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < size; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

Key Hello::signPublicKey() const {
  Key k;
  std::memcpy(k.data(), initial.data(), 32);
  return k;
}
Key Hello::kxPublicKey() const {
  Key k;
  std::memcpy(k.data(), initial.data() + 32, 32);
  return k;
}
std::array<unsigned char, 32> Hello::powNonce() const {
  std::array<unsigned char, 32> n;
  std::memcpy(n.data(), initial.data() + 64, 32);
  return n;
}
std::uint32_t Hello::version() const { return scratch::be32(initial.data() + 96); }
bool Hello::proofOfWorkHolds() const {
  unsigned char digest[32];
  crypto_generichash(digest, 32, initial.data(), initial.size(), nullptr, 0);
  return digest[0] == 0 && digest[1] == 0 && digest[2] == 0;
}

TestPeer::TestPeer(const std::string& address) {
  if (sodium_init() < 0) throw std::runtime_error("sodium");
  crypto_box_keypair(publicKey_.data(), secretKey_.data());
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(8081);
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) throw std::runtime_error("bad address " + address);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 16) != 0)
    throw std::runtime_error("cannot listen on " + address + ":8081: " + std::strerror(errno));
}

TestPeer::~TestPeer() { ::close(listenFd_); }

std::string TestPeer::publicKeyHex() const { return hex(publicKey_.data(), publicKey_.size()); }

std::unique_ptr<Session> TestPeer::accept(Behaviour behaviour, std::chrono::milliseconds timeout,
                                          const std::vector<Bytes>& glued) {
  if (!waitReadable(listenFd_, timeout)) return nullptr;
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Key none{};
  if (behaviour == Behaviour::acceptOnly) return std::make_unique<Session>(fd, Hello{}, false, none, none);

  Hello hello;
  hello.raw.resize(213);
  std::size_t got = 0;
  while (got < hello.raw.size() && waitReadable(fd, timeout)) {
    const ssize_t n = ::recv(fd, hello.raw.data() + got, hello.raw.size() - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  hello.raw.resize(got);
  unsigned char signedInitial[165];
  if (got == 213 && crypto_box_seal_open(signedInitial, hello.raw.data(), 213, publicKey_.data(),
                                         secretKey_.data()) == 0) {
    hello.unsealed = true;
    std::memcpy(hello.initial.data(), signedInitial, 101);
    std::memcpy(hello.signature.data(), signedInitial + 101, 64);
    hello.signatureValid =
        crypto_sign_verify_detached(hello.signature.data(), hello.initial.data(), 101, hello.initial.data()) == 0;
  }

  auto session = [&](bool keyed, const Key& rx, const Key& tx) {
    return std::make_unique<Session>(fd, hello, keyed, rx, tx);
  };
  auto closed = [&] {
    ::close(fd);
    return std::make_unique<Session>(-1, hello, false, none, none);
  };
  if (behaviour == Behaviour::closeAfterHello) return closed();
  if (behaviour == Behaviour::neverAnswer || !hello.unsealed) return session(false, none, none);

  Key sessionPk, sessionSk;
  crypto_kx_keypair(sessionPk.data(), sessionSk.data());
  unsigned char plain[36] = {};
  if (behaviour != Behaviour::zeroSessionKey) std::memcpy(plain, sessionPk.data(), 32);
  const Key clientKx = hello.kxPublicKey();
  Key boxPk = publicKey_, boxSk = secretKey_;
  if (behaviour == Behaviour::wrongKeyWelcome) crypto_box_keypair(boxPk.data(), boxSk.data());
  Bytes out(76);
  randombytes_buf(out.data(), 24);
  if (crypto_box_easy(out.data() + 24, plain, sizeof plain, out.data(), clientKx.data(), boxSk.data()) != 0)
    return closed();
  if (behaviour == Behaviour::partialWelcome) {
    writeAll(fd, out.data(), 40);
    return closed();
  }

  Key rx{}, tx{};
  const bool keyed =
      crypto_kx_server_session_keys(rx.data(), tx.data(), sessionPk.data(), sessionSk.data(), clientKx.data()) == 0;
  auto s = session(keyed, rx, tx);
  for (const Bytes& plaintext : glued) {
    const Bytes frame = s->sealFrame(plaintext);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  if (behaviour == Behaviour::holdWelcome)
    s->held = std::move(out);
  else
    s->sendRaw(out);
  return s;
}

Session::Session(int fd, Hello hello, bool keyed, const Key& rxKey, const Key& txKey)
    : fd_(fd), hello_(std::move(hello)), keyed_(keyed), rxKey_(rxKey), txKey_(txKey) {}

Session::~Session() { close(); }

void Session::close() {
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void Session::reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

void Session::halfClose() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

Bytes Session::packet(unsigned char type, const Key& key, const Bytes& payload) {
  Bytes p(37 + payload.size());
  p[0] = type;
  std::memcpy(p.data() + 1, key.data(), 32);
  const auto n = static_cast<std::uint32_t>(payload.size());
  p[33] = static_cast<unsigned char>(n >> 24);
  p[34] = static_cast<unsigned char>(n >> 16);
  p[35] = static_cast<unsigned char>(n >> 8);
  p[36] = static_cast<unsigned char>(n);
  if (!payload.empty()) std::memcpy(p.data() + 37, payload.data(), payload.size());
  return p;
}

Bytes Session::sealFrame(const Bytes& plaintext) {
  Bytes frame(4 + plaintext.size() + 16);
  unsigned long long clen = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(frame.data() + 4, &clen, plaintext.data(), plaintext.size(), nullptr, 0,
                                             nullptr, txNonce.data(), txKey_.data());
  increment(txNonce);
  frame[0] = static_cast<unsigned char>(clen >> 24);
  frame[1] = static_cast<unsigned char>(clen >> 16);
  frame[2] = static_cast<unsigned char>(clen >> 8);
  frame[3] = static_cast<unsigned char>(clen);
  return frame;
}

void Session::sendPacket(unsigned char type, const Key& key, const Bytes& payload) {
  sendRaw(sealFrame(packet(type, key, payload)));
}

void Session::sendBurst(const Key& key, const std::string& prefix, int count) {
  Bytes frames;
  for (int i = 1; i <= count; ++i) {
    const std::string text = prefix + std::to_string(i);
    const Bytes frame = sealFrame(packet(2, key, Bytes(text.begin(), text.end())));
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  sendRaw(frames);
}

void Session::sendRaw(const Bytes& bytes) {
  if (fd_ >= 0) writeAll(fd_, bytes.data(), bytes.size());
}

void Session::drip(const Bytes& bytes, std::chrono::milliseconds interval) {
  for (unsigned char b : bytes) {
    if (fd_ < 0 || ::send(fd_, &b, 1, MSG_NOSIGNAL) != 1) return;
    std::this_thread::sleep_for(interval);
  }
}

bool Session::readExact(unsigned char* out, std::size_t size, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (fd_ < 0 || left.count() <= 0 || !waitReadable(fd_, left)) return false;
    const ssize_t n = ::recv(fd_, out, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Frame> Session::receiveFrame(std::chrono::milliseconds timeout) {
  unsigned char word[4];
  if (!readExact(word, 4, timeout)) return std::nullopt;
  Bytes ciphertext(scratch::be32(word));
  if (!readExact(ciphertext.data(), ciphertext.size(), timeout)) return std::nullopt;
  Frame f = open(std::move(ciphertext), rxNonce);
  increment(rxNonce);
  return f;
}

Frame Session::open(Bytes ciphertext, const std::array<unsigned char, 24>& nonce) const {
  Frame f;
  f.length = static_cast<std::uint32_t>(ciphertext.size());
  f.ciphertext = std::move(ciphertext);
  if (f.length >= 16) {
    f.plaintext.resize(f.length - 16);
    unsigned long long mlen = 0;
    f.opened = crypto_aead_xchacha20poly1305_ietf_decrypt(f.plaintext.data(), &mlen, nullptr, f.ciphertext.data(),
                                                          f.length, nullptr, 0, nonce.data(), rxKey_.data()) == 0;
  }
  if (f.opened && f.plaintext.size() >= 37) {
    f.type = f.plaintext[0];
    std::memcpy(f.key.data(), f.plaintext.data() + 1, 32);
    f.declaredLength = scratch::be32(f.plaintext.data() + 33);
    f.payload.assign(f.plaintext.begin() + 37, f.plaintext.end());
  }
  return f;
}

bool Session::waitClosed(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  unsigned char sink[4096];
  while (fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd_, left)) return false;
    const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return true;
}

}  // namespace testing_peer
