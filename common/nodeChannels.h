// The channels a node claims (key node_channels): parsing and matching,
// the same rules for the scheduler and the capture supervisor.
#pragma once

#include <string>
#include <vector>

// Names separated by ","; blanks around a name are dropped, and so are
// empty names. "" gives no pattern: the node claims no channel.
std::vector<std::string> parseNodeChannels(const std::string& text);

// A pattern ending in "*" matches every name that starts with what comes
// before the "*" (so "*" alone matches every channel); any other pattern
// matches that exact name. An empty channel name matches nothing.
bool channelMatches(const std::vector<std::string>& patterns, const std::string& channel);
