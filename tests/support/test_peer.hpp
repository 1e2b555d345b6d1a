// A scriptable chat server for tests, written from the server contract alone:
// raw libsodium and POSIX sockets, none of the client library's protocol
// code, so that a layout mistake made on both sides cannot hide.
//
//   TestPeer peer("127.0.0.7");                 // listens on 127.0.0.7:8081
//   ... point a client at it with peer.publicKey() ...
//   auto session = peer.accept();               // handshake per Behaviour
//   session->sendPacket(2, senderKey, bytes);   // a sealed frame
//   auto frame = session->receiveFrame();       // opened with the peer's keys
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_peer {

using Bytes = std::vector<unsigned char>;
using Key = std::array<unsigned char, 32>;
using namespace std::chrono_literals;

enum class Behaviour {
  normal,           // a real welcome and key exchange
  closeAfterHello,  // read the hello, then close
  partialWelcome,   // send 40 of the 76 welcome bytes, then close
  wrongKeyWelcome,  // box the welcome from another long-term key
  zeroSessionKey,   // a valid box around an all-zero session key
  neverAnswer,      // read the hello and stay silent
  acceptOnly,       // accept and never even read
  holdWelcome,      // key the session but keep the welcome in Session::held
};

// What the peer found in the hello.
struct Hello {
  bool unsealed = false;
  bool signatureValid = false;
  std::array<unsigned char, 101> initial{};
  std::array<unsigned char, 64> signature{};
  Bytes raw;  // the hello as received (213 bytes when complete)

  Key signPublicKey() const;
  Key kxPublicKey() const;
  std::array<unsigned char, 32> powNonce() const;
  std::uint32_t version() const;  // bytes 96..99, big-endian
  unsigned char flag() const { return initial[100]; }
  // BLAKE2b-256 of the 101 bytes starts with three zero bytes.
  bool proofOfWorkHolds() const;
};

struct Frame {
  std::uint32_t length = 0;  // the length word as sent
  Bytes ciphertext;
  bool opened = false;       // authenticated under the peer's rx key and nonce
  Bytes plaintext;
  // Packet fields, valid when opened and the plaintext holds a whole header.
  unsigned char type = 0;
  Key key{};
  std::uint32_t declaredLength = 0;
  Bytes payload;
};

class Session {
 public:
  Session(int fd, Hello hello, bool keyed, const Key& rxKey, const Key& txKey);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Hello& hello() const { return hello_; }
  int fd() const { return fd_; }
  bool keyed() const { return keyed_; }

  static Bytes packet(unsigned char type, const Key& key, const Bytes& payload);
  // Seals with the next tx nonce (and advances it); returns the whole frame.
  Bytes sealFrame(const Bytes& plaintext);
  void sendPacket(unsigned char type, const Key& key, const Bytes& payload);
  // Payloads "<prefix>1" to "<prefix><count>" from `key`, all in one write,
  // as a server catching a member up.
  void sendBurst(const Key& key, const std::string& prefix, int count);
  void sendRaw(const Bytes& bytes);
  // One byte at a time, `interval` apart; stops early if the client leaves.
  void drip(const Bytes& bytes, std::chrono::milliseconds interval);
  // Reads one frame (length word and body) within the timeout; opens it with
  // the rx key and next rx nonce, which advances either way.
  std::optional<Frame> receiveFrame(std::chrono::milliseconds timeout = 5s);
  // Opens a frame's body (what follows its length word) under the rx key and
  // the given nonce, for a reader that walks the stream by itself.
  Frame open(Bytes ciphertext, const std::array<unsigned char, 24>& nonce) const;
  // True if the client closed the connection within the timeout.
  bool waitClosed(std::chrono::milliseconds timeout = 5s);
  void close();
  // Closes with a TCP reset instead of a FIN.
  void reset();
  // Sends a FIN but keeps reading: the client sees the end of the stream.
  void halfClose();

  std::array<unsigned char, 24> txNonce{};
  std::array<unsigned char, 24> rxNonce{};
  Bytes held;  // the welcome (and glued frames) under Behaviour::holdWelcome

 private:
  bool readExact(unsigned char* out, std::size_t size, std::chrono::milliseconds timeout);
  // Atomic: a test may close the session while another thread drips into it.
  std::atomic<int> fd_;
  Hello hello_;
  bool keyed_;
  Key rxKey_, txKey_;
};

class TestPeer {
 public:
  explicit TestPeer(const std::string& address);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  const Key& publicKey() const { return publicKey_; }
  std::string publicKeyHex() const;

  // Waits for one connection and runs the server side of the handshake as the
  // behaviour says. Plaintexts in `glued` are sealed as frames and sent in the
  // same write as the welcome. Null on timeout.
  std::unique_ptr<Session> accept(Behaviour behaviour = Behaviour::normal, std::chrono::milliseconds timeout = 10s,
                                  const std::vector<Bytes>& glued = {});

 private:
  int listenFd_ = -1;
  Key publicKey_{}, secretKey_{};
};

std::string hex(const unsigned char* data, std::size_t size);
inline std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }

}  // namespace testing_peer
