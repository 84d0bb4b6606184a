// Whole runs of kovaFlowCapture against the test database, starting and
// stopping real nfcapd and sfcapd processes on free UDP ports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pgHarness.h"
#include "testUtil.h"

namespace {

using kova_test::contains;
using kova_test::readFile;
using kova_test::waitFor;

const std::string kCapture = KOVA_CAPTURE_BIN;

// A free port p (the tools bind the wildcard address) for which 10p + shift
// is free too (shift < 0: p alone).
int freePort(int low, int high, int shift = -1) {
  static std::mt19937 random{std::random_device{}()};
  const auto free = [](int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
  };
  for (;;) {
    const int port = std::uniform_int_distribution<int>(low, high)(random);
    if (free(port) && (shift < 0 || free(port * 10 + shift))) return port;
  }
}

// The arguments of a process, each ended by a NUL as /proc gives them.
std::string commandLine(pid_t pid) { return readFile("/proc/" + std::to_string(pid) + "/cmdline"); }

// Gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type close = stat.rfind(')');
  return close == std::string::npos || stat[close + 2] == 'Z';
}

// fork/exec with stdout and stderr appended to out, none of our other
// descriptors, in a process group of its own: a stray group signal from the
// program under test can never reach the test.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
  std::vector<char*> args;
  for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close_range(3, ~0U, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fd);
  return pid;
}

// Ends, by pid, every capture tool a test caused, even when it failed
// half-way: the tools detach and are nobody's children, but they name the
// test's unique directory in their command lines.
class ProcessGuard {
 public:
  explicit ProcessGuard(std::string root) : root_(std::move(root)) {}
  ~ProcessGuard() {
    for (pid_t pid : processesNamingRoot()) kill(pid, SIGTERM);
    waitFor([&] { return processesNamingRoot().empty(); }, std::chrono::seconds(5));
    for (pid_t pid : processesNamingRoot()) kill(pid, SIGKILL);
  }

 private:
  std::vector<pid_t> processesNamingRoot() const {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (pid != getpid() && !ended(pid) && contains(readFile("/proc/" + name + "/cmdline"), root_))
        found.push_back(pid);
    }
    return found;
  }
  std::string root_;
};

struct Outcome {
  int status;
  std::string log, out;
};

class KovaFlowCapture : public kova_test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    for (const std::string& d : {data_, pids_, dir_.file("bin")})
      std::filesystem::create_directory(d);
    writeConfig();
  }

  void writeConfig() {
    kova_test::writeFile(conf_, "[LOG]\nlog_daemon_capture=" + log_ + "\n" +
                                    db().postgresqlSection() + "[KOVA]\ndatadir=" + data_ +
                                    "\npiddir=" + pids_ + "\n[BINARY]\nps=" + ps_ +
                                    "\nnetflows=" + netflows_ + "\nsflows=" + sflows_ + "\n");
  }

  std::string addChannel(const std::string& name, const std::string& protocol, int port,
                         bool deleted = false) {
    return db().scalar("INSERT INTO flows_channel (channel_name, channel_protocol, channel_port, "
                       "channel_delete) VALUES ('" + name + "', '" + protocol + "', '" +
                       std::to_string(port) + "', " + (deleted ? "true" : "false") +
                       ") RETURNING channel_id");
  }

  Outcome run(const std::string& conf = "") {
    std::filesystem::remove(dir_.file("out"));
    const pid_t pid = spawn({kCapture, "-f", conf.empty() ? conf_ : conf}, dir_.file("out"));
    int status = 0;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                 std::chrono::seconds(120))) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    return {kova_test::exitCode(status), readFile(log_), readFile(dir_.file("out"))};
  }

  std::string pidFile(int port) const { return pids_ + "/p" + std::to_string(port) + ".pid"; }
  pid_t pidOf(int port) const { return std::atoi(readFile(pidFile(port)).c_str()); }
  std::string channelCount() { return db().scalar("SELECT count(*) FROM flows_channel"); }

  kova_test::TempDir dir_;
  ProcessGuard guard_{dir_.path()};  // destroyed before dir_
  const std::string data_ = dir_.file("data"), pids_ = dir_.file("pids"),
                    log_ = dir_.file("capture.log"), conf_ = dir_.file("flows.conf");
  std::string ps_ = "/usr/bin/ps", netflows_ = "/usr/bin/nfcapd", sflows_ = "/usr/bin/sfcapd";
};

