// The throwaway PostgreSQL server of a test binary, and its watchdog.
#include "pgHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kova_test {

namespace {

const std::string kBinDir = "/usr/lib/postgresql/15/bin";
const std::string kSuperUser = "postgres";
const std::string kSuperPassword = "kova-test-superuser-pwd";
const char* const kTables =
    "flows_stats, flows_updel_collector, flows_collector, flows_channel, flows_collector_plugins";

// Runs at the watchdog's stdin EOF, i.e. when the test process is gone,
// whatever way it went. Arguments: root dir, data dir, pg_ctl command.
const char* const kWatchdogScript =
    "dir=$1; data=$2; shift 2\n"
    "cat >/dev/null\n"
    "[ -d \"$dir\" ] || exit 0\n"
    "\"$@\" stop -D \"$data\" -m immediate -w -t 30\n"
    "if [ -f \"$data/postmaster.pid\" ]; then\n"
    "  kill -KILL \"$(head -n 1 \"$data/postmaster.pid\")\"\n"
    "fi\n"
    "rm -rf \"$dir\"\n";

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

class FdCloser {
 public:
  explicit FdCloser(int descriptor) : fd(descriptor) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
  const int fd;
};

struct Connection {
  PGconn* conn;
  explicit Connection(const std::string& conninfo) : conn(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(conn) != CONNECTION_OK) {
      std::string text = PQerrorMessage(conn);
      PQfinish(conn);
      throw std::runtime_error("cannot connect to the test database: " + text);
    }
    // Set-up statements are noisy ("... does not exist, skipping").
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { PQfinish(conn); }
};

struct Result {
  PGresult* result;
  Result(PGconn* conn, const std::string& sql) : result(PQexec(conn, sql.c_str())) {
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string text = PQerrorMessage(conn);
      PQclear(result);
      throw std::runtime_error("test database statement failed: " + text + "statement: " + sql);
    }
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { PQclear(result); }
};

std::string conninfoFor(int port, const std::string& db, const std::string& user,
                        const std::string& password) {
  return "host=127.0.0.1 port=" + std::to_string(port) + " dbname=" + db + " user=" + user +
         " password=" + password;
}

// A port nobody listens on right now; the server may still lose it to
// someone else before it binds, hence the retries in start().
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw systemError("socket");
  FdCloser closer{fd};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) throw systemError("bind");
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw systemError("getsockname");
  return ntohs(address.sin_port);
}

bool runningAsRoot() { return geteuid() == 0; }

void chownToPostgres(const std::string& path) {
  if (!runningAsRoot()) return;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  getpwnam_r("postgres", &entry, buffer, sizeof buffer, &found);
  if (found == nullptr)
    throw std::runtime_error("running as root but there is no `postgres` user to run the server");
  if (chown(path.c_str(), entry.pw_uid, entry.pw_gid) != 0) throw systemError("chown " + path);
}

// PostgreSQL refuses to run as root: its tools then go through runuser.
std::vector<std::string> asServerUser(const std::vector<std::string>& command) {
  std::vector<std::string> argv;
  if (runningAsRoot()) argv = {"/usr/sbin/runuser", "-u", "postgres", "--"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// fork + execve with stdin, stdout and stderr as given, every other
// descriptor closed (the server must not keep any of ours open) and default
// signal handling. Returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, int in_fd, int out_fd) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  char path_env[] = "PATH=/usr/bin:/bin:/usr/sbin:/sbin";
  char locale_env[] = "LC_ALL=C";
  char* env[] = {path_env, locale_env, nullptr};
  pid_t pid = fork();
  if (pid < 0) throw systemError("fork for " + argv[0]);
  if (pid > 0) return pid;
  // Child: async-signal-safe calls only until execve.
  if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) _exit(126);
  close_range(3, ~0U, 0);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(args[0], args.data(), env);
  _exit(127);
}

int waitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw systemError("waitpid");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int openDevNull(int flags) {
  int fd = open("/dev/null", flags | O_CLOEXEC);
  if (fd < 0) throw systemError("open /dev/null");
  return fd;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void appendFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::app);
  file << text;
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string serverSettings(const std::string& socket_dir) {
  return "\n# Test server: loopback only, no durability, room for many pools.\n"
         "listen_addresses = '127.0.0.1'\n"
         "unix_socket_directories = '" + socket_dir + "'\n"
         "fsync = off\n"
         "full_page_writes = off\n"
         "shared_buffers = 16MB\n"
         "max_connections = 200\n"
         "autovacuum = off\n";
}

}  // namespace

TestDatabase& TestDatabase::instance() {
  static TestDatabase database;
  if (!database.startup_error_.empty()) throw std::runtime_error(database.startup_error_);
  return database;
}

TestDatabase::TestDatabase() : owner_pid_(getpid()) {
  const auto begin = std::chrono::steady_clock::now();
  try {
    start();
  } catch (const std::exception& error) {
    // The whole story once on stderr; every test that needs the server then
    // fails with its first line.
    const std::string text = error.what();
    std::cerr << "test PostgreSQL server did not start: " << text << std::endl;
    startup_error_ = "test PostgreSQL server did not start: " + text.substr(0, text.find('\n'));
    removeEverything();
    return;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - begin);
  std::cerr << "[pgHarness] PostgreSQL ready on 127.0.0.1:" << port_ << " in " << elapsed.count()
            << " ms (" << root_dir_ << ")" << std::endl;
}

TestDatabase::~TestDatabase() {
  // A forked child of a test that exits through exit() must not stop the
  // server of its parent.
  if (getpid() != owner_pid_) return;
  removeEverything();
}

void TestDatabase::start() {
  char pattern[] = "/tmp/kova-pg-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw systemError("mkdtemp");
  root_dir_ = pattern;
  data_dir_ = root_dir_ + "/data";
  chownToPostgres(root_dir_);
  const std::string output = root_dir_ + "/tools.log";
  output_fd_ = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (output_fd_ < 0) throw systemError("open " + output);
  startWatchdog();
  initCluster();
  for (int attempt = 1;; ++attempt) {
    port_ = freePort();
    try {
      startServer();
      break;
    } catch (const std::exception&) {
      if (attempt == 3) throw;
    }
  }
  createRoleAndDatabase();
}

// The watchdog is a grandchild in its own session: it is not ours to reap,
// a waitpid(-1) of a test never sees it, and a signal to our process group
// does not reach it. It holds the read end of a pipe whose write end only
// this process has (close-on-exec), so it wakes up when we are gone.
void TestDatabase::startWatchdog() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw systemError("pipe2");
  FdCloser read_end{ends[0]};
  watchdog_pipe_ = ends[1];
  FdCloser null_out{openDevNull(O_WRONLY)};
  std::vector<std::string> argv = {"/usr/bin/setsid", "-f",     "/bin/sh",  "-c",
                                    kWatchdogScript,  "kova-pg-watchdog", root_dir_, data_dir_};
  for (const std::string& arg : asServerUser({kBinDir + "/pg_ctl"})) argv.push_back(arg);
  if (waitExit(spawn(argv, read_end.fd, null_out.fd)) != 0)
    throw std::runtime_error("cannot start the watchdog of the test server");
}

void TestDatabase::initCluster() {
  const std::string password_file = root_dir_ + "/superuser-password";
  appendFile(password_file, kSuperPassword + "\n");
  chownToPostgres(password_file);
  runTool({kBinDir + "/initdb", "-D", data_dir_, "-U", kSuperUser, "--pwfile=" + password_file,
           "--auth-host=scram-sha-256", "--auth-local=scram-sha-256", "--no-sync", "--locale=C",
           "--encoding=UTF8", "--no-instructions"});
  appendFile(data_dir_ + "/postgresql.conf", serverSettings(root_dir_));
}

