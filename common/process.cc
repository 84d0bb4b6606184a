// All spawning, waiting and signalling of child processes lives here.
//
// Commands are started with posix_spawn (glibc uses CLONE_VFORK): the child
// runs no code of ours between clone and exec, so nothing unsafe can happen
// there, and the cost does not grow with the daemon's memory as fork's does.
// A pidfd tells when the child has exited without reaping it: the unreaped
// child keeps its process group id reserved while we signal the group.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utf8.h>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "exceptions.h"
#include "fileUtil.h"
#include "service.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t kChunk = 1024;
const int kDrainChunks = 64;
// How long output may stay open once the command itself has exited.
const auto kExitGrace = std::chrono::seconds(1);
// Between SIGTERM and SIGKILL for a command past its time limit.
const auto kTermGrace = std::chrono::seconds(5);
// How often a child that closed its output is checked for being stopped.
const auto kStopCheck = std::chrono::milliseconds(100);

}  // namespace

SpawnSetup::SpawnSetup(int stdout_fd) {
  posix_spawnattr_init(&attr_);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr_, &none);
  posix_spawnattr_setsigdefault(&attr_, &all);
  posix_spawnattr_setpgroup(&attr_, 0);
  posix_spawnattr_setflags(&attr_,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_init(&actions_);
  // dup2 clears close-on-exec on descriptor 1 only. Ours are all
  // close-on-exec, but whatever started the daemon may have left it
  // descriptors that are not: nothing past 2 reaches the child.
  posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
}

SpawnSetup::~SpawnSetup() {
  posix_spawn_file_actions_destroy(&actions_);
  posix_spawnattr_destroy(&attr_);
}

namespace {

// One command in flight. The destructor makes sure no child is left behind
// whatever path leaves the run (an exception included).
struct Run {
  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run();

  pid_t pid = -1;  // also the process group id
  UniqueFd pidfd;
  UniqueFd output;  // read end of the pipe, non-blocking
  std::string raw;
  size_t cap = 0;
  Clock::time_point deadline = Clock::time_point::max();
  bool eof = false;
  bool exited = false;  // the child has ended (not yet reaped)
  bool stopped = false;
  bool timed_out = false;
  bool oversize = false;
  bool discard = false;  // output no longer kept (the run has failed anyway)
  bool reaped = false;
};

bool waitChild(pid_t pid, int* status) {
  for (;;) {
    if (waitpid(pid, status, 0) == pid) return true;
    if (errno != EINTR) return false;
  }
}

Run::~Run() {
  if (pid <= 0 || reaped) return;
  kill(pid, SIGKILL);
  killpg(pid, SIGKILL);
  int status;
  waitChild(pid, &status);
}

// posix_spawn reports a failed clone and a failed exec the same way; these
// two codes are the ones clone gives when the system is short of processes
// or memory, everything else means the program could not be executed.
bool isSpawnResourceError(int error) { return error == EAGAIN || error == ENOMEM; }

int msUntil(Clock::time_point limit) {
  if (limit == Clock::time_point::max()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

// Step 1. Returns 0, or the error that kept the program from being executed.
int spawnCommand(service& command, const std::string& context, Run* run) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw runFailedException("Error open pipe " + context + strerror(errno));
  run->output.reset(fds[0]);
  UniqueFd write_end(fds[1]);
  fcntl(run->output.get(), F_SETFL, O_NONBLOCK);

  std::vector<char*> argv;
  argv.reserve(command.parameter_list.size() + 2);
  argv.push_back(const_cast<char*>(command.plugin_path.c_str()));
  for (std::string& argument : command.parameter_list) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  int error;
  {
    SpawnSetup setup(write_end.get());
    const std::string& file = command.exec_path.empty() ? command.plugin_path : command.exec_path;
    error = posix_spawn(&run->pid, file.c_str(), setup.actions(), setup.attr(), argv.data(), envp);
  }
  if (error != 0) {
    run->pid = -1;
    if (isSpawnResourceError(error))
      throw runFailedException("Error create fork " + context + strerror(error));
    return error;
  }
  // glibc 2.36's <sys/pidfd.h> cannot be used from C++ (no C linkage).
  // A pidfd is always close-on-exec.
  run->pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, run->pid, 0)));
  if (!run->pidfd.valid()) throw runFailedException("Error execute " + context + strerror(errno));
  return 0;
}

void keep(Run* run, const char* data, size_t count) {
  const void* nul = memchr(data, '\0', count);
  if (nul) count = static_cast<size_t>(static_cast<const char*>(nul) - data);
  if (run->raw.size() + count > run->cap) {
    run->oversize = true;
    count = run->cap - run->raw.size();
  }
  run->raw.append(data, count);
}

// Reads what the pipe holds now, at most kDrainChunks chunks so that a
// command that never stops printing cannot keep us from the time limit;
// sets eof at end of file.
void drainOutput(Run* run, const std::string& context) {
  char buffer[kChunk];
  for (int chunk = 0; chunk < kDrainChunks; ++chunk) {
    const ssize_t count = read(run->output.get(), buffer, sizeof buffer);
    if (count > 0) {
      if (!run->discard && !run->oversize) keep(run, buffer, static_cast<size_t>(count));
      continue;
    }
    if (count == 0) run->eof = true;
    if (count == 0 || errno == EAGAIN) return;
    if (errno == EINTR) continue;
    throw runFailedException("Error read buffer: " + context + strerror(errno));
  }
}

