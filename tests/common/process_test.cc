// Tests of the command runner (service::execute), with /bin/sh one-liners
// as children.
#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// State, output, and the error's text (empty when execute() returned).
using Outcome = std::tuple<int, std::string, std::string>;

// Runs path with arguments; the parameter text (quoted by error messages) is them joined.
Outcome runProgram(const std::string& path, const std::vector<std::string>& arguments,
                   int timeout_s = 0, size_t output_max = 1048576) {
  service command;
  command.name = "probe";
  command.plugin_path = path;
  command.parameter_list = arguments;
  for (const std::string& argument : arguments)
    command.parameter += (command.parameter.empty() ? "" : " ") + argument;
  command.timeout_s = timeout_s;
  command.output_max = output_max;
  try {
    EXPECT_EQ(command.execute(), command.state);
  } catch (const serviceException& e) {
    return {command.state, command.output, e.what()};
  }
  return {command.state, command.output, ""};
}

// First: a descriptor leaked into the children would also keep the table
// below waiting for an end of output that never comes.
TEST(Execute, ChildStartsWithoutEnvironmentOurDescriptorsOrMaskInItsOwnGroup) {
  EXPECT_EQ(std::get<2>(runProgram("/usr/bin/env", {})), kSilent);
  // Neither what the runner opens nor what the process inherited without
  // close-on-exec (here 10 and 251) reaches a child.
  dup2(0, 10), dup2(0, 251);
  std::istringstream listed(std::get<1>(runProgram("/bin/sh", {"-c", "ls /proc/$$/fd; true"})));
  close(10), close(251);
  std::set<int> seen;
  for (int fd; listed >> fd;) seen.insert(fd);
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  // The daemon blocks SIGTERM and SIGHUP in every thread; SIGPIPE ignored
  // is common too.
  const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  // grep reads its own status: the exec'ed program itself, not a shell.
  const std::string status = std::get<1>(
      runProgram("/bin/grep", {"-E", "^(NSpid|NSpgid|SigBlk|SigIgn):", "/proc/self/status"}));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  signal(SIGPIPE, previous);
  const std::vector<std::string> lines = kova_test::splitLines(status);
  ASSERT_EQ(lines.size(), 4u) << status;
  EXPECT_EQ(lines[0].substr(6), lines[1].substr(7)) << status;  // the group's leader
  EXPECT_EQ(lines[2], "SigBlk:\t0000000000000000");
  // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored
  // in the child; no program can make use of them, every other bit must be 0.
  const uint64_t ignored = std::stoull(lines[3].substr(7), nullptr, 16);
  EXPECT_EQ(ignored & ~((1ull << 31) | (1ull << 32)), 0u) << lines[3];
}

