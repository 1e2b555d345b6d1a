// The operator's commands on identities: --allow, --revoke, --reinstate and
// --list-identities, run beside the servers on the registry they share
// (DATA_DIR/registry.sqlite3 or --postgres). The running servers learn of a
// change by themselves (StateWatch).
#pragma once

#include <ostream>

#include "server/options.hpp"

namespace sotto {

// Runs options.identityCommand; says what it did on out, or why not on
// err. Returns the exit status: 2 when there is no registry where it was
// pointed, 1 when the registry fails or the change does not apply.
int identityCommand(const ServerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sotto
