// Writing results: a worker hands its finished run over and goes on at
// once; one writer thread takes whatever is waiting and writes it, oldest
// first, as one transaction sent in one pipeline, exactly once, whether the
// database answers at once, after an outage, or loses a reply.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>

#include "service.h"

// Worker side: queues the run's state and output (resultQueue in
// globals.h), stamped with the time it ended. Never waits on the database.
void submitResult(const std::string& tag, const service& record);

// Thread entry; arg unused. Owns its own connection (collector_settings.connectLine). Writes
// until the queue is closed and empty, or its deadline has passed; while
// the database does not answer it tries again every second. Logs the start
// and the end of an outage, results dropped past the queue's limits, and
// every row the server refuses ("Update service state failed"), which is
// left out while the rest of its batch is written.
void* thread_write_results(void* arg);

// The stop's step "write what is waiting": once no worker records any more,
// gives the writer patience to write the rest, joins it, and logs one "ERR"
// line with the number of results it could not record.
void writeResultsWaiting(pthread_t writer, std::chrono::seconds patience);
