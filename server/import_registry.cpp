#include "server/import_registry.hpp"

#include <ctime>
#include <filesystem>
#include <utility>
#include <vector>

#include "server/registry.hpp"

namespace sotto {

namespace {

// A revocation or allowance comes along, or a revoked identity would be let
// back in by the move; a state the database already holds stays.
bool importStates(Registry& to, const std::vector<std::pair<Key, IdentityState>>& states) {
  const std::int64_t now = std::time(nullptr);
  for (const auto& [key, state] : states) {
    const std::optional<IdentityState> there = to.storedState(key);
    if (!there || (*there == IdentityState::unknown && !to.writeState(key, state, now))) return false;
  }
  return true;
}

}  // namespace

int importRegistry(const ServerOptions& options, std::ostream& out, std::ostream& err) {
  const std::string path = options.dataDir + "/" + kRegistryFileName;
  std::error_code ec;
  // Opening would make an empty one, and an import of nothing from a
  // mistyped directory would look like success.
  if (!std::filesystem::exists(path, ec)) {
    err << "sotto-server: there is no registry to import at " << path << '\n';
    return 1;
  }
  std::string error;
  std::vector<std::pair<Key, Registry::Entry>> entries;
  std::vector<std::pair<Key, IdentityState>> states;
  const std::unique_ptr<Registry> from = Registry::open(path, error);
  if (!from || !from->forEach([&](const Key& key, const Registry::Entry& e) { entries.emplace_back(key, e); }) ||
      !from->forEachStoredState([&](const Key& key, IdentityState state) { states.emplace_back(key, state); })) {
    err << "sotto-server: " << (from ? "cannot read " + path + ": " + from->lastError() : error) << '\n';
    return 1;
  }
  const std::unique_ptr<Registry> to = Registry::openPostgres(*options.postgres, error);
  if (!to) {
    err << "sotto-server: " << error << '\n';
    return 1;
  }
  std::size_t added = 0;
  const bool committed = to->transaction([&] {
    added = 0;
    for (const auto& [key, entry] : entries) {
      const Registry::Result result = to->insert(key, entry);
      if (result == Registry::Result::failed) return false;
      added += result == Registry::Result::added;
    }
    return importStates(*to, states);
  });
  if (!committed) {
    err << "sotto-server: cannot import into the registry database: " << to->lastError() << '\n';
    return 1;
  }
  out << "Imported " << entries.size() << " identities from " << path << ": " << added << " new, "
      << entries.size() - added << " already there\n";
  return 0;
}

}  // namespace sotto
