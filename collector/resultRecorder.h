// Recording run results so that a database outage loses none: a result
// that meets a lost connection is kept in the backlog (resultBacklog in
// globals.h) and written later, oldest first, with the time of its run.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <string>

#include "pgConnectionPool.h"
#include "service.h"

// Statements of the replay pool: "ReplayState" and "ReplayData".
void prepareReplayStatements(pgConnectionPool* pool);

// Worker side. While the backlog holds anything, record joins it behind
// the older results; otherwise it is written at once through the core
// record's pool ("UpdateState", "InsertData"), and kept only when the
// connection is lost. A statement the server refuses is logged as before
// ("#Update service state failed: ") and not kept. ran_at: end of the run.
void recordResult(const std::string& tag, const service& record, pgConnectionPool* pool,
                  const struct timeval& ran_at);

// Thread entry; arg is the replay pool (one connection, statements
// prepared). Writes the backlog oldest first whenever it holds entries,
// retrying every second while the database does not answer; ends at the
// stop.
void* thread_replay_results(void* arg);

// At the stop, once no worker records any more: writes what is left if the
// database answers within patience, otherwise logs one "ERR" line with the
// number of results not recorded.
void flushBacklogAtStop(pgConnectionPool* pool, std::chrono::seconds patience);
