// Worker threads: run due collectors, record, reschedule.
#pragma once

#include <sys/time.h>

// Thread entry; arg is the worker's infoThread*. Runs until die_kova is set,
// then removes its id from the record's thread_list and signals
// cond_vec_thread. Returns nullptr.
void* thread_execute_plugin(void* arg);

// now + interval_ms, normalised.
struct timeval addMilliseconds(struct timeval now, int interval_ms);
