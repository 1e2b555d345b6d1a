#include "server/identity_commands.hpp"

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "proto/bytes.hpp"
#include "server/registry.hpp"

namespace sotto {

namespace {

using Kind = ServerOptions::IdentityCommand::Kind;

std::string hex(const Key& key) { return toHex(key.data(), key.size()); }

// The registry the servers use; never a new, empty one made by a mistyped
// directory. Null with error, and the exit status, on failure.
std::unique_ptr<Registry> openExisting(const ServerOptions& options, std::string& error, int& status) {
  status = 1;
  if (options.postgres) return Registry::openPostgres(*options.postgres, error);
  std::error_code ec;
  const std::string path = options.dataDir + "/" + kRegistryFileName;
  status = 2;
  if (!std::filesystem::is_directory(options.dataDir, ec)) {
    error = "there is no data directory " + options.dataDir + " (give the server's --data-dir)";
    return nullptr;
  }
  if (!std::filesystem::exists(path, ec)) {
    error = "there is no registry at " + path + " (the server makes it at its first start)";
    return nullptr;
  }
  status = 1;
  return Registry::open(path, error);
}

// What the command did, or why it does not apply.
struct Outcome {
  std::string said;
  bool applied = true;
};

// Reads the state and writes the new one in one transaction, so that two
// commands at once cannot undo each other's check.
bool change(Registry& registry, const ServerOptions::IdentityCommand& command, Outcome& outcome) {
  const std::string who = hex(command.key);
  const std::int64_t now = std::time(nullptr);
  return registry.transaction([&] {
    const std::optional<IdentityState> state = registry.stateOf(command.key);
    if (!state) return false;
    const auto already = [&](const std::string& what) {
      outcome.said = who + " is " + what;
      return true;
    };
    switch (command.kind) {
      case Kind::allow:
        if (*state == IdentityState::revoked) {
          outcome = {who + " is revoked; --reinstate lets it back", false};
          return true;
        }
        if (*state != IdentityState::unknown) return already(std::string(stateName(*state)) + " already");
        outcome.said = "Allowed " + who + ": it may register once, even while registration is closed";
        return registry.writeState(command.key, IdentityState::allowed, now);
      case Kind::revoke:
        if (*state == IdentityState::revoked) return already("revoked already");
        outcome.said = "Revoked " + who + ": every server refuses it and closes its sessions within 2 s";
        return registry.writeState(command.key, IdentityState::revoked, now);
      case Kind::reinstate: {
        if (*state != IdentityState::revoked) return already("not revoked (" + std::string(stateName(*state)) + ")");
        const bool registered = registry.find(command.key).has_value();
        outcome.said = "Reinstated " + who + (registered ? ": it signs in again" : ": it may register");
        return registry.writeState(command.key, registered ? IdentityState::registered : IdentityState::allowed, now);
      }
      case Kind::list: break;
    }
    return false;
  });
}

struct Row {
  IdentityState state = IdentityState::registered;
  std::optional<Registry::Entry> entry;
};

std::string utc(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[32];
  if (!::gmtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0) return "?";
  return text;
}

void printTable(const std::map<Key, Row>& rows, std::ostream& out) {
  const auto padded = [](std::string text, std::size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
  };
  std::map<IdentityState, std::size_t> counts;
  out << padded("KEY", 66) << padded("STATE", 12) << padded("FIRST SEEN (UTC)", 21) << "LAST SEEN (UTC)\n";
  for (const auto& [key, row] : rows) {
    ++counts[row.state];
    out << hex(key) << "  " << padded(std::string(stateName(row.state)), 12)
        << padded(row.entry ? utc(row.entry->firstSeen) : "-", 21) << (row.entry ? utc(row.entry->lastSeen) : "-")
        << '\n';
  }
  out << rows.size() << (rows.size() == 1 ? " identity: " : " identities: ") << counts[IdentityState::registered]
      << " registered, " << counts[IdentityState::allowed] << " allowed, " << counts[IdentityState::revoked]
      << " revoked\n";
}

void printTabSeparated(const std::map<Key, Row>& rows, std::ostream& out) {
  for (const auto& [key, row] : rows) {
    out << hex(key) << '\t' << stateName(row.state) << '\t';
    if (row.entry) out << row.entry->firstSeen << '\t' << row.entry->lastSeen;
    else out << '\t';
    out << '\n';
  }
}

// Every identity the registry holds or the operator named, as of one
// moment.
bool list(Registry& registry, std::map<Key, Row>& rows) {
  return registry.transaction([&] {
    rows.clear();
    return registry.forEach([&](const Key& key, const Registry::Entry& entry) { rows[key] = {IdentityState::registered, entry}; }) &&
           registry.forEachStoredState([&](const Key& key, IdentityState state) {
             Row& row = rows[key];
             if (state == IdentityState::revoked) row.state = state;
             else if (!row.entry) row.state = IdentityState::allowed;
           });
  });
}

}  // namespace

int identityCommand(const ServerOptions& options, std::ostream& out, std::ostream& err) {
  const ServerOptions::IdentityCommand& command = *options.identityCommand;
  std::string error;
  int status = 1;
  const std::unique_ptr<Registry> registry = openExisting(options, error, status);
  if (!registry) {
    err << "sotto-server: " << error << '\n';
    return status;
  }
  if (command.kind == Kind::list) {
    std::map<Key, Row> rows;
    if (!list(*registry, rows)) {
      err << "sotto-server: cannot read the identities: " << registry->lastError() << '\n';
      return 1;
    }
    command.tabSeparated ? printTabSeparated(rows, out) : printTable(rows, out);
    return 0;
  }
  Outcome outcome;
  if (!change(*registry, command, outcome)) {
    err << "sotto-server: cannot change the state of " << hex(command.key) << ": " << registry->lastError() << '\n';
    return 1;
  }
  (outcome.applied ? out : err) << (outcome.applied ? "" : "sotto-server: ") << outcome.said << '\n';
  return outcome.applied ? 0 : 1;
}

}  // namespace sotto
