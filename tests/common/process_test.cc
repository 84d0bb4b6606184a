// Tests of the command runner (service::execute) and signalProcess, with a real child program.
#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "exceptions.h"
#include "service.h"
#include "testUtil.h"

namespace {

const std::string kHelper = KOVA_CHILD_HELPER;
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

Outcome runHelper(const std::string& parameter, const std::string& path = kHelper) {
  service command;
  command.name = "probe";
  command.plugin_path = path;
  command.Setparameter(parameter);
  return run(command);
}

std::string toHex(const std::string& bytes) {
  std::string hex;
  for (unsigned char byte : bytes)
    hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  return hex;
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

TEST(Execute, ExitStatusAndOutputGiveStateAndMessage) {
  std::vector<std::pair<std::string, Outcome>> cases;
  for (int code = 0; code <= 5; ++code) {
    cases.push_back({"--print out\n --exit " + std::to_string(code), {code, "out\n", ""}});
    cases.push_back({"--exit " + std::to_string(code), {3, "", kSilent}});
  }
  const std::string context = "probe\npath:" + kHelper + " ", cannot = "Error: kova can't execute ";
  cases.push_back({"--print-hex 2727", {3, "''", kSilent}});
  cases.push_back({"--print-hex 27270a", {0, "''\n", ""}});
  cases.push_back({"--print x --exit 7", {3, "x", ""}});
  cases.push_back(
      {"--exit 7", {3, "Error execute: Bad return code\n" + context + "--exit 7 ", kSilent}});
  cases.push_back({"--print y --exit 255", {3, "y", ""}});
  cases.push_back({"--exit 255", {3, "UNKNOWN: KovaDaemon could not connect to host", kSilent}});
  // Killed by a signal; stopped after closing its output (the runner must
  // neither wait forever for it nor leave it behind).
  const std::string killed = "--print partial --kill-self 9",
                    stopped = "--close-output --kill-self 19";
  cases.push_back({killed, {3, cannot + kHelper, cannot + context + killed + "partial"}});
  cases.push_back({stopped, {3, cannot + kHelper, cannot + context + stopped}});
  for (const auto& [parameter, expected] : cases) {
    const Outcome got = runHelper(parameter);
    EXPECT_EQ(std::tie(got.state, got.output, got.error),
              std::tie(expected.state, expected.output, expected.error))
        << parameter;
  }
  EXPECT_TRUE(noChildLeft());
}

TEST(Execute, UnexecutablePathGivesStateTwo) {
  kova_test::TempDir dir;
  kova_test::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
  chmod(dir.file("plain").c_str(), 0644);
  for (const std::string& path : {dir.file("absent"), dir.file("plain")}) {
    const Outcome outcome = runHelper("", path);
    EXPECT_EQ(outcome.state, 2);
    EXPECT_TRUE(outcome.output.starts_with("DAEMON: plugin is not executable ")) << outcome.output;
    EXPECT_EQ(outcome.output.back(), '\n');
    EXPECT_EQ(outcome.error, "");
  }
}

TEST(Execute, OutputBytesAreKeptWholeCutAtNulAndCleanedOfInvalidUtf8) {
  std::string large(1 << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
  const Outcome big = runHelper("--print-bytes " + std::to_string(large.size()));
  EXPECT_TRUE(big.state == 0 && big.output == large) << "got " << big.output.size() << " bytes";
  // The first case is one write of 1028 bytes: the runner reads 1024, cut at
  // the NUL, then the 4-byte tail as a chunk of its own.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(10, 'A') + '\0' + std::string(1013, 'B') + "tail", "AAAAAAAAAAtail"},
      {std::string("ab\0cd", 5), "ab"},
      {"\xC3\x28", " ("},
      {"\xFF"
       "A",
       " A"},
      {"abc\xE2\x82", "abc "},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const auto& [bytes, expected] : cases) {
    const Outcome outcome = runHelper("--print-hex " + toHex(bytes));
    EXPECT_EQ(outcome.state, 0);
    EXPECT_EQ(outcome.output, expected) << toHex(bytes);
  }
}

TEST(Execute, ChildGetsNoEnvironmentAndQuotedArgumentsWhole) {
  EXPECT_EQ(runHelper("--print-env --print-args 'two words' \"x y\" a\\b").output,
            kHelper + "\n--print-env\n--print-args\ntwo words\nx y\na\\b\n");
}

TEST(Execute, ChildStartsWithEmptyMaskAndDefaultDispositions) {
  // The daemon blocks SIGTERM in every thread; SIGPIPE ignored is common too.
  const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const Outcome outcome = runHelper("--sigmask");
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  signal(SIGPIPE, previous);
  const std::vector<std::string> lines = kova_test::splitLines(outcome.output);
  ASSERT_EQ(lines.size(), 2u) << outcome.output;
  EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000");
  // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored
  // in the child; no program can make use of them, every other bit must be 0.
  const uint64_t ignored = std::stoull(lines[1].substr(7), nullptr, 16);
  EXPECT_EQ(ignored & ~((1ull << 31) | (1ull << 32)), 0u) << lines[1];
}

TEST(Execute, DescriptorsAndChildrenDoNotLeak) {
  // Whatever this test process inherited without close-on-exec may pass on;
  // nothing the runner opens may.
  std::set<int> allowed = {0, 1, 2}, seen;
  const std::set<int> before = openDescriptors();
  for (int fd : before)
    if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC)) allowed.insert(fd);
  for (const std::string& line : kova_test::splitLines(runHelper("--list-fds").output))
    seen.insert(std::stoi(line));
  EXPECT_TRUE(seen.count(1));
  for (int fd : seen) EXPECT_TRUE(allowed.count(fd)) << "descriptor " << fd << " leaked";
  const std::vector<std::string> kinds = {"--print ok", "--exit 1", "--print p --kill-self 9"};
  for (int i = 0; i < 200; ++i)
    runHelper(kinds[i % 3], i % 4 == 3 ? "/nonexistent/plugin" : kHelper);
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_TRUE(noChildLeft());
}

TEST(Execute, ConcurrentRunsKeepTheirOwnOutput) {
  const int threads = 8, runs = 50;
  std::vector<int> wrong(threads, 0);  // each slot written by its own thread only
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, &wrong] {
      for (int n = 0; n < runs; ++n) {
        const std::string text = "T" + std::to_string(t) + "-" + std::to_string(n);
        const Outcome outcome = runHelper("--print " + text + " --exit " + std::to_string(n % 6));
        if (outcome.output != text || outcome.state != n % 6) ++wrong[t];
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(wrong, std::vector<int>(threads, 0));
}

TEST(SignalProcess, RefusesInitAndGroupTargetsAndDeliversToAChild) {
  // Signal 0 only probes: a wrong acceptance fails the test without harm.
  for (pid_t pid : {0, 1, -1}) EXPECT_FALSE(signalProcess(pid, 0)) << pid;
  kova_test::ChildProcess child({kHelper, "--sleep-ms", "60000"});
  EXPECT_TRUE(signalProcess(child.pid(), SIGTERM));
  const int status = child.wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

}  // namespace
