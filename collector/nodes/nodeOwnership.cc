// Rendezvous hashing over the node rows. The hash is spelled out (FNV-1a,
// then the splitmix64 finaliser) so that every build of the daemon, on any
// host, picks the same node.
#include "nodeOwnership.h"

#include <algorithm>

#include "nodeChannels.h"

namespace {

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t nameHash(const std::string& name) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ULL;
  return hash;
}

// Highest weight among the candidates; ties (never seen in practice) go to
// the smaller name so that the choice stays the same everywhere.
const NodeInfo* best(const std::vector<const NodeInfo*>& candidates, uint64_t collector_id) {
  const NodeInfo* chosen = nullptr;
  uint64_t chosen_weight = 0;
  for (const NodeInfo* node : candidates) {
    const uint64_t weight = rendezvousWeight(collector_id, node->name);
    if (chosen == nullptr || weight > chosen_weight ||
        (weight == chosen_weight && node->name < chosen->name)) {
      chosen = node;
      chosen_weight = weight;
    }
  }
  return chosen;
}

}  // namespace

uint64_t rendezvousWeight(uint64_t collector_id, const std::string& node) {
  return mix(nameHash(node) ^ mix(collector_id));
}

Placement placeCollector(const std::vector<NodeInfo>& nodes, uint64_t collector_id,
                         const std::string& channel) {
  std::vector<const NodeInfo*> live, claimers, live_claimers;
  for (const NodeInfo& node : nodes) {
    if (node.live) live.push_back(&node);
    if (!channelMatches(node.channels, channel)) continue;
    claimers.push_back(&node);
    if (node.live) live_claimers.push_back(&node);
  }
  Placement placement;
  const NodeInfo* floating = best(live, collector_id);
  if (claimers.empty()) {
    if (floating != nullptr) placement.runner = floating->name;
  } else if (!live_claimers.empty()) {
    placement.runner = best(live_claimers, collector_id)->name;
  } else {
    placement.down_node = best(claimers, collector_id)->name;
    if (floating != nullptr) placement.recorder = floating->name;
  }
  return placement;
}

std::vector<std::string> liveNodeNames(const std::vector<NodeInfo>& nodes) {
  std::vector<std::string> names;
  for (const NodeInfo& node : nodes)
    if (node.live) names.push_back(node.name);
  std::sort(names.begin(), names.end());
  return names;
}
