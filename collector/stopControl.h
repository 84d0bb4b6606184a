// The stop request: SIGTERM (and SIGHUP, which reopens the log file) taken
// by one thread, and sleeps that end early.
#pragma once

#include <pthread.h>

#include <chrono>

// Blocks SIGTERM, SIGHUP (and the stop thread's private quit signal) in the
// calling thread; call in main before any thread starts so that every
// thread inherits the mask and the signals are only ever taken by the stop
// thread. Children still start with an empty mask and default dispositions
// (the command runner sets both).
void blockStopSignal();

// Starts the thread that waits with sigwait until stopStopThread: the first
// SIGTERM runs HandlerQuit, every SIGHUP reopens the daemon log
// (reopenLogFile). Returns false when the thread cannot be started.
bool startStopThread(pthread_t* thread);

// Ends and joins the stop thread (without a stop being logged when none
// was requested).
void stopStopThread(pthread_t thread);

// The three stop steps, in order: log "stop kova... SIGTERM", set die_kova
// (waking every stoppable sleep), wake every worker of every core record.
void HandlerQuit(int signal_number);

// Sets die_kova and wakes every sleepUnlessStopped caller.
void requestStop();

// HandlerQuit without its log line: requestStop, then wakes every worker
// of every core record. For a stop that the daemon decides itself.
void stopWorkers();

// Sleeps for duration, or less when the stop is requested. Returns true
// when the stop has been requested.
bool sleepUnlessStopped(std::chrono::milliseconds duration);
