#include "server/operator_pages.hpp"

#include <chrono>
#include <string_view>

#include "server/metrics_text.hpp"
#include "server/process_metrics.hpp"

namespace sotto {

namespace {

// How each count reads on /metrics. Lines of one family stand together;
// a family's HELP and TYPE are written before its first line.
struct Line {
  Count count;
  std::string_view name, type, help, label, value;
};

constexpr std::string_view kPackets = "Packets opened from clients (in) and sealed for them (out).";
constexpr std::string_view kBytes = "Bytes read from clients' sockets (in) and written to them (out).";
constexpr std::string_view kRefusals = "Connections turned away before their session began, by reason.";

constexpr Line kLines[] = {
    {Count::sessions, "sotto_sessions", "gauge", "Sessions signed in now.", {}, {}},
    {Count::helloPending, "sotto_hello_pending", "gauge", "Connections still owing their hello.", {}, {}},
    {Count::signIns, "sotto_sign_ins_total", "counter", "Sessions begun since the start, registrations included.", {},
     {}},
    {Count::refusedNoHello, "sotto_refusals_total", "counter", kRefusals, "reason", "no_hello"},
    {Count::refusedEvicted, "sotto_refusals_total", "counter", kRefusals, "reason", "evicted"},
    {Count::refusedBadHello, "sotto_refusals_total", "counter", kRefusals, "reason", "bad_hello"},
    {Count::refusedReplayed, "sotto_refusals_total", "counter", kRefusals, "reason", "replayed"},
    {Count::refusedUnknownIdentity, "sotto_refusals_total", "counter", kRefusals, "reason", "unknown_identity"},
    {Count::refusedRegistryFailed, "sotto_refusals_total", "counter", kRefusals, "reason", "registry_failed"},
    {Count::refusedRegistryLate, "sotto_refusals_total", "counter", kRefusals, "reason", "registry_late"},
    {Count::refusedByState, "sotto_refusals_total", "counter", kRefusals, "reason", "revoked_or_closed"},
    {Count::refusedServerFull, "sotto_refusals_total", "counter", kRefusals, "reason", "server_full"},
    {Count::refusedIdentityFull, "sotto_refusals_total", "counter", kRefusals, "reason", "identity_full"},
    {Count::refusedOther, "sotto_refusals_total", "counter", kRefusals, "reason", "other"},
    {Count::packetsIn, "sotto_packets_total", "counter", kPackets, "direction", "in"},
    {Count::packetsOut, "sotto_packets_total", "counter", kPackets, "direction", "out"},
    {Count::bytesIn, "sotto_bytes_total", "counter", kBytes, "direction", "in"},
    {Count::bytesOut, "sotto_bytes_total", "counter", kBytes, "direction", "out"},
    {Count::budgetPauses, "sotto_budget_pauses_total", "counter",
     "Times a client was not read because the queues for all sessions were full.", {}, {}},
    {Count::slowReadersCut, "sotto_slow_readers_cut_total", "counter",
     "Sessions ended because their client read too slowly.", {}, {}},
    {Count::sendersSlowed, "sotto_senders_slowed_total", "counter",
     "Times a sender past its fair share was read more slowly.", {}, {}},
    {Count::unfinishedFramesEnded, "sotto_unfinished_frames_ended_total", "counter",
     "Sessions ended because a frame was not whole 30 s after its first byte.", {}, {}},
    {Count::payloadsRefused, "sotto_payloads_refused_total", "counter",
     "Packets over --max-payload, dropped with a line to their sender.", {}, {}},
    {Count::catchUps, "sotto_catch_ups_total", "counter", "Sign-ins given what they missed.", {}, {}},
    {Count::historyUnkept, "sotto_history_unkept_total", "counter",
     "Relayed messages not kept in the history: its store was too far behind.", {}, {}},
};

void writeRelay(MetricsText& text, const Server::Report& report) {
  std::string_view family;
  for (const Line& line : kLines) {
    if (line.name != family) text.family(line.name, line.type, line.help);
    family = line.name;
    text.sample(line.name, static_cast<double>(report.stats[line.count]), line.label, line.value);
  }
  text.family("sotto_queued_bytes", "gauge", "Bytes waiting to be written to all sessions together.");
  text.sample("sotto_queued_bytes", static_cast<double>(report.queuedBytes));
  text.family("sotto_queued_bytes_limit", "gauge", "The bound on those bytes (--max-queued-bytes).");
  text.sample("sotto_queued_bytes_limit", static_cast<double>(report.queuedBytesLimit));
  text.durations("sotto_fanout_duration_seconds",
                 "Time one I/O thread takes to hand a relayed packet to its recipients.", report.fanOut);
}

void writeRegistry(MetricsText& text, const Server::Report& report) {
  text.family("sotto_registry_up", "gauge", "Whether the registry answers (1) or not (0).");
  text.sample("sotto_registry_up", report.registryUp ? 1 : 0);
  text.durations("sotto_registry_call_duration_seconds",
                 "Time each call to the registry's database took, its regular probe included.", report.registryCalls);
}

void writeBus(MetricsText& text, const Bus::Report& bus) {
  text.family("sotto_bus_up", "gauge", "Whether the cluster's bus is connected (1) or not (0).");
  text.sample("sotto_bus_up", bus.up ? 1 : 0);
  text.family("sotto_bus_backlog_bytes", "gauge", "Relayed packets held for the bus, in bytes.");
  text.sample("sotto_bus_backlog_bytes", static_cast<double>(bus.backlogBytes));
  text.family("sotto_bus_lost_total", "counter", "Packets for the other instances dropped from a full backlog.");
  text.sample("sotto_bus_lost_total", static_cast<double>(bus.dropped));
  text.durations("sotto_bus_lag_seconds", "Time from the bus storing another instance's packet to its arrival here.",
                 bus.lag);
}

}  // namespace

MetricsEndpoint::Pages operatorPages(const Server& server) {
  MetricsEndpoint::Pages pages;
  pages.metrics = [&server, startedAt = std::chrono::system_clock::now()] {
    const Server::Report report = server.report();
    MetricsText text;
    writeRelay(text, report);
    writeRegistry(text, report);
    if (report.bus) writeBus(text, *report.bus);
    writeProcessMetrics(text, startedAt);
    return text.take();
  };
  pages.notReady = [&server] { return server.report().notReady; };
  return pages;
}

}  // namespace sotto
