// The hash of an identity for the tables that find sessions and registry
// entries by it. Keyed, with a key drawn once per process: identities come
// from the network, and whoever made many whose hashes meet would turn each
// lookup into a walk along all of them.
#pragma once

#include <cstddef>

#include "proto/handshake.hpp"

namespace sotto {

struct KeyHash {
  std::size_t operator()(const Key& key) const;
};

}  // namespace sotto
