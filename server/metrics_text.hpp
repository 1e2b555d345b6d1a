// The Prometheus text format (version 0.0.4) that GET /metrics answers
// with: each family's HELP and TYPE lines once, then its samples.
//
//   MetricsText text;
//   text.family("sotto_sessions", "gauge", "Sessions signed in now.");
//   text.sample("sotto_sessions", 12);
//   text.family("sotto_refusals_total", "counter", "...");
//   text.sample("sotto_refusals_total", 3, "reason", "bad_hello");
//   std::string body = text.take();
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/histogram.hpp"

namespace sotto {

class MetricsText {
 public:
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  void family(std::string_view name, std::string_view type, std::string_view help);
  // One sample of the family just named, with one label or none. Label
  // values are our own words, never a peer's.
  void sample(std::string_view name, double value, std::string_view label = {}, std::string_view labelValue = {});
  // A histogram family whole: its buckets, sum and count, in seconds.
  void durations(std::string_view name, std::string_view help, const Durations& durations);
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace sotto
