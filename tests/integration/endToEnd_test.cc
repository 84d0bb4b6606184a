// The whole chain on loopback: kovaFlowCapture starts a real nfcapd,
// softflowd sends it a known number of NetFlow v9 flows, and the real
// kovaFlowCollector runs the bundled plugins, whose JSON lands in
// flows_stats. Both programs run as an unprivileged user, as their units
// run them, with only their own directories writable.
#include <grp.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemonFixture.h"
#include "flowFixtures.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace {

using kova_test::contains;
using kova_test::readFile;
using kova_test::waitFor;
namespace fs = std::filesystem;

constexpr std::chrono::seconds kWait{60};

// The account both programs run as. The tests run as root in CI, where the
// programs are started as nobody:nogroup with setpriv, the way systemd
// starts them as kova; run by anyone else, the programs run as that user.
struct ServiceAccount {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  std::vector<std::string> setpriv_options;  // empty when not root
};

ServiceAccount serviceAccount() {
  ServiceAccount account;
  if (geteuid() != 0) return account;
  const passwd* user = getpwnam("nobody");
  const group* nogroup = getgrnam("nogroup");
  if (user == nullptr || nogroup == nullptr) throw std::runtime_error("no nobody:nogroup account");
  account.uid = user->pw_uid;
  account.gid = nogroup->gr_gid;
  account.setpriv_options = {"--reuid=" + std::to_string(account.uid),
                             "--regid=" + std::to_string(account.gid), "--clear-groups",
                             "--no-new-privs"};
  return account;
}

// First number of a "Uid:" line of /proc/<pid>/status; -1 when unreadable.
long uidOfProcess(pid_t pid) {
  for (const std::string& line : kova_test::splitLines(readFile("/proc/" + std::to_string(pid) +
                                                                "/status"))) {
    if (line.rfind("Uid:", 0) == 0) return std::stol(line.substr(4));
  }
  return -1;
}

// The database role's password changed to `password` for as long as this
// lives, restored through a connection of its own: with the new password
// the harness cannot connect. Its conninfo is quoted by hand, independently
// of the programs' own quoting.
class RolePassword {
 public:
  RolePassword(const std::string& password, const std::string& quoted_password) {
    db().exec("ALTER ROLE " + db().user() + " PASSWORD '" + sqlEscaped(password) + "'");
    const std::string conninfo = "host=" + db().host() + " port=" + std::to_string(db().port()) +
                                 " dbname=" + db().dbname() + " user=" + db().user() +
                                 " password=" + quoted_password;
    conn_ = PQconnectdb(conninfo.c_str());
  }
  RolePassword(const RolePassword&) = delete;
  RolePassword& operator=(const RolePassword&) = delete;
  ~RolePassword() {
    scalar("ALTER ROLE " + db().user() + " PASSWORD '" + db().password() + "'");
    PQfinish(conn_);
  }
  bool connected() const { return PQstatus(conn_) == CONNECTION_OK; }
  std::string error() const { return PQerrorMessage(conn_); }
  // First value of the first row, or "" (also on failure).
  std::string scalar(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    std::string value;
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0)
      value = PQgetvalue(result, 0, 0);
    PQclear(result);
    return value;
  }

 private:
  static kova_test::TestDatabase& db() { return kova_test::TestDatabase::instance(); }
  static std::string sqlEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) escaped += (c == '\'') ? std::string("''") : std::string(1, c);
    return escaped;
  }
  PGconn* conn_ = nullptr;
};

