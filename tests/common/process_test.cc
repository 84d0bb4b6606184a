// Tests of the command runner (service::execute) and signalProcess, with
// /bin/sh one-liners as children.
#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "exceptions.h"
#include "service.h"
#include "testUtil.h"

namespace {

const std::string kSilent = "DAEMON: the plugin does not return anything on the stdout";

// What one execute() call left behind; error is empty when it returned.
struct Outcome {
  int state;
  std::string output;
  std::string error;
};

Outcome run(service& command) {
  try {
    EXPECT_EQ(command.execute(), command.state);
  } catch (const serviceException& e) {
    return {command.state, command.output, e.what()};
  }
  return {command.state, command.output, ""};
}

// Runs `sh -c script`; the script is one argument.
Outcome runShell(const std::string& script, int timeout_s = 0, size_t output_max = 1048576) {
  service command;
  command.name = "probe";
  command.plugin_path = "/bin/sh";
  command.parameter = "-c " + script;
  command.parameter_list = {"-c", script};
  command.timeout_s = timeout_s;
  command.output_max = output_max;
  return run(command);
}

Outcome runProgram(const std::string& path, const std::string& parameter) {
  service command;
  command.name = "probe";
  command.plugin_path = path;
  command.Setparameter(parameter);
  return run(command);
}

std::set<int> openDescriptors() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(dir))
      fds.insert(atoi(entry->d_name));
  closedir(dir);
  return fds;
}

// True when this process has no child at all, zombie or alive.
bool noChildLeft() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// A process that exists and is not a zombie (killed orphans may wait for
// their new parent to reap them).
bool alive(const std::string& pid_text) {
  const std::string stat = kova_test::readFile("/proc/" + pid_text + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

TEST(Execute, ExitStatusAndOutputGiveStateAndMessage) {
  const std::string context = "probe\npath:/bin/sh -c ", cannot = "Error: kova can't execute ";
  std::vector<std::pair<std::string, Outcome>> cases;
  for (int code = 0; code <= 5; ++code) {
    const std::string exit = "exit " + std::to_string(code);
    cases.push_back({"echo out; " + exit, {code, "out\n", ""}});
    cases.push_back({exit, {3, "", kSilent}});
  }
  cases.push_back({"printf \"''\"", {3, "''", kSilent}});
  cases.push_back({"printf \"''\\n\"", {0, "''\n", ""}});
  cases.push_back({"printf x; exit 7", {3, "x", ""}});
  cases.push_back({"exit 7", {3, "Error execute: Bad return code\n" + context + "exit 7 ", kSilent}});
  cases.push_back({"printf y; exit 255", {3, "y", ""}});
  cases.push_back({"exit 255", {3, "UNKNOWN: KovaDaemon could not connect to host", kSilent}});
  // Killed by a signal; stopped after closing its output (the runner must
  // neither wait forever for it nor leave it behind).
  const std::string killed = "printf partial; kill -9 $$", stopped = "exec >&-; kill -STOP $$";
  cases.push_back({killed, {3, cannot + "/bin/sh", cannot + context + killed + "partial"}});
  cases.push_back({stopped, {3, cannot + "/bin/sh", cannot + context + stopped}});
  for (const auto& [script, expected] : cases) {
    const Outcome got = runShell(script);
    EXPECT_EQ(std::tie(got.state, got.output, got.error),
              std::tie(expected.state, expected.output, expected.error))
        << script;
  }
  EXPECT_TRUE(noChildLeft());
}

TEST(Execute, UnexecutablePathGivesStateTwo) {
  kova_test::TempDir dir;
  kova_test::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
  chmod(dir.file("plain").c_str(), 0644);
  for (const std::string& path : {dir.file("absent"), dir.file("plain")}) {
    const Outcome outcome = runProgram(path, "");
    EXPECT_EQ(outcome.state, 2);
    EXPECT_TRUE(outcome.output.starts_with("DAEMON: plugin is not executable ")) << outcome.output;
    EXPECT_EQ(outcome.output.back(), '\n');
    EXPECT_EQ(outcome.error, "");
  }
}

TEST(Execute, OutputIsKeptWholeUpToTheCapCutAtNulAndCleanedOfInvalidUtf8) {
  // Exactly the cap is kept whole; one byte more is refused, and a command
  // printing far more is read to its end without being kept.
  const std::string mib = "head -c 1048576 /dev/zero | tr '\\0' a";
  EXPECT_EQ(runShell(mib).output, std::string(1048576, 'a'));
  const std::string over = "DAEMON: plugin output exceeds 1048575 bytes";
  const Outcome capped = runShell(mib, 0, 1048575);
  EXPECT_EQ(capped.state, 3);
  EXPECT_EQ(capped.output, over);
  const Outcome flood = runShell("yes | head -c 50000000; echo done", 0, 1000);
  EXPECT_EQ(flood.output, "DAEMON: plugin output exceeds 1000 bytes");
  // One write of 1028 bytes: the runner reads 1024, cut at the NUL, then
  // the 4-byte tail as a chunk of its own.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"printf AAAAAAAAAA; printf '\\0'; head -c 1013 /dev/zero | tr '\\0' B; printf tail",
       "AAAAAAAAAAtail"},
      {"printf 'ab\\0cd'", "ab"},
      {"printf '\\303\\050'", " ("},
      {"printf '\\377A'", " A"},
      {"printf 'abc\\342\\202'", "abc "},
      {"printf '\\303\\251t\\303\\251'", "\xC3\xA9t\xC3\xA9"},
  };
  for (const auto& [script, expected] : cases) {
    // Written to a file first, so that cat hands it over in one write.
    const Outcome outcome =
        runShell("f=$(mktemp); { " + script + "; } >$f; cat $f; rm -f $f");
    EXPECT_EQ(outcome.state, 0);
    EXPECT_EQ(outcome.output, expected) << script;
  }
}

