// Who may join: an identity's state as the operator manages it, and whether
// a server takes registrations from anyone or only from those allowed.
#pragma once

#include <optional>
#include <string_view>

namespace sotto {

// unknown: neither registered nor named by the operator. allowed: named by
// --allow, may register once with its proof of work even while registration
// is closed. registered: in the registry, signs in. revoked: refused, and
// its sessions closed, until --reinstate.
//
// The registry stores only what the operator said (allowed, revoked);
// registered follows from the identity's row, so that every identity of a
// registry made before states existed is registered and stays in.
enum class IdentityState { unknown, allowed, registered, revoked };

// open: any identity with a valid proof of work registers. closed: only
// those allowed in advance do; the registered still sign in.
enum class Registration { open, closed };

constexpr std::string_view stateName(IdentityState state) {
  switch (state) {
    case IdentityState::unknown: return "unknown";
    case IdentityState::allowed: return "allowed";
    case IdentityState::registered: return "registered";
    case IdentityState::revoked: return "revoked";
  }
  return "unknown";
}

// The stored word ("allowed", "revoked") back to a state; nothing for any
// other text, which a hand-edited registry could hold.
inline std::optional<IdentityState> parseState(std::string_view word) {
  if (word == "allowed") return IdentityState::allowed;
  if (word == "revoked") return IdentityState::revoked;
  return std::nullopt;
}

}  // namespace sotto