// What a command does, and the state and output it gives. Every kind must also leave no
// descriptor open in this process and no child, and kill what it started in its group.
TEST(Execute, OutcomesGiveStateAndOutputAndLeaveNothingBehind) {
  kova_test::TempDir dir;
  const std::string pids = dir.file("pids"), context = "probe\npath:/bin/sh -c ";
  const std::string cannot = "Error: kova can't execute ", over = "DAEMON: plugin output exceeds ";
  const std::string late = "DAEMON: plugin timed out after 1 s",
                    no_exec = "DAEMON: plugin is not executable ";
  struct Case {
    std::string script;
    Outcome expected;
    int timeout_s = 0;
    size_t output_max = 1048576;
    std::string path = "/bin/sh";
  };
  std::vector<Case> cases;
  for (int code = 0; code <= 5; ++code) {
    const std::string exit = "exit " + std::to_string(code);
    cases.push_back({"echo out; " + exit, {code, "out\n", ""}});
    cases.push_back({exit, {3, "", kSilent}});
  }
  cases.push_back({"printf \"''\"", {3, "''", kSilent}});
  cases.push_back({"printf \"''\\n\"", {0, "''\n", ""}});
  cases.push_back({"printf x; exit 7", {3, "x", ""}});
  cases.push_back(
      {"exit 7", {3, "Error execute: Bad return code\n" + context + "exit 7 ", kSilent}});
  cases.push_back({"printf y; exit 255", {3, "y", ""}});
  cases.push_back({"exit 255", {3, "UNKNOWN: KovaDaemon could not connect to host", kSilent}});
  // Killed by a signal; stopped after closing its output (the runner must
  // neither wait forever for it nor leave it behind).
  const std::string killed = "printf partial; kill -9 $$", stopped = "exec >&-; kill -STOP $$";
  cases.push_back({killed, {3, cannot + "/bin/sh", cannot + context + killed + "partial"}});
  cases.push_back({stopped, {3, cannot + "/bin/sh", cannot + context + stopped}});
  // Absent, and a plain file without execute permission: the text a failed exec would give.
  cases.push_back(
      {"", {2, no_exec + "No such file or directory\n", ""}, 0, 1048576, "/nonexistent"});
  cases.push_back({"", {2, no_exec + "Permission denied\n", ""}, 0, 1048576, "/etc/passwd"});
  // Exactly the cap is kept whole; one byte more is refused, and a command
  // printing far more is read to its end without being kept.
  const std::string mib = "head -c 1048576 /dev/zero | tr '\\0' a";
  cases.push_back({mib, {0, std::string(1048576, 'a'), ""}});
  cases.push_back({mib, {3, over + "1048575 bytes", ""}, 0, 1048575});
  cases.push_back({"yes | head -c 50000000; echo done", {3, over + "1000 bytes", ""}, 0, 1000});
  // Each written to a file first, so that cat hands it over in one write. 1028 bytes: the runner
  // reads 1024, cut at the NUL, then the 4-byte tail as a chunk of its own.
  for (const auto& [script, expected] : std::vector<std::pair<std::string, std::string>>{
           {"printf AAAAAAAAAA; printf '\\0'; head -c 1013 /dev/zero | tr '\\0' B; printf tail",
            "AAAAAAAAAAtail"},
           {"printf '\\303\\050'", " ("},       // a bad sequence becomes one blank
           {"printf 'abc\\342\\202'", "abc "},  // so does one cut short at the end
           {"printf '\\303\\251t\\303\\251'", "\xC3\xA9t\xC3\xA9"}})
    cases.push_back({"f=$(mktemp); { " + script + "; } >$f; cat $f; rm -f $f", {0, expected, ""}});
  // Hangs, with a descendant in its group; ignores SIGTERM, so SIGKILL follows.
  cases.push_back({"sleep 60 & echo $! >>" + pids + "; echo partial; sleep 60", {3, late, ""}, 1});
  cases.push_back(
      {"trap '' TERM; echo $$ >>" + pids + "; while :; do sleep 1; done", {3, late, ""}, 1});
  // Exits at once, leaving a descendant that holds the output open: the result is its own, and
  // the descendant is killed; one that does not hold the output is not left behind either.
  cases.push_back({"sleep 60 & echo $! >>" + pids + "; echo '{}'", {0, "{}\n", ""}});
  cases.push_back({"sleep 60 >/dev/null & echo $! >>" + pids + "; echo ok", {0, "ok\n", ""}});
  const std::set<int> before = kova_test::openDescriptors();
  for (const Case& c : cases) {
    EXPECT_EQ(runProgram(c.path, {"-c", c.script}, c.timeout_s, c.output_max), c.expected)
        << c.path << " " << c.script;
  }
  EXPECT_EQ(kova_test::openDescriptors(), before);
  int status;  // no child at all, zombie or alive
  EXPECT_TRUE(waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD);
  const std::vector<std::string> started = kova_test::splitLines(kova_test::readFile(pids));
  EXPECT_EQ(started.size(), 4u);
  for (const std::string& pid : started)
    EXPECT_TRUE(kova_test::waitFor([&] { return kova_test::processEnded(std::stoi(pid)); }))
        << "process " << pid << " left";
}

}  // namespace
