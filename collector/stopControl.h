// The stop request: SIGTERM taken by one thread, and sleeps that end early.
#pragma once

#include <pthread.h>

#include <chrono>

// Blocks SIGTERM (and the stop thread's private quit signal) in the
// calling thread; call in main before any thread
// starts so that every thread inherits the mask and the signal is only
// ever taken by the stop thread.
void blockStopSignal();

// Starts the thread that waits for SIGTERM with sigwait and then runs
// HandlerQuit. Returns false when the thread cannot be started.
bool startStopThread(pthread_t* thread);

// Ends and joins the stop thread without a stop being logged (start-up
// ended early, or the stop has been handled already).
void stopStopThread(pthread_t thread);

// The three stop steps, in order: log "stop kova... SIGTERM", set die_kova
// (waking every stoppable sleep), wake every worker of every core record.
void HandlerQuit(int signal_number);

// Sets die_kova and wakes every sleepUnlessStopped caller.
void requestStop();

// Sleeps for duration, or less when the stop is requested. Returns true
// when the stop has been requested.
bool sleepUnlessStopped(std::chrono::milliseconds duration);
