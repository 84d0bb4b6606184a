// Writing one run's outcome back to the database.
#pragma once

#include "pgConnectionPool.h"
#include "service.h"

// "UpdateState" with the state, "OK" or the output, and the id; then, for
// state 0 only, "InsertData" with the output as JSON. Both statements must
// be prepared on pool. A failing statement throws PostgresqlException (the
// insert is then not attempted, or the update already happened). When
// state_written is given it tells, also on failure, whether the update went
// through.
void updateService(const service& record, pgConnectionPool* pool, bool* state_written = nullptr);
