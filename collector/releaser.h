// The due-time release thread of one core record.
#pragma once

// Thread entry; arg is the record's infoThread*. Every 10 ms moves each
// service whose due second has come from the waiting queue to the
// execution queue. Ends within one poll of the stop request.
void* thread_check_time(void* arg);
