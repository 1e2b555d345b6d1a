#include "server/metrics_endpoint.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <algorithm>
#include <charconv>

#include "server/metrics_text.hpp"

// GCC 12 at -O2 takes the coroutine frames, which Asio's own operator new
// and delete allocate and free as a pair, for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace sotto {

struct MetricsEndpoint::Connection {
  explicit Connection(tcp::socket socket) : stream(std::move(socket)) {}
  beast::tcp_stream stream;
};

namespace {

std::optional<tcp::endpoint> parseEndpoint(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  else if (address.find(':') != std::string::npos)
    return std::nullopt;  // an IPv6 address needs its brackets
  unsigned port = 0;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(first, last, port);
  if (ec != std::errc() || end != last || first == last || port == 0 || port > 65535) return std::nullopt;
  boost::system::error_code bad;
  const auto ip = asio::ip::make_address(address, bad);
  if (bad) return std::nullopt;
  return tcp::endpoint(ip, static_cast<unsigned short>(port));
}

using Response = http::response<http::string_body>;

Response page(http::status status, std::string body, const char* type = "text/plain; charset=utf-8") {
  Response response{status, 11};
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(false);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

}  // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::listen(const std::string& addressPort, std::string& error) {
  const std::optional<tcp::endpoint> endpoint = parseEndpoint(addressPort);
  if (!endpoint) {
    error = "--metrics wants ADDRESS:PORT ([ADDRESS]:PORT for IPv6), not '" + addressPort + "'";
    return nullptr;
  }
  std::unique_ptr<MetricsEndpoint> made(new MetricsEndpoint);
  made->name_ = addressPort;
  boost::system::error_code ec;
  made->acceptor_.open(endpoint->protocol(), ec);
  if (!ec) made->acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) made->acceptor_.bind(*endpoint, ec);
  if (!ec) made->acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen for metrics on " + addressPort + ": " + ec.message();
    return nullptr;
  }
  return made;
}

MetricsEndpoint::~MetricsEndpoint() {
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

void MetricsEndpoint::serve(Pages pages) {
  pages_ = std::move(pages);
  asio::co_spawn(io_, acceptLoop(), asio::detached);
  thread_ = std::thread([this] { io_.run(); });
}

asio::awaitable<void> MetricsEndpoint::acceptLoop() {
  asio::steady_timer pause(io_);
  for (;;) {
    auto [ec, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) {
      // Out of descriptors, most likely: the chat needs them more.
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    // A newcomer is more likely a scrape than the oldest, which has had
    // its time: it makes room.
    if (open_.size() >= kMaxConnections) {
      open_.front()->stream.socket().close(ec);
      open_.pop_front();
    }
    auto connection = std::make_shared<Connection>(std::move(socket));
    open_.push_back(connection);
    asio::co_spawn(io_, answer(std::move(connection)), asio::detached);
  }
}

asio::awaitable<void> MetricsEndpoint::answer(std::shared_ptr<Connection> connection) {
  beast::tcp_stream& stream = connection->stream;
  beast::flat_buffer buffer(kMaxRequestBytes);
  http::request_parser<http::empty_body> parser;
  parser.header_limit(kMaxRequestBytes);
  stream.expires_after(kDeadline);
  auto [readError, ignored] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
  std::optional<Response> response;
  if (!readError) {
    const auto& request = parser.get();
    const std::string_view target(request.target().data(), request.target().size());
    if (request.method() != http::verb::get) {
      response = page(http::status::method_not_allowed, "only GET\n");
      response->set(http::field::allow, "GET");
    } else if (target == "/metrics") {
      response = page(http::status::ok, pages_.metrics(), MetricsText::kContentType);
    } else if (target == "/healthz") {
      response = page(http::status::ok, "ok\n");
    } else if (target == "/readyz") {
      const std::optional<std::string> why = pages_.notReady();
      response = why ? page(http::status::service_unavailable, *why + "\n") : page(http::status::ok, "ready\n");
    } else {
      response = page(http::status::not_found, "not found: try /metrics, /healthz or /readyz\n");
    }
  } else if (readError == http::error::header_limit || readError == http::error::buffer_overflow ||
             readError == http::error::body_limit || readError == http::error::unexpected_body) {
    response = page(http::status::request_header_fields_too_large, "request too large\n");
  } else if (readError != beast::error::timeout && readError != http::error::end_of_stream &&
             readError != asio::error::operation_aborted && readError != asio::error::bad_descriptor) {
    response = page(http::status::bad_request, "bad request\n");
  }
  if (response) {
    stream.expires_after(kDeadline);
    co_await http::async_write(stream, *response, asio::as_tuple(asio::use_awaitable));
  }
  boost::system::error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream.socket().close(ec);
  if (const auto it = std::find(open_.begin(), open_.end(), connection); it != open_.end()) open_.erase(it);
}

}  // namespace sotto
