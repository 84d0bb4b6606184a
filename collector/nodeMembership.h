// One scheduler among several hosts sharing the database: its lease row,
// the live node list, and which collectors it runs.
//
// With [KOVA] node_name missing or empty the daemon is a single host: every
// function below is then a no-op that answers as a lone scheduler would
// (it runs and holds everything), and no node table is touched.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "iniConfig.h"
#include "pgConnectionPool.h"

// Reads node_name and node_channels of [KOVA]. False, after an "ERR" line
// naming the file, section and key, for a name holding blanks, commas or
// control characters. Call once from main before any thread starts.
bool readNodeKeys(iniConfig& config);

bool nodeMode();
const std::string& nodeName();

// Once connected (connectLine set): creates the node tables when missing,
// takes this node's lease (refused with an "ERR" line naming the node while
// another daemon holds it), marks every pending change as seen (the
// initial load that follows reflects them), reads the node list and starts
// the lease thread, whose id goes into *threads for main to join. False
// when the daemon must not start.
bool joinNodes(std::vector<pthread_t>* threads);

// Main, after the initial load: the lease thread may now move collectors.
void nodesLoaded();

// Whether this node should run the collector, by the last node list read.
bool nodeRunsHere(uint64_t collector_id, const std::string& channel);
// Marks the collector as scheduled here; false when it already is.
bool nodeClaim(uint64_t collector_id);
bool nodeHolds(uint64_t collector_id);
// Its row is gone: nothing of it stays scheduled here.
void nodeForget(uint64_t collector_id);
// Release threads: true when the collector was handed over to another
// node, so that its service is dropped instead of run.
bool nodeDropReleased(uint64_t collector_id);

// "NODE: <name>\nLIVE NODES: <sorted live names joined by ",">\n".
std::string nodeStatusLines();

// Thread entry, started by joinNodes: renews the lease every few seconds
// (each sleep ends at the stop), re-reads the node list, moves collectors
// in and out when it changes (and every interval_check_update seconds),
// records the outages of pinned collectors, and at the stop gives the
// lease up at once (the row stays).
void* thread_node_lease(void* arg);
