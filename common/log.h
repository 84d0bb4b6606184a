// The process-wide log writer: one "<asctime>#<level>#<message>" line per call.
#pragma once

#include <pthread.h>

#include <string>

// Serialises every log line of the process. Statically initialised so that
// lines written before main() finishes its set-up are safe too.
extern pthread_mutex_t mutex_log_system;  // guards the log stream and its file

// Debug level from the command line; 0 is off, 1 or 2 enable Trace().
// Written once by main before any thread starts, read-only afterwards.
extern int debug;

// Writes "<local time>#<level>#<message>\n" to std::cout under
// mutex_log_system and flushes it. Thread-safe.
void write_log(std::string level, std::string message);

// write_log("DEBUG", message) when debug is 1 or 2; nothing otherwise.
void Trace(std::string message);

// Formats a broken-down local time as asctime() does, without the trailing
// line feed ("Sun Mar  1 09:05:07 2026"). Exposed for the tests.
std::string asctimeText(const struct tm& local);

// Writes text to std::cout as it stands (no time stamp, no level), under
// mutex_log_system, and flushes. Every write to the log stream goes through
// this or write_log: once attached to a file the stream's buffer is not
// thread-safe on its own.
void write_raw(const std::string& text);

// Opens path for writing, emptying it, close-on-exec (so no child inherits
// the log), and makes it the buffer of std::cout. Returns false and leaves
// std::cout untouched when the file cannot be opened, so the log then keeps
// going to the standard output the program was started with.
bool attachLogFile(const std::string& path);

// Opens the path last given to attachLogFile again, appending (after
// logrotate has moved the file away, a new file is created there), makes it
// the buffer of std::cout and logs "INFO" "log file reopened" into it.
// When it cannot be opened the log stays on the file it was on, which gets
// an "ERR" line saying so, and false is returned; false also when no file
// was attached. Thread-safe.
bool reopenLogFile();
