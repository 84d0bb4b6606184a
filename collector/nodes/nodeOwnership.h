// Which node runs a collector, from the node rows alone: the same answer
// on every node that reads the same rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One row of flows_node as read by a node.
struct NodeInfo {
  std::string name;
  std::vector<std::string> channels;  // parsed node_channels
  bool live = false;                  // lease not run out, by the database clock
};

// Where a collector goes.
struct Placement {
  // The live node that runs it; empty when its channel's nodes are all
  // down.
  std::string runner;
  // For a pinned collector whose nodes are all down: the one named in its
  // outage record, and the live node that writes that record.
  std::string down_node;
  std::string recorder;
};

// Rendezvous weight of a collector on a node: a node joining or leaving
// moves only the collectors whose best weight it has or had.
uint64_t rendezvousWeight(uint64_t collector_id, const std::string& node);

// A collector whose channel matches the node_channels of some node row,
// live or not, is pinned to those nodes (the live one of highest weight
// when several claim it); any other is floating, on the live node of
// highest weight. With no live node at all nothing runs it.
Placement placeCollector(const std::vector<NodeInfo>& nodes, uint64_t collector_id,
                         const std::string& channel);

// Names of the live nodes, sorted.
std::vector<std::string> liveNodeNames(const std::vector<NodeInfo>& nodes);