void TestDatabase::startServer() {
  runTool({kBinDir + "/pg_ctl", "start", "-D", data_dir_, "-w", "-t", "60", "-l",
           root_dir_ + "/server.log", "-o", "-p " + std::to_string(port_)});
  running_ = true;
}

void TestDatabase::stopServer(const std::string& mode) {
  running_ = false;
  runTool({kBinDir + "/pg_ctl", "stop", "-D", data_dir_, "-m", mode, "-w", "-t", "60"});
}

void TestDatabase::createRoleAndDatabase() {
  {
    Connection admin(conninfoFor(port_, "postgres", kSuperUser, kSuperPassword));
    Result role(admin.conn, "CREATE ROLE " + user() + " LOGIN PASSWORD '" + password() + "'");
    Result database(admin.conn, "CREATE DATABASE " + dbname() + " OWNER " + user());
  }
  const std::string schema = fileText(KOVA_SCHEMA_FILE);
  if (schema.empty()) throw std::runtime_error("cannot read " KOVA_SCHEMA_FILE);
  exec(schema);
}

void TestDatabase::removeEverything() {
  if (running_) {
    try {
      stopServer("fast");
    } catch (const std::exception& error) {
      std::cerr << "[pgHarness] " << error.what() << std::endl;
    }
  }
  if (!root_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(root_dir_, ignored);
  }
  if (output_fd_ >= 0) close(output_fd_);
  output_fd_ = -1;
  // Last: the watchdog, now woken, finds nothing left to clean.
  if (watchdog_pipe_ >= 0) close(watchdog_pipe_);
  watchdog_pipe_ = -1;
}

void TestDatabase::runTool(const std::vector<std::string>& args) {
  FdCloser null_in{openDevNull(O_RDONLY)};
  int status = waitExit(spawn(asServerUser(args), null_in.fd, output_fd_));
  if (status != 0)
    throw std::runtime_error(
        failureReport(args[0] + " " + args[1] + " exited with " + std::to_string(status)));
}

std::string TestDatabase::failureReport(const std::string& what) const {
  return what + "\n--- tool output ---\n" + fileText(root_dir_ + "/tools.log") +
         "--- server log ---\n" + fileText(root_dir_ + "/server.log");
}

std::string TestDatabase::conninfo() const {
  return conninfoFor(port_, dbname(), user(), password());
}

void TestDatabase::resetTables() {
  exec(std::string("TRUNCATE ") + kTables + " RESTART IDENTITY CASCADE");
}

void TestDatabase::exec(const std::string& sql) {
  Connection connection(conninfo());
  Result result(connection.conn, sql);
}

std::vector<std::vector<std::string>> TestDatabase::query(const std::string& sql) {
  Connection connection(conninfo());
  Result result(connection.conn, sql);
  std::vector<std::vector<std::string>> rows(PQntuples(result.result));
  for (int row = 0; row < PQntuples(result.result); ++row)
    for (int column = 0; column < PQnfields(result.result); ++column)
      rows[row].push_back(PQgetvalue(result.result, row, column));
  return rows;
}

std::string TestDatabase::scalar(const std::string& sql) {
  std::vector<std::vector<std::string>> rows = query(sql);
  if (rows.empty() || rows[0].empty()) return "";
  return rows[0][0];
}

void TestDatabase::restartServer() {
  stopServer("fast");
  startServer();
}

std::string TestDatabase::postgresqlSection(int connection_number) const {
  return "[POSTGRESQL]\nconnection_number=" + std::to_string(connection_number) +
         "\nPGSQL_host=127.0.0.1\nPGSQL_port=" + std::to_string(port_) +
         "\nPGSQL_db=" + dbname() + "\nPGSQL_username=" + user() + "\nPGSQL_pwd=" + password() +
         "\n";
}

}  // namespace kova_test