TEST(Execute, ChildGetsNoEnvironmentAndQuotedArgumentsWhole) {
  EXPECT_EQ(runProgram("/usr/bin/env", "").error, kSilent);
  EXPECT_EQ(runProgram("/usr/bin/printf", "%s| 'two words' \"x y\" a\\b").output,
            "two words|x y|a\\b|");
}

TEST(Execute, ChildStartsWithEmptyMaskDefaultDispositionsAndItsOwnGroup) {
  // The daemon blocks SIGTERM and SIGHUP in every thread; SIGPIPE ignored
  // is common too.
  const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  // grep reads its own status: the exec'ed program itself, not a shell.
  const Outcome outcome = runProgram("/bin/grep", "-E ^Sig(Blk|Ign) /proc/self/status");
  const std::string group = runShell("ps -o pid=,pgid= -p $$").output;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  signal(SIGPIPE, previous);
  const std::vector<std::string> lines = kova_test::splitLines(outcome.output);
  ASSERT_EQ(lines.size(), 2u) << outcome.output;
  EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000");
  // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored
  // in the child; no program can make use of them, every other bit must be 0.
  const uint64_t ignored = std::stoull(lines[1].substr(7), nullptr, 16);
  EXPECT_EQ(ignored & ~((1ull << 31) | (1ull << 32)), 0u) << lines[1];
  std::istringstream ids(group);
  pid_t pid = 0, leader = 0;
  ids >> pid >> leader;
  EXPECT_EQ(pid, leader) << group;
}

TEST(Execute, TimeLimitAndLeftoverDescendantsEndTheWholeGroup) {
  kova_test::TempDir dir;
  const std::string pids = dir.file("pids");
  struct Case {
    std::string script;
    int timeout_s;
    Outcome expected;
  };
  const std::string late = "DAEMON: plugin timed out after 1 s";
  const std::vector<Case> cases = {
      // Hangs, with a descendant in its group.
      {"sleep 60 & echo $! >>" + pids + "; echo partial; sleep 60", 1, {3, late, ""}},
      // Ignores SIGTERM: SIGKILL follows.
      {"trap '' TERM; echo $$ >>" + pids + "; while :; do sleep 1; done", 1, {3, late, ""}},
      // Exits at once, leaving a descendant that holds the output open: the
      // result is its own, and the descendant is killed.
      {"sleep 60 & echo $! >>" + pids + "; echo '{}'", 0, {0, "{}\n", ""}},
      // A descendant that does not hold the output is not left behind either.
      {"sleep 60 >/dev/null & echo $! >>" + pids + "; echo ok", 0, {0, "ok\n", ""}},
  };
  for (const Case& c : cases) {
    const Outcome got = runShell(c.script, c.timeout_s);
    EXPECT_EQ(std::tie(got.state, got.output, got.error),
              std::tie(c.expected.state, c.expected.output, c.expected.error))
        << c.script;
  }
  EXPECT_TRUE(noChildLeft());
  const std::vector<std::string> started = kova_test::splitLines(kova_test::readFile(pids));
  EXPECT_EQ(started.size(), cases.size());
  for (const std::string& pid : started)
    EXPECT_TRUE(kova_test::waitFor([&] { return !alive(pid); })) << "process " << pid << " left";
}

TEST(Execute, DescriptorsAndChildrenDoNotLeak) {
  // Whatever this test process inherited without close-on-exec may pass on;
  // nothing the runner opens may.
  std::set<int> allowed = {0, 1, 2}, seen;
  const std::set<int> before = openDescriptors();
  for (int fd : before)
    if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC)) allowed.insert(fd);
  std::istringstream listed(runShell("ls /proc/$$/fd; true").output);
  for (int fd; listed >> fd;) seen.insert(fd);
  EXPECT_TRUE(seen.count(1));
  for (int fd : seen) EXPECT_TRUE(allowed.count(fd)) << "descriptor " << fd << " leaked";
  const std::vector<std::string> kinds = {"echo ok", "exit 1", "printf p; kill -9 $$"};
  for (int i = 0; i < 150; ++i) {
    if (i % 4 == 3)
      runProgram("/nonexistent/plugin", "");
    else
      runShell(kinds[i % 3]);
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_TRUE(noChildLeft());
}

TEST(SignalProcess, RefusesInitAndGroupTargetsAndDeliversToAChild) {
  // Signal 0 only probes: a wrong acceptance fails the test without harm.
  for (pid_t pid : {0, 1, -1}) EXPECT_FALSE(signalProcess(pid, 0)) << pid;
  kova_test::ChildProcess child({"/bin/sleep", "60"});
  EXPECT_TRUE(signalProcess(child.pid(), SIGTERM));
  const int status = child.wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

}  // namespace
