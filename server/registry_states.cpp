// The calls on identities' states that both stores share, built on what
// each store keeps.
#include "server/registry.hpp"

namespace sotto {

std::optional<IdentityState> Registry::stateOf(const Key& key) {
  const std::optional<IdentityState> stored = storedState(key);
  if (!stored) return std::nullopt;
  // Revoked wins over a registration; an allowance ends with one.
  if (*stored == IdentityState::revoked) return stored;
  if (find(key)) return IdentityState::registered;
  return stored;
}

Registry::Result Registry::registerWithin(const Key& key, std::int64_t now, Registration registration) {
  const std::optional<IdentityState> state = stateOf(key);
  if (!state) return Result::failed;
  if (*state == IdentityState::revoked) return Result::revoked;
  if (registration == Registration::closed && *state == IdentityState::unknown) return Result::closed;
  return enrolWithin(key, now);
}

}  // namespace sotto