TEST_F(KovaFlowCapture, StartsEachMissingChannelOnceWithItsDirectoryAndPidFile) {
  const int shortPort = freePort(2000, 6000, 5), nf = shortPort * 10 + 5;
  const int sf = freePort(20000, 60000);
  addChannel("edge1", "netflow", nf);
  addChannel("sf1", "sflow", sf);
  kova_test::writeFile(log_, "STALE LINE\n");
  // A leftover pid file naming a live process makes nfcapd give up after
  // detaching.
  kova_test::writeFile(pidFile(nf), std::to_string(getpid()) + "\n");
  const Outcome first = run();
  ASSERT_EQ(first.status, 0) << first.log << first.out;
  EXPECT_FALSE(contains(first.log, "STALE LINE"));
  const struct {
    std::string tool, name;
    int port;
  } channels[] = {{netflows_, "edge1", nf}, {sflows_, "sf1", sf}};
  for (const auto& c : channels) {
    const std::string port = std::to_string(c.port), directory = data_ + "/" + c.name;
    const std::vector<std::string> expected = {c.tool,   "-D", "-p",   port, "-B",
                                               "200000", "-S", "1",    "-P", pidFile(c.port),
                                               "-z",     "-I", c.name, "-w", directory};
    EXPECT_TRUE(contains(first.log, "#INFO#nfcapd start channel: " + c.tool + " -D -p " + port));
    ASSERT_GT(pidOf(c.port), 1) << first.log;
    std::string joined;
    for (const std::string& argument : expected) joined += argument + '\0';
    EXPECT_EQ(commandLine(pidOf(c.port)), joined);
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::is_empty(directory); })) << directory;
  }
  // A tool on port 10p+5 must not pass for the tool of a channel on port p.
  addChannel("short", "netflow", shortPort);
  const pid_t nfPid = pidOf(nf), sfPid = pidOf(sf);
  const Outcome second = run();
  EXPECT_TRUE(contains(second.log, "#INFO#nfcapd channel OK: edge1\n")) << second.log;
  EXPECT_TRUE(contains(second.log, "#INFO#sfcapd channel OK: sf1\n"));
  EXPECT_TRUE(contains(
      second.log, "start channel: " + netflows_ + " -D -p " + std::to_string(shortPort) + " -B"));
  EXPECT_EQ(second.log.find("start channel:"), second.log.rfind("start channel:"));
  EXPECT_EQ(pidOf(nf), nfPid);
  EXPECT_EQ(pidOf(sf), sfPid);
  EXPECT_FALSE(ended(nfPid) || ended(sfPid) || ended(pidOf(shortPort)));

  db().exec("UPDATE flows_channel SET channel_delete = true WHERE channel_name = 'edge1'");
  const Outcome third = run();
  EXPECT_EQ(third.status, 0);
  EXPECT_TRUE(contains(third.log, "#INFO#SEND END SIGNAL TO " + std::to_string(nfPid) + "\n"))
      << third.log;
  EXPECT_TRUE(waitFor([&] { return ended(nfPid); }));
  EXPECT_EQ(channelCount(), "2");
  EXPECT_FALSE(ended(sfPid));
}

TEST_F(KovaFlowCapture, ListingIdsThatAreNotPlainPidsSendNoSignal) {
  // kovaFlowCapture, the fake ps's parent, leads its own process group: a
  // signal to id 0, to minus its id or to itself would end it.
  kova_test::ChildProcess victim({"/bin/sleep", "300"});
  const int port = freePort(20000, 60000);
  const std::string key = " /usr/bin/nfcapd -D -p " + std::to_string(port) + " -B 200000\n";
  ps_ = dir_.file("bin/ps");  // a fake: real ps never lists such ids
  kova_test::writeScript(ps_, "/usr/bin/printf '%s' \"0" + key + "-$PPID" + key + "+$PPID" + key +
                                  "abc" + key + std::to_string(victim.pid()) + key + "\"\n");
  writeConfig();
  addChannel("edge1", "netflow", port, true);
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0) << outcome.log << outcome.out;
  EXPECT_TRUE(contains(outcome.log, "ERR#Token skipped, not a process id: '-")) << outcome.log;
  EXPECT_TRUE(contains(outcome.log, "SEND END SIGNAL TO " + std::to_string(victim.pid()) + "\n"));
  EXPECT_EQ(victim.wait(), SIGTERM);
  EXPECT_EQ(channelCount(), "0");
}

