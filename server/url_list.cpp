#include "server/url_list.hpp"

#include <algorithm>

namespace sotto {

std::vector<std::string> splitUrls(const std::string& list) {
  std::vector<std::string> urls;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    if (comma == start) return {};
    urls.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return urls;
}

std::string joinUrls(const std::vector<std::string>& urls) {
  std::string list;
  for (const auto& url : urls) {
    if (!list.empty()) list += ',';
    const std::size_t scheme = url.find("://");
    const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t at = url.find('@', from);
    list.append(url, 0, from);
    list.append(url, at == std::string::npos ? from : at + 1);
  }
  return list;
}

}  // namespace sotto
