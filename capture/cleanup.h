// The clean-up pass: stop the capture tool of every channel marked deleted
// and delete its row.
#pragma once

#include <sys/types.h>

#include <string>

#include "captureSettings.h"
#include "pgConnectionPool.h"
#include "service.h"

// For every row with channel_delete true: lists the channel's tool with
// `listing`, sends SIGTERM to the first process whose command line holds
// the channel's search key, and deletes the row. An empty listing means no
// process to stop. Other listing failures raise serviceException (the row
// stays for a later run); database errors raise PostgresqlException.
void cleanDeletedChannels(pgConnectionPool& pool, service& listing,
                          const CaptureSettings& settings);

// Process id at the head of a `ps -o pid,command` line: the text before the
// first occurrence of toolPath (the first field when it does not occur),
// trimmed. *idText receives that text. Returns 0 unless it is a plain
// decimal number greater than 1: 0, 1 and negative ids would make kill(2)
// address init, a process group or every process.
pid_t listingProcessId(const std::string& line, const std::string& toolPath, std::string* idText);
