// The node_channels list and its matching rule, shared by the scheduler and
// the capture supervisor: a slip here pins a collector or a capture to the
// wrong host.
#include "nodeChannels.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Names = std::vector<std::string>;

TEST(NodeChannels, ListDropsBlanksAroundNamesAndEmptyNames) {
  const std::pair<const char*, Names> cases[] = {
      {"", {}},
      {" ,\t,, ", {}},
      {"edge-a", {"edge-a"}},
      {" edge-b* ,,core\t,", {"edge-b*", "core"}},
      {"edge 1,*", {"edge 1", "*"}},  // a blank inside a name is part of it
  };
  for (const auto& [text, names] : cases)
    EXPECT_EQ(parseNodeChannels(text), names) << '"' << text << '"';
}

TEST(NodeChannels, TrailingStarMatchesByPrefixAnyOtherPatternByExactName) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"", "edge", false},  // no pattern: the node claims nothing
      {"*", "anything", true},
      {"*", "", false},  // an empty channel name matches nothing, not even "*"
      {"edge-a", "edge-a", true},
      {"edge-a", "edge-ab", false},  // an exact name is no prefix
      {"edge*", "edge", true},       // the prefix alone
      {"edge*", "edge-b1", true},
      {"edge*", "edg", false},
      {"edge*", "xedge", false},
      {"ed*e", "edge", false},  // a "*" elsewhere is a plain character
      {"ed*e", "ed*e", true},
      {"core, edge-b*", "edge-b2", true},  // any pattern of the list
      {"core, edge-b*", "cor", false},
  };
  for (const auto& [text, channel, matches] : cases)
    EXPECT_EQ(channelMatches(parseNodeChannels(text), channel), matches)
        << '"' << text << "\" / \"" << channel << '"';
}

}  // namespace
