// The capture tools' pid files: telling a running tool from a leftover.
#pragma once

#include <sys/types.h>

#include <string>

// Pid named by the file (leading and trailing blanks allowed); 0 when the
// file is missing or does not hold a plain positive number.
// The process id a text holds when it is nothing but decimal digits naming
// a valid pid; 0 otherwise (signs, blanks, letters, overflow).
pid_t plainPid(const std::string& text);

pid_t readPidFile(const std::string& path);

// True when pid is a live process (not a zombie) whose command name is
// nfcapd or sfcapd. Reads /proc/<pid>/stat.
bool isRunningCaptureTool(pid_t pid);

// A tool refuses to start, after it has detached, when its pid file names
// a live process. Removes path when it names no running capture tool.
// Returns the pid of the running tool that the file names (the file is
// kept), or 0. Logs what it removes and what it could not.
pid_t removeLeftoverPidFile(const std::string& path);

// Polls for about two seconds until path names a running capture tool
// other than previous. True when it does.
bool waitForCaptureTool(const std::string& path, pid_t previous);
