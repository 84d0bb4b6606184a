// Where a collector goes, from the node rows alone: every node must reach
// the same answer, or a collector runs twice or nowhere.
#include "nodes/nodeOwnership.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Names = std::vector<std::string>;

// The name of highest weight for the collector; "" when there is none.
std::string heaviest(const Names& names, uint64_t id) {
  std::string best;
  for (const std::string& name : names)
    if (best.empty() || rendezvousWeight(id, name) > rendezvousWeight(id, best)) best = name;
  return best;
}

using Fields = std::tuple<std::string, std::string, std::string>;  // runner, down_node, recorder
Fields fields(const Placement& p) { return {p.runner, p.down_node, p.recorder}; }

// a, c, d and e live; b and f down. c claims no channel.
const std::vector<NodeInfo> kNodes = {{"a", {"edge-a"}, true}, {"b", {"edge-b*"}, false},
                                      {"c", {}, true},         {"d", {"edge-b2", "core"}, true},
                                      {"e", {"core*"}, true},  {"f", {"edge-b3"}, false}};
const Names kLive = {"a", "c", "d", "e"};

TEST(NodeOwnership, FloatingGoesToTheHeaviestLiveNodePinnedToTheHeaviestLiveClaimer) {
  const struct {
    const char* channel;
    Names runners;  // the runner is the heaviest of these
    Names down;     // when empty runners: the outage names one of these
  } cases[] = {
      {"", kLive, {}},           // no channel: floating
      {"spare", kLive, {}},      // a channel nobody claims: floating
      {"edge-ab", kLive, {}},    // a's "edge-a" is no prefix
      {"edge-a", {"a"}, {}},     // pinned, wherever its weight ranks
      {"edge-b2", {"d"}, {}},    // b claims it too, but b is down
      {"core", {"d", "e"}, {}},  // two live claimers
      {"edge-b1", {}, {"b"}},    // its only node is down: no runner
      {"edge-b3", {}, {"b", "f"}},
  };
  std::vector<NodeInfo> reversed(kNodes.rbegin(), kNodes.rend());
  for (const auto& c : cases)
    for (uint64_t id = 1; id <= 64; ++id) {
      SCOPED_TRACE(std::string(c.channel) + " #" + std::to_string(id));
      const Placement placed = placeCollector(kNodes, id, c.channel);
      EXPECT_EQ(fields(placed), fields(placeCollector(reversed, id, c.channel)))
          << "depends on the rows' order";
      EXPECT_EQ(placed.runner, heaviest(c.runners, id));
      if (c.down.empty()) {
        EXPECT_EQ(placed.down_node + placed.recorder, "");
      } else {
        EXPECT_NE(std::ranges::find(c.down, placed.down_node), c.down.end()) << placed.down_node;
        EXPECT_NE(std::ranges::find(kLive, placed.recorder), kLive.end()) << placed.recorder;
      }
    }
}

TEST(NodeOwnership, WithoutALiveNodeNothingRunsAndNobodyRecords) {
  std::vector<NodeInfo> down = kNodes;
  for (NodeInfo& node : down) node.live = false;
  EXPECT_EQ(fields(placeCollector(down, 7, "")), Fields());
  EXPECT_EQ(fields(placeCollector({}, 7, "edge-a")), Fields());
  EXPECT_EQ(fields(placeCollector(down, 7, "edge-a")), Fields("", "a", ""));
  EXPECT_TRUE(liveNodeNames(down).empty());
  EXPECT_EQ(liveNodeNames(kNodes), kLive);
  EXPECT_EQ(liveNodeNames({{"z", {}, true}, {"y", {}, false}, {"x", {}, true}}), (Names{"x", "z"}));
}

// Nodes of different builds meet during an upgrade: the weights must not
// change with the compiler or the host. The values were worked out apart
// from this code, from FNV-1a of the name and the splitmix64 finaliser.
TEST(NodeOwnership, WeightsAreFixedValues) {
  EXPECT_EQ(rendezvousWeight(1, "a"), 2173342480884055955ULL);
  EXPECT_EQ(rendezvousWeight(4242, "node-b"), 5479891620895023803ULL);
}

// A fifth node takes about a fifth of the floating collectors, each from
// whichever node had it, and moves nothing between the other four.
TEST(NodeOwnership, AddedNodeTakesItsShareAndMovesNothingElse) {
  std::vector<NodeInfo> nodes;
  for (const char* name : {"n0", "n1", "n2", "n3"}) nodes.push_back({name, {}, true});
  const uint64_t count = 4000;
  std::vector<std::string> before;
  for (uint64_t id = 1; id <= count; ++id) before.push_back(placeCollector(nodes, id, "").runner);
  nodes.push_back({"n4", {}, true});
  uint64_t moved = 0;
  for (uint64_t id = 1; id <= count; ++id) {
    const std::string after = placeCollector(nodes, id, "").runner;
    if (after == before[id - 1]) continue;
    ++moved;
    EXPECT_EQ(after, "n4") << "collector " << id << " moved from " << before[id - 1];
  }
  EXPECT_GT(moved, count / 10);
  EXPECT_LT(moved, count * 3 / 10);
}

}  // namespace
