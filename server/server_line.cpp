#include "server/server_line.hpp"

#include <ctime>

#include "proto/packet.hpp"

namespace sotto {

namespace {

// "14:02", or "2026-12-08 14:02" on another day than today, in UTC.
std::string clock(std::int64_t ms, std::int64_t now) {
  constexpr std::int64_t kDay = 86'400'000;
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, ms / kDay == now / kDay ? "%H:%M" : "%Y-%m-%d %H:%M", &utc);
  return text;
}

std::string messages(std::size_t count) { return std::to_string(count) + (count == 1 ? " message" : " messages"); }

}  // namespace

std::shared_ptr<const Bytes> serverLine(const Key& serverKey, std::string_view text) {
  const Packet packet(Direct, serverKey.data(), Bytes(text.begin(), text.end()));
  return std::make_shared<const Bytes>(packet.serialize());
}

std::string missedOpening(std::size_t count, std::int64_t first, std::int64_t last, std::uint64_t older,
                          std::int64_t now) {
  const std::string from = clock(first, now), to = clock(last, now);
  std::string line = messages(count) + " from while you were away, " + (from == to ? "at " + from : from + " to " + to) +
                     " UTC";
  if (older > 0) line += " (" + std::to_string(older) + " older " + (older == 1 ? "one is" : "ones are") + " no longer kept)";
  return line + ":";
}

std::string missedClosing(std::size_t count) {
  return "End of the " + std::to_string(count) + (count == 1 ? " missed message." : " missed messages.");
}

std::string missedIncomplete() {
  return "Some of what was sent while you were away may be missing: the server could not keep all of it.";
}

std::string payloadRefused(std::size_t bytes, std::size_t most) {
  return "Your message of " + std::to_string(bytes) + " bytes was not relayed: this server takes at most " +
         std::to_string(most) + " bytes.";
}

}  // namespace sotto
