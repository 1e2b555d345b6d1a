// What the operator's endpoint shows of a running server: its counts and
// distributions as metrics, and whether it is ready for sessions.
#pragma once

#include "server/metrics_endpoint.hpp"
#include "server/server.hpp"

namespace sotto {

// The pages read server (which must outlive the endpoint) from the
// endpoint's thread.
MetricsEndpoint::Pages operatorPages(const Server& server);

}  // namespace sotto
