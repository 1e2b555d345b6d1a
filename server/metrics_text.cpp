#include "server/metrics_text.hpp"

#include <charconv>
#include <cmath>

namespace sotto {

namespace {

// Whole numbers exactly (a counter past 2^53 included), others shortest.
void append(std::string& text, double value) {
  if (!std::isfinite(value)) {
    text.append(std::isnan(value) ? "NaN" : value > 0 ? "+Inf" : "-Inf");
    return;
  }
  char digits[32];
  const bool whole = value == std::floor(value) && std::fabs(value) < 1e18;
  const auto done = whole ? std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value))
                          : std::to_chars(digits, digits + sizeof digits, value);
  text.append(digits, done.ptr);
}

}  // namespace

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::sample(std::string_view name, double value, std::string_view label, std::string_view labelValue) {
  text_.append(name);
  if (!label.empty()) text_.append("{").append(label).append("=\"").append(labelValue).append("\"}");
  text_.append(" ");
  append(text_, value);
  text_.append("\n");
}

void MetricsText::durations(std::string_view name, std::string_view help, const Durations& durations) {
  family(name, "histogram", help);
  const std::string bucket = std::string(name) + "_bucket";
  std::uint64_t below = 0;
  for (std::size_t i = 0; i < kDurationBounds.size(); ++i) {
    below += durations.buckets[i];
    std::string bound;
    append(bound, kDurationBounds[i]);
    sample(bucket, static_cast<double>(below), "le", bound);
  }
  sample(bucket, static_cast<double>(durations.count()), "le", "+Inf");
  sample(std::string(name) + "_sum", static_cast<double>(durations.sumNanoseconds) / 1e9);
  sample(std::string(name) + "_count", static_cast<double>(durations.count()));
}

}  // namespace sotto
