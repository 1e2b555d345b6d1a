// Threads whose work can wait: the handshakes and the history's store.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace sotto {

// Puts the calling thread behind the relaying threads (nice 10) when the
// cores are short: the relay's latency is what a chat feels, and the work
// behind it still gets its share of a busy core. Failing to is harmless.
inline void behindTheRelay() { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10); }

}  // namespace sotto
