// The due-time release thread of one core record.
#pragma once

// Thread entry; arg is the record's infoThread*. Moves each service whose
// due second has come from the waiting queue to the execution queue,
// sleeping in between until the earliest due second or an earlier push.
// Ends within a second of the stop request, at once after the waiting
// queue's wakeAll().
void* thread_check_time(void* arg);