class EndToEnd : public kova_test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    for (const std::string& d : {data_, run_, state_, plugins_}) fs::create_directory(d);
    // What the units make writable for kova; nothing else is the account's.
    for (const std::string& d : {data_, run_, state_, daemonDir()}) handOver(d);
    for (const char* plugin : {"flow_summary", "capture_status"})
      fs::copy_file(std::string(KOVA_SOURCE_DIR) + "/plugins/" + plugin, plugins_ + "/" + plugin);
    // The flow plugins' shared module sits beside them.
    fs::copy(std::string(KOVA_SOURCE_DIR) + "/plugins/lib", plugins_ + "/lib");
    fs::copy_file(KOVA_CHILD_HELPER, plugins_ + "/child_helper");
    port_ = kova_test::freeUdpPort();
    channel_ = db().scalar(
        "INSERT INTO flows_channel (channel_name, channel_protocol, channel_port) VALUES "
        "('e2e', 'netflow', '" + std::to_string(port_) + "') RETURNING channel_id");
    summary_ = addCollector("flow_summary", "-d \"" + data_ + "\" -s \"" + state_ +
                                                "\" -c $CHANNEL -i $INTERVAL");
    status_ = addCollector("capture_status",
                           "-c $CHANNEL -p " + std::to_string(port_) + " -r \"" + run_ + "\"");
    writeConfig(db().postgresqlSection());
  }

  // Both programs read the one file, as on an installed system: root's,
  // readable by the account's group.
  void writeConfig(const std::string& postgresql_section) {
    daemon_.writeConfig(
        "[LOG]\nlog_info_file=" + daemon_.statusPath() + "\nlog_daemon_file=" +
        daemon_.logPath() + "\nlog_daemon_capture=" + run_ + "/capture.log" +
        "\n\n[KOVA]\ncore_number=1\nthread_number=2\nload_mod=1\ninterval_check_update=300\n"
        "datadir=" + data_ + "\npiddir=" + run_ + "\n\n" + postgresql_section +
        "\n[BINARY]\nps=/usr/bin/ps\nnetflows=/usr/bin/nfcapd\nsflows=/usr/bin/sfcapd\n");
    ASSERT_EQ(chown(daemon_.configPath().c_str(), geteuid(), account_.gid), 0);
    ASSERT_EQ(chmod(daemon_.configPath().c_str(), 0640), 0);
  }

  std::string daemonDir() const { return fs::path(daemon_.configPath()).parent_path(); }
  void handOver(const std::string& path) const {
    ASSERT_EQ(chown(path.c_str(), account_.uid, account_.gid), 0) << path;
  }

  std::string addCollector(const std::string& plugin, const std::string& parameter) {
    const int plugin_id = kova_test::insertPlugin(plugins_ + "/" + plugin, "2 seconds");
    return std::to_string(kova_test::insertCollector(
        {plugin_id, plugin, parameter, std::stoi(channel_), "", 0}));
  }

  void runCapture() {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh",
                                     "/usr/bin/setpriv"};
    argv.insert(argv.end(), account_.setpriv_options.begin(), account_.setpriv_options.end());
    argv.insert(argv.end(), {"--", KOVA_CAPTURE_BIN, "-f", daemon_.configPath()});
    kova_test::ChildProcess capture(argv);
    ASSERT_EQ(kova_test::exitCode(capture.wait(kWait)), 0) << readFile(run_ + "/capture.log");
  }

  // Runs a command to its end; its standard output and error.
  std::string outputOf(const std::vector<std::string>& argv) {
    const std::string out = dir_.file("command.out");
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", out};
    shell.insert(shell.end(), argv.begin(), argv.end());
    kova_test::ChildProcess command(shell);
    command.wait(kWait);
    return readFile(out);
  }

  // softflowd reads the capture file, then waits on its control socket;
  // the next command after the end of the file makes it send every flow it
  // holds and end. Its own output is only written out when it ends.
  void exportFlows(int udp, int tcp) {
    const std::string pcap = dir_.file("flows.pcap"), log = dir_.file("softflowd.log"),
                      control = dir_.file("softflowd.ctl"), total = std::to_string(udp + tcp);
    kova_test::writePcap(pcap, kova_test::distinctFlows(udp, tcp), time(nullptr));
    kova_test::ChildProcess softflowd(
        {"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", log, "/usr/sbin/softflowd", "-r", pcap,
         "-n", "127.0.0.1:" + std::to_string(port_), "-v", "9", "-d", "-c", control, "-p",
         dir_.file("softflowd.pid")});
    ASSERT_TRUE(waitFor([&] {
      return contains(outputOf({"/usr/sbin/softflowctl", "-c", control, "statistics"}),
                      "Packets processed: " + total + "\n");
    }, kWait)) << "softflowd did not read " << pcap;
    if (softflowd.running()) outputOf({"/usr/sbin/softflowctl", "-c", control, "shutdown"});
    ASSERT_EQ(kova_test::exitCode(softflowd.wait(kWait)), 0) << readFile(log);
    ASSERT_TRUE(contains(readFile(log), "Flows exported: " + total + " (" + total + " records)"))
        << readFile(log);
  }

  // An aggregate over the summary collector's rows of flows_stats.
  std::string summaryRows(const std::string& what) {
    return db().scalar("SELECT " + what + " FROM flows_stats WHERE stat_collector_id = " +
                       summary_);
  }
  std::string statusCollector(const std::string& column) {
    return kova_test::collectorField(std::stoi(status_), column);
  }

  const ServiceAccount account_ = serviceAccount();
  kova_test::TempDir dir_;
  kova_test::ProcessesUnder processes_{dir_.path()};  // destroyed before dir_
  const std::string data_ = dir_.file("data"), run_ = dir_.file("run"), state_ = dir_.file("state"),
                    plugins_ = dir_.file("plugins");
  kova_test::CollectorDaemon daemon_{{.setpriv_options = account_.setpriv_options}};
  int port_ = 0;
  std::string channel_, summary_, status_;
};

