// All spawning, waiting and signalling of child processes lives here.
//
// Commands are started with posix_spawn (glibc uses CLONE_VFORK): the child
// runs no code of ours between clone and exec, so nothing unsafe can happen
// there, and the cost does not grow with the daemon's memory as fork's does.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utf8.h>

#include "exceptions.h"
#include "service.h"

namespace {

const char kSilentText[] = "DAEMON: the plugin does not return anything on the stdout";

// Owns one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Spawn attributes: the child starts with an empty signal mask and every
// signal at its default action, whatever the calling thread blocks or the
// process ignores (the daemon blocks SIGTERM in all its threads).
class SpawnSetup {
 public:
  explicit SpawnSetup(int stdout_fd) {
    posix_spawnattr_init(&attr_);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_init(&actions_);
    // dup2 clears close-on-exec on descriptor 1 only; every other
    // descriptor of ours is close-on-exec and stays out of the child.
    posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// posix_spawn reports a failed clone and a failed exec the same way; these
// two codes are the ones clone gives when the system is short of processes
// or memory, everything else means the program could not be executed.
bool isSpawnResourceError(int error) { return error == EAGAIN || error == ENOMEM; }

// Reaps pid, retrying on interruption. Returns false when waitpid failed.
bool waitChild(pid_t pid, int* status, int options) {
  for (;;) {
    if (waitpid(pid, status, options) == pid) return true;
    if (errno != EINTR) return false;
  }
}

// A child we give up on is killed and reaped, never left as a zombie or a
// stopped orphan.
void killAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  int status;
  waitChild(pid, &status, 0);
}

}  // namespace

bool signalProcess(pid_t pid, int sig) {
  if (pid <= 1) return false;
  return kill(pid, sig) == 0;
}

int service::execute() {
  output.clear();
  const std::string context = name + "\npath:" + plugin_path + " " + parameter;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw serviceException("Error open pipe " + context + strerror(errno));
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);

  std::vector<char*> argv;
  argv.reserve(parameter_list.size() + 2);
  argv.push_back(const_cast<char*>(plugin_path.c_str()));
  for (std::string& argument : parameter_list) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};

  pid_t pid = -1;
  int spawn_error;
  {
    SpawnSetup setup(write_end.get());
    spawn_error = posix_spawn(&pid, plugin_path.c_str(), setup.actions(), setup.attr(),
                              argv.data(), envp);
  }
  write_end.reset();
  if (spawn_error != 0 && isSpawnResourceError(spawn_error))
    throw serviceException("Error create fork " + context + strerror(spawn_error));

  std::string raw;
  int status = 0;
  if (spawn_error != 0) {
    // The program could not be executed: the same text and exit code 2 that
    // a child failing its exec would have produced.
    raw = std::string("DAEMON: plugin is not executable ") + strerror(spawn_error) + "\n";
    status = 2 << 8;
    output = raw;
  } else {
    char buffer[1024];
    for (;;) {
      ssize_t count = read(read_end.get(), buffer, sizeof buffer);
      if (count == 0) break;
      if (count < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        read_end.reset();
        killAndReap(pid);
        throw serviceException("Error read buffer: " + context + strerror(error));
      }
      const void* nul = memchr(buffer, '\0', static_cast<size_t>(count));
      raw.append(buffer, nul ? static_cast<const char*>(nul) - buffer : count);
    }
    output = raw;
    if (!waitChild(pid, &status, WUNTRACED | WCONTINUED)) {
      const int error = errno;
      throw serviceException("Error execute " + context + strerror(error));
    }
  }
  read_end.reset();

  int code;
  if (!WIFEXITED(status)) {
    if (!WIFSIGNALED(status)) killAndReap(pid);  // stopped or continued
    state = 3;
    output = "Error: kova can't execute " + plugin_path;
    throw serviceException("Error: kova can't execute " + context + raw);
  }
  const int exit_code = WEXITSTATUS(status);
  if (exit_code == 255) {
    output = "UNKNOWN: KovaDaemon could not connect to host";
    code = 3;
  } else if (exit_code > 5) {
    output = "Error execute: Bad return code\n" + context + " " + raw;
    code = 3;
  } else {
    code = exit_code;
  }

  std::string cleaned;
  cleaned.reserve(raw.size());
  utf8::replace_invalid(raw.begin(), raw.end(), std::back_inserter(cleaned), ' ');
  state = code;
  if (cleaned.empty() || cleaned == "''") {
    state = 3;
    throw serviceException(kSilentText);
  }
  output = std::move(cleaned);
  return code;
}
