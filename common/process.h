// Child processes: running one command to its end (service::execute) and
// signalling single processes.
#pragma once

#include <spawn.h>
#include <sys/types.h>

// service::execute() — the command runner.
//
// Runs plugin_path (or exec_path when set) with parameter_list as its
// arguments (argv[0] is plugin_path) and an EMPTY environment, no path
// search. The child's standard output is a pipe read by the caller's
// thread; its standard input and standard error are the caller's. The
// child starts in a process group of its own (its pid), with an empty
// signal mask and every signal at its default action; only descriptors 0,
// 1 and 2 reach it, whatever else the process holds.
//
// One run, in steps:
//  1. spawn      — pipe, process group, posix_spawn.
//  2. read       — output read in chunks of at most 1024 bytes; each chunk
//                  kept up to its first NUL byte; bytes past output_max are
//                  read and thrown away (the child never blocks on a full
//                  pipe). Reading ends at end of file, at the time limit
//                  (timeout_s seconds from the start, 0 = none), or about 1 s
//                  after the child itself has exited while a descendant
//                  still holds the output open.
//  3. wait       — for the child to exit or stop, bounded by the same limit.
//  4. end group  — past the limit: SIGTERM to the group, then SIGKILL to
//                  the group once the child has exited and the output is
//                  closed, or 5 s later. Otherwise SIGKILL to whatever is
//                  left of the group after the child's exit, unless
//                  spare_descendants (tools that detach on purpose). The
//                  child is reaped only after this step, so its group id
//                  cannot be reused by anyone while it is signalled.
//  5. reap and turn the exit status into state and output (table below),
//     output cleaned of invalid UTF-8 (each bad sequence becomes one blank).
//
// Results, in order of precedence:
//
// | Run                                  | state | output                                          | returns / throws |
// |--------------------------------------|-------|-------------------------------------------------|------------------|
// | passed the time limit                | 3     | "DAEMON: plugin timed out after N s"            | returns 3        |
// | printed more than output_max bytes   | 3     | "DAEMON: plugin output exceeds N bytes"         | returns 3        |
// | cannot be executed                   | 2     | "DAEMON: plugin is not executable " + error\n  | returns 2        |
// | killed by a signal, or stopped       | 3     | "Error: kova can't execute " + plugin_path      | throws serviceException (text ends with the output) |
// | exit 0-5, printed something          | code  | cleaned output                                  | returns code     |
// | exit 255, printed something          | 3     | cleaned output                                  | returns 3        |
// | exit 6-254, printed something        | 3     | cleaned output                                  | returns 3        |
// | exit 0-5, silent (nothing or "''")   | 3     | the raw output                                  | throws silentPluginException |
// | exit 255, silent                     | 3     | "UNKNOWN: KovaDaemon could not connect to host" | throws silentPluginException |
// | exit 6-254, silent                   | 3     | "Error execute: Bad return code\n" + context + " " + raw | throws silentPluginException |
//
// context is name + "\npath:" + plugin_path + " " + parameter. A failing
// system call throws runFailedException with prefix + context + the system
// error text: "Error open pipe ", "Error create fork " (no process or
// memory for the child), "Error read buffer: ", "Error execute " (waiting
// failed); the child, if any, is killed and reaped first. No run leaves a
// zombie, a descriptor, or (but for spare_descendants) a process of its
// group behind.
//
// Thread-safe across distinct records; it blocks the calling thread for the
// whole run.

// Spawn attributes of every command: the child starts in a process group
// of its own, with an empty signal mask and every signal at its default
// action, whatever the calling thread blocks or the process ignores (the
// daemon blocks SIGTERM and SIGHUP in all its threads); its standard
// output is stdout_fd, and no descriptor past 2 reaches it.
class SpawnSetup {
 public:
  explicit SpawnSetup(int stdout_fd);
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup();
  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// Sends sig to the single process pid. Refuses (returns false, sends
// nothing) for pid <= 1, which kill(2) would turn into a process-group or
// broadcast signal or aim at init. True when the signal was delivered.
bool signalProcess(pid_t pid, int sig);
