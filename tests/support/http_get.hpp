// A plain HTTP/1.1 GET over a fresh TCP connection, as a scraper or a load
// balancer's probe would send it, for the tests and the benchmarks of the
// operator's endpoint.
//
//   auto answer = httpGet("127.0.60.1", 9464, "/metrics");
//   if (answer && answer->status == 200) use(answer->body);
#pragma once

#include <chrono>
#include <optional>
#include <string>

struct HttpAnswer {
  int status = 0;
  std::string headers;  // the status line and the header lines
  std::string body;
};

// Nothing when no whole answer came within the timeout.
std::optional<HttpAnswer> httpGet(const std::string& address, int port, const std::string& path,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