// Waits until limit for output or for the child's exit, whichever of the
// two is still open; false once limit has passed.
bool pollOnce(Run* run, Clock::time_point limit, const std::string& context) {
  const int timeout = msUntil(limit);
  if (timeout == 0) return false;
  pollfd fds[2];
  nfds_t count = 0;
  pollfd* output = nullptr;
  pollfd* exit = nullptr;
  if (!run->eof) output = &(fds[count++] = {run->output.get(), POLLIN, 0});
  if (!run->exited) exit = &(fds[count++] = {run->pidfd.get(), POLLIN, 0});
  if (poll(fds, count, timeout) < 0 && errno != EINTR)
    throw runFailedException("Error execute " + context + strerror(errno));
  if (output && output->revents != 0) drainOutput(run, context);
  if (exit && exit->revents != 0) run->exited = true;
  return true;
}

// Step 2: until end of file, the time limit, or the grace after the child's
// exit while a descendant keeps the output open.
void readOutput(Run* run, const std::string& context) {
  Clock::time_point grace_end = Clock::time_point::max();
  while (!run->eof) {
    const bool was_running = !run->exited;
    const Clock::time_point limit =
        run->exited ? std::min(grace_end, run->deadline) : run->deadline;
    if (!pollOnce(run, limit, context)) {
      run->timed_out = !run->exited;
      return;
    }
    if (was_running && run->exited) grace_end = Clock::now() + kExitGrace;
  }
}

// Step 3: the output is closed; waits (without reaping) for the child to
// end or stop, within the time limit.
void waitForEnd(Run* run, const std::string& context) {
  while (!run->exited) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(run->pid), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) ==
            0 &&
        info.si_pid == run->pid) {
      run->stopped = info.si_code == CLD_STOPPED || info.si_code == CLD_TRAPPED;
      run->exited = !run->stopped;
      return;
    }
    const Clock::time_point slice = std::min(run->deadline, Clock::now() + kStopCheck);
    if (!pollOnce(run, slice, context) && slice == run->deadline) {
      run->timed_out = true;
      return;
    }
  }
}

// Step 4.
void endGroup(const service& command, Run* run, const std::string& context) {
  if (run->timed_out) {
    killpg(run->pid, SIGTERM);
    const Clock::time_point limit = Clock::now() + kTermGrace;
    run->discard = true;
    while (!(run->exited && run->eof) && pollOnce(run, limit, context)) {
    }
    killpg(run->pid, SIGKILL);
    return;
  }
  if (run->stopped || !command.spare_descendants) killpg(run->pid, SIGKILL);
}

// Step 5a.
int reap(Run* run, const std::string& context) {
  int status = 0;
  const bool ok = waitChild(run->pid, &status);
  const int error = errno;
  run->reaped = true;
  run->output.reset();
  if (!ok) throw runFailedException("Error execute " + context + strerror(error));
  return status;
}

// Step 5b: the exit status and the raw output become state and output.
int settle(service& command, const std::string& context, const std::string& raw, int status) {
  if (!WIFEXITED(status)) {
    command.state = 3;
    command.output = "Error: kova can't execute " + command.plugin_path;
    throw serviceException("Error: kova can't execute " + context + raw);
  }
  const int exit_code = WEXITSTATUS(status);
  int code = exit_code;
  command.output = raw;
  if (exit_code == 255) {
    command.output = "UNKNOWN: KovaDaemon could not connect to host";
    code = 3;
  } else if (exit_code > 5) {
    command.output = "Error execute: Bad return code\n" + context + " " + raw;
    code = 3;
  }
  std::string cleaned;
  cleaned.reserve(raw.size());
  utf8::replace_invalid(raw.begin(), raw.end(), std::back_inserter(cleaned), ' ');
  command.state = code;
  if (cleaned.empty() || cleaned == "''") {
    command.state = 3;
    throw silentPluginException();
  }
  command.output = std::move(cleaned);
  return code;
}

int limitResult(service& command, const std::string& text) {
  command.state = 3;
  command.output = text;
  return 3;
}

}  // namespace

bool signalProcess(pid_t pid, int sig) {
  if (pid <= 1) return false;
  return kill(pid, sig) == 0;
}

int service::execute() {
  output.clear();
  timed_out = false;
  const std::string context = name + "\npath:" + plugin_path + " " + parameter;
  Run run;
  run.cap = output_max;
  if (timeout_s > 0) run.deadline = Clock::now() + std::chrono::seconds(timeout_s);
  const int spawn_error = spawnCommand(*this, context, &run);
  if (spawn_error != 0) {
    // The same text and exit code 2 that a child failing its exec would
    // have produced.
    return settle(*this, context,
                  std::string("DAEMON: plugin is not executable ") + strerror(spawn_error) + "\n",
                  2 << 8);
  }
  readOutput(&run, context);
  if (!run.timed_out && !run.exited) waitForEnd(&run, context);
  endGroup(*this, &run, context);
  const int status = reap(&run, context);
  timed_out = run.timed_out;
  if (run.timed_out)
    return limitResult(*this, "DAEMON: plugin timed out after " + std::to_string(timeout_s) + " s");
  if (run.oversize)
    return limitResult(*this,
                       "DAEMON: plugin output exceeds " + std::to_string(output_max) + " bytes");
  return settle(*this, context, run.raw, status);
}
