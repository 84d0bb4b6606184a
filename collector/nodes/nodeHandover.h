// Moving collectors in and out of this node when the node list changes,
// and recording the outages of pinned collectors whose node is down.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "nodeOwnership.h"
#include "nodeRegistry.h"
#include "pgConnectionPool.h"

// Reads where every collector goes (by `nodes`), loads the ones `self`
// should run and does not (current definition; due one interval after
// their last execution), hands over the ones it should not run, and writes
// the outage record of each pinned collector whose nodes are all down when
// `self` is its recorder. Queries run on pool with no lock held; throws
// PostgresqlException.
void reconcileCollectors(pgConnectionPool& pool, const std::vector<NodeInfo>& nodes,
                         const std::string& self, NodeRegistry& registry);

// Reads the current definition of every collector held here again, for
// its next run (serviceUpdate), and lists those marked deleted for the
// workers to drop: what a node whose lease lapsed may have missed, since
// the change rows go once every live node has seen them. Throws
// PostgresqlException.
void catchUpCollectors(pgConnectionPool& pool, NodeRegistry& registry);

// Takes the services of released collectors out of the waiting queues and
// forgets them; one still running is caught at a later call or by its
// release thread.
void dropReleased(NodeRegistry& registry);

// The registry forgets the collector, and no pending update or deletion
// of it stays behind for a later collector with the same id.
void forgetCollector(NodeRegistry& registry, uint64_t collector_id);

// "{1,2,3}": a bigint[] parameter.
std::string idArray(const std::vector<uint64_t>& ids);
