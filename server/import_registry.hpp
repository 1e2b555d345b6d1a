// Moving a registry over: the identities of DATA_DIR/registry.sqlite3 copied
// into the PostgreSQL registry, keeping their times, with the states the
// operator gave them. Identities and states already there are left as they
// are, so running it again adds nothing.
#pragma once

#include <ostream>

#include "server/options.hpp"

namespace sotto {

// Copies in one transaction and says how many identities were new and how
// many were already there. Returns the exit status.
int importRegistry(const ServerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sotto
