// A copy of the SQLite registry taken through SQLite's online backup: whole
// and consistent even while a server writes to the file (a plain copy of
// the file may miss what still sits in its write-ahead log).
#pragma once

#include <ostream>
#include <string>

#include "server/options.hpp"

namespace sotto {

// --backup FILE: copies DATA_DIR/registry.sqlite3 to FILE (mode 0600),
// says how many identities it holds, and returns the exit status.
int backupRegistry(const ServerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sotto
