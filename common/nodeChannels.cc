// node_channels: one list syntax, one matching rule.
#include "nodeChannels.h"

#include "convertTo.h"

std::vector<std::string> parseNodeChannels(const std::string& text) {
  std::vector<std::string> patterns;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string name = trim(text.substr(start, comma - start));
    if (!name.empty()) patterns.push_back(name);
    start = comma + 1;
  }
  return patterns;
}

bool channelMatches(const std::vector<std::string>& patterns, const std::string& channel) {
  if (channel.empty()) return false;
  for (const std::string& pattern : patterns) {
    if (pattern.back() == '*') {
      if (channel.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0) return true;
    } else if (pattern == channel) {
      return true;
    }
  }
  return false;
}
