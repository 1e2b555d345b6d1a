#include "server/operator_pages.hpp"

#include "server/metrics_text.hpp"
#include "server/process_metrics.hpp"

namespace sotto {

MetricsEndpoint::Pages operatorPages(const Server& server) {
  MetricsEndpoint::Pages pages;
  pages.metrics = [&server, startedAt = std::chrono::system_clock::now()] {
    MetricsText text;
    (void)server;
    writeProcessMetrics(text, startedAt);
    return text.take();
  };
  pages.notReady = [] { return std::optional<std::string>(); };
  return pages;
}

}  // namespace sotto