TEST_F(KovaFlowCapture, OneSixToolGetsTheWrittenArgumentsAndNoneOfOurDescriptors) {
  netflows_ = dir_.file("bin/nfcapd");  // a fake: nfdump 1.6 cannot be installed here
  kova_test::writeScript(netflows_,
                         "[ \"$1\" = -V ] && echo 'nfcapd: Version: 1.6.23' && exit 0\n"
                         "echo \"$@\" >" +
                             dir_.file("args") +
                             "\n"
                             "for fd in /proc/$$/fd/*; do /usr/bin/readlink $fd; done >" +
                             dir_.file("fds") + "\necho started\n");
  writeConfig();
  const int port = freePort(20000, 60000);
  addChannel("old1", "netflow", port);
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(readFile(dir_.file("args")), "-w -D -p " + std::to_string(port) +
                                             " -B 200000 -S 1 -P " + pidFile(port) +
                                             " -z -I old1 -l " + data_ + "/old1\n");
  EXPECT_TRUE(contains(outcome.log, "version 1.6.23, start options -w -D")) << outcome.log;
  EXPECT_TRUE(contains(outcome.log, "#ERR#channel old1 port " + std::to_string(port)));
  const std::string fds = readFile(dir_.file("fds"));
  EXPECT_FALSE(contains(fds, "socket:") || contains(fds, log_)) << fds;
}

TEST_F(KovaFlowCapture, AHungToolStartIsKilledAndThePassGoesOn) {
  sflows_ = dir_.file("bin/sfcapd");  // a fake: a real tool that hangs cannot be made to
  kova_test::writeScript(sflows_, "[ \"$1\" = -V ] && echo 'sfcapd: Version: 1.7.1' && exit 0\n"
                                  "echo $$ >" + dir_.file("hung") + "\nexec /bin/sleep 600\n");
  writeConfig();
  addChannel("stuck", "sflow", freePort(20000, 60000));
  const int nf = freePort(20000, 60000);
  addChannel("edge1", "netflow", nf);
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0) << outcome.log << outcome.out;
  EXPECT_TRUE(contains(outcome.log, "#ERR#command timed out after 30 s and was killed: " + sflows_))
      << outcome.log;
  EXPECT_TRUE(waitFor([&] { return ended(std::atoi(readFile(dir_.file("hung")).c_str())); }));
  ASSERT_GT(pidOf(nf), 1) << outcome.log;
  EXPECT_FALSE(ended(pidOf(nf)));
}

TEST_F(KovaFlowCapture, TwoNodesEachStartAndStopOnlyTheirOwnChannels) {
  const std::string conf1 = dir_.file("flows1.conf"), conf2 = dir_.file("flows2.conf");
  const auto withNode = [&](const std::string& path, const std::string& name, const std::string& channels) {
    std::string text = readFile(conf_);
    text.replace(text.find("[KOVA]\n"), 7, "[KOVA]\nnode_name=" + name + "\nnode_channels=" + channels + "\n");
    kova_test::writeFile(path, text);
  };
  withNode(conf1, "n1", "n1-*");
  withNode(conf2, "n2", "n2-a");
  const int p1 = freePort(20000, 40000), p2 = freePort(40001, 50000), spare = freePort(50001, 60000);
  addChannel("n1-a", "netflow", p1);
  addChannel("n2-a", "netflow", p2);
  addChannel("spare", "netflow", spare);
  ASSERT_EQ(run(conf1).status, 0);
  ASSERT_TRUE(waitFor([&] { return pidOf(p1) > 1; })) << readFile(log_);
  const Outcome second = run(conf2);
  ASSERT_EQ(second.status, 0);
  ASSERT_TRUE(waitFor([&] { return pidOf(p2) > 1; })) << second.log;
  EXPECT_FALSE(contains(second.log, "SEARCH channel: n1-a")) << second.log;
  EXPECT_FALSE(std::filesystem::exists(pidFile(spare)));  // nobody's channel
  const pid_t first = pidOf(p1), other = pidOf(p2);

  db().exec("UPDATE flows_channel SET channel_delete = true WHERE channel_name <> 'spare'");
  ASSERT_EQ(run(conf2).status, 0);
  EXPECT_TRUE(waitFor([&] { return ended(other); }));
  EXPECT_FALSE(ended(first));
  EXPECT_EQ(db().scalar("SELECT string_agg(channel_name, ',' ORDER BY channel_name) FROM flows_channel"),
            "n1-a,spare");
  ASSERT_EQ(run(conf1).status, 0);
  EXPECT_TRUE(waitFor([&] { return ended(first); }));
  EXPECT_EQ(channelCount(), "1");
}

TEST_F(KovaFlowCapture, MissingConfigurationOrUnopenableLog) {
  const Outcome missing = run(dir_.file("none.conf"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "error can't open file: " + dir_.file("none.conf") + "\n");
  EXPECT_FALSE(std::filesystem::exists(log_));
  // Unopenable log: the log goes to standard output instead.
  const std::string log = dir_.file("missing/capture.log");
  kova_test::writeFile(conf_,
                       readFile(conf_).replace(readFile(conf_).find(log_), log_.size(), log));
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(contains(outcome.out, "ERROR can't open file " + log + "\n"));
  EXPECT_TRUE(contains(outcome.out, "#INFO#END PROGRAM\n")) << outcome.out;
}

}  // namespace
