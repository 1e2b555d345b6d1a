// Enrolment: a ready client.conf for a fresh identity that is already in the
// registry, so that a local user skips both the first-run prompts and the
// proof of work.
#pragma once

#include <ostream>

#include "server/options.hpp"

namespace sotto {

// Writes options.enrollDir/client.conf (mode 0600) naming enrollAddress and
// the server key of options.dataDir, and registers its identity there. Never
// replaces an existing client.conf. Returns the exit status.
int enrol(const ServerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sotto
