// One scheduler among several hosts sharing the database: its lease row,
// the live node list, and which collectors it runs.
//
// With [KOVA] node_name missing or empty the daemon is a single host: every
// function below is then a no-op that answers as a lone scheduler would
// (it runs and holds everything), and no node table is touched.
#pragma once

#include <cstdint>
#include <string>

#include "iniConfig.h"
#include "pgConnectionPool.h"

// Reads node_name and node_channels of [KOVA]. False, after an "ERR" line
// naming the file, section and key, for a name holding blanks, commas or
// control characters. Call once from main before any thread starts.
bool readNodeKeys(iniConfig& config);

bool nodeMode();
const std::string& nodeName();

// Once connected (collector_settings read): creates the node tables when missing,
// takes this node's lease with a random token of this process (refused
// with an "ERR" line naming the node while another daemon holds it), marks
// every pending change as seen (the initial load that follows reflects
// them), reads the node list and starts the lease thread. False when the
// daemon must not start.
bool joinNodes();

// Main, last step of the stop (after the workers and every result): ends
// the lease thread and gives the lease up (the row stays). No-op when
// joinNodes did not start the thread.
void leaveNodes();

// Whether a run may start now: false once the last successful renewal is
// older than the lease minus a margin (by this host's monotonic clock),
// and until the lease thread has renewed it and read the node list and
// this node's share again. The first false of an outage logs one "ERR"
// line, the resumption one "INFO" line. Thread-safe, lock-free.
bool nodeMayRun();

// True once a renewal found the lease row held by another daemon's token:
// the lease thread logged it and requested the stop; main exits with 1.
bool nodeLostName();

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
// (only while the row holds this process's token), re-reads the node list,
// moves collectors in and out when it changes (and every
// interval_check_update seconds), records the outages of pinned
// collectors, and after a failed or late renewal re-reads the definition
// of every collector held here. Through the stop it only renews; it ends,
// giving the lease up, at leaveNodes.
void* thread_node_lease(void* arg);
