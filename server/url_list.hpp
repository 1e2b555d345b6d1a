// A comma-separated list of URLs, as --nats takes it and the log shows it.
#pragma once

#include <string>
#include <vector>

namespace sotto {

// "nats://a:4222,nats://b:4222" -> its URLs; empty on an empty part.
std::vector<std::string> splitUrls(const std::string& list);
// As the log shows them: without the user, password or token a URL carries.
std::string joinUrls(const std::vector<std::string>& urls);

}  // namespace sotto