TEST_F(EndToEnd, FlowsSentToTheCaptureReachFlowsStatsOnce) {
  runCapture();
  const pid_t nfcapd = std::atoi(readFile(run_ + "/p" + std::to_string(port_) + ".pid").c_str());
  ASSERT_GT(nfcapd, 0) << readFile(run_ + "/capture.log");
  EXPECT_EQ(uidOfProcess(nfcapd), account_.uid);
  daemon_.startAndWaitRunning();
  // Both collectors have run: the capture is up, nothing is counted yet.
  ASSERT_TRUE(waitFor([&] { return summaryRows("count(*)") != "0"; }, kWait)) << daemon_.log();
  ASSERT_TRUE(waitFor([&] { return statusCollector("collector_state") == "0"; }, kWait))
      << statusCollector("collector_message");
  EXPECT_EQ(summaryRows("sum((stat_data->>'flows')::int)"), "0");

  exportFlows(23, 4);
  // nfcapd writes its flows out when it rotates its file, every five
  // minutes, or when it stops; the test stops it the product's way, by
  // marking the channel deleted for the capture supervisor. It must first
  // have read every datagram, or they would be lost with it.
  ASSERT_TRUE(waitFor([&] { return kova_test::udpBytesQueued(port_) == 0; }, kWait));
  db().exec("UPDATE flows_channel SET channel_delete = true");
  runCapture();
  ASSERT_TRUE(waitFor([&] { return kova_test::processEnded(nfcapd); }, kWait));

  ASSERT_TRUE(waitFor([&] { return summaryRows("max((stat_data->>'flows')::int)") == "27"; },
                      kWait))
      << daemon_.log();
  // Later runs add nothing: every flow is counted exactly once.
  const int runs = std::stoi(summaryRows("count(*)"));
  ASSERT_TRUE(waitFor([&] { return std::stoi(summaryRows("count(*)")) >= runs + 2; }, kWait));
  EXPECT_EQ(summaryRows("sum((stat_data->>'flows')::int)"), "27");
  // The plugin kept its ledger as the account too.
  ASSERT_FALSE(fs::is_empty(state_));
  for (const fs::directory_entry& entry : fs::directory_iterator(state_)) {
    struct stat info;
    ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, account_.uid) << entry.path();
  }

  // With the capture gone the status collector fails, saying why.
  ASSERT_TRUE(waitFor([&] { return statusCollector("collector_state") == "2"; }, kWait));
  EXPECT_TRUE(contains(statusCollector("collector_message"),
                       "CRITICAL: capture of channel e2e (port " + std::to_string(port_) +
                           ") is down"));
  EXPECT_EQ(daemon_.stop(), 0) << daemon_.log();
}

