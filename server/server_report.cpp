// What the operator's endpoint reads of a running server (Server::report).
#include "server/server.hpp"

namespace sotto {

Server::Report Server::report() const {
  Report report;
  report.stats = stats();
  report.fanOut = hub_.fanOut();
  report.queuedBytes = hub_.budget().used();
  report.queuedBytesLimit = options_.limits.maxQueuedBytesTotal;
  if (const std::lock_guard lock(registryMutex_); registry_) {
    report.registryCalls = registry_->calls();
    const std::optional<std::string> trouble = registry_->trouble();
    report.registryUp = !trouble;
    if (trouble) report.notReady = "registry: " + *trouble;
  }
  if (bus_) {
    report.bus = bus_->report();
    if (!report.bus->up && !report.notReady) report.notReady = "bus: not connected";
  }
  if (!accepting_) report.notReady = "not accepting sessions (starting or shutting down)";
  return report;
}

}  // namespace sotto
