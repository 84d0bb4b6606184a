// Child processes: spawning commands (service::execute) and signalling them.
#pragma once

#include <sys/types.h>

// Sends sig to the single process pid. Refuses (returns false, sends
// nothing) for pid <= 1, which kill(2) would turn into a process-group or
// broadcast signal or aim at init. True when the signal was delivered.
bool signalProcess(pid_t pid, int sig);