TEST_F(EndToEnd, AnyPasswordAndExtraConnectionOptionsWorkForBothPrograms) {
  // A blank, a quote, a backslash and "=": unquoted, any of them would end
  // the value or start a keyword of its own.
  const std::string password = "p w'd\\x=y";
  writeConfig("[POSTGRESQL]\nconnection_number=2\nPGSQL_host=" + db().host() +
              "\nPGSQL_port=" + std::to_string(db().port()) + "\nPGSQL_db=" + db().dbname() +
              "\nPGSQL_username=" + db().user() + "\nPGSQL_pwd=" + password +
              "\nPGSQL_options=connect_timeout=10 application_name='kova e2e'\n");
  RolePassword role(password, "'p w\\'d\\\\x=y'");
  ASSERT_TRUE(role.connected()) << role.error();

  ASSERT_NO_FATAL_FAILURE(runCapture());
  EXPECT_TRUE(contains(readFile(run_ + "/capture.log"), "#INFO#END PROGRAM"))
      << readFile(run_ + "/capture.log");
  ASSERT_TRUE(daemon_.startAndWaitRunning());
  // The main pool, the core record's two connections and the replay
  // connection, named by the options; the record's pool records the runs.
  EXPECT_EQ(role.scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'kova e2e'"),
            "4");
  EXPECT_TRUE(waitFor([&] {
    return role.scalar("SELECT collector_state FROM flows_collector WHERE collector_id = " +
                       status_) == "0";
  }, kWait)) << daemon_.log();
  EXPECT_EQ(daemon_.stop(), 0) << daemon_.log();
}

TEST_F(EndToEnd, SighupMovesTheLogToANewFileAtTheSamePath) {
  // Plugins start with no signal blocked nor ignored although the daemon
  // blocks SIGHUP and SIGTERM in every thread.
  const std::string mask = addCollector("child_helper", "--sigmask --exit 1");
  ASSERT_TRUE(daemon_.startAndWaitRunning());
  EXPECT_EQ(db().scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                        "'kovaFlowCollector'"),
            "4");
  const std::string log = daemon_.logPath();
  for (const std::string round : {"1", "2"}) {
    // What logrotate does: move the file away, create an empty one for the
    // account (here with a line of its own, which must stay), signal.
    fs::rename(log, log + "." + round);
    kova_test::writeFile(log, "kept " + round + "\n");
    handOver(log);
    daemon_.sendSignal(SIGHUP);
    ASSERT_TRUE(daemon_.waitForLog("#INFO#log file reopened")) << readFile(log + "." + round);
    EXPECT_EQ(kova_test::splitLines(daemon_.log()).front(), "kept " + round);
    EXPECT_EQ(daemon_.countInLog("log file reopened"), 1);
  }
  ASSERT_TRUE(waitFor([&] { return kova_test::collectorField(std::stoi(mask), "collector_state") == "1"; },
                      kWait)) << daemon_.log();
  const std::vector<std::string> lines =
      kova_test::splitLines(kova_test::collectorField(std::stoi(mask), "collector_message"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000");
  // glibc's posix_spawn leaves its two internal signals ignored.
  EXPECT_EQ(std::stoull(lines[1].substr(7), nullptr, 16) & ~((1ull << 31) | (1ull << 32)), 0u)
      << lines[1];

  EXPECT_EQ(daemon_.stop(), 0) << daemon_.log();
  EXPECT_TRUE(contains(daemon_.log(), "#INFO#KOVA is stopping...."));
  EXPECT_FALSE(contains(readFile(log + ".2"), "KOVA is stopping"));
}

}  // namespace
