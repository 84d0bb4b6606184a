// The real kovaFlowCollector in a temporary directory, and the database rows
// it reads.
#include "daemonFixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace kova_test {

namespace {

// Dollar-quoted, as is: no value a test inserts holds "$v$".
std::string literal(const std::string& text) { return "$v$" + text + "$v$"; }

}  // namespace

CollectorDaemon::CollectorDaemon(DaemonSettings settings) : settings_(settings) {
  writeConfig(configText());
}

// load_mod=1: collectors without history run at once.
std::string CollectorDaemon::configText() const {
  return "[LOG]\nlog_info_file=" + statusPath() + "\nlog_daemon_file=" + logPath() +
         "\n\n[KOVA]\ncore_number=" + std::to_string(settings_.core_number) +
         "\nthread_number=" + std::to_string(settings_.thread_number) +
         "\nload_mod=1\ninterval_check_update=" + std::to_string(settings_.interval_check_update) +
         "\nmetrics_listen=" + settings_.metrics_listen + "\n" + settings_.extra_kova + "\n" +
         db().postgresqlSection(settings_.connection_number);
}

void CollectorDaemon::writeConfig(const std::string& text) const { writeFile(configPath(), text); }

std::string CollectorDaemon::writePlugin(const std::string& name, const std::string& body) const {
  const std::string path = file(name);
  writeScript(path, body);
  return path;
}

void CollectorDaemon::start() {
  // The shell sends the original standard output to a file and becomes
  // setpriv, which becomes the daemon (one pid throughout). The daemon is
  // killed if this test process dies without its destructors running.
  const char* shell = "out=$1; shift; exec /usr/bin/setpriv --pdeathsig KILL \"$@\" >\"$out\" 2>&1";
  std::vector<std::string> argv = {"/bin/sh", "-c", shell, "sh", file("console.txt")};
  argv.insert(argv.end(), settings_.setpriv_options.begin(), settings_.setpriv_options.end());
  argv.insert(argv.end(), {"--", KOVA_COLLECTOR_BIN, "-f", configPath()});
  if (settings_.debug) argv.push_back("-D");
  process_ = std::make_unique<ChildProcess>(argv);
}

bool CollectorDaemon::startAndWaitRunning() {
  start();
  if (waitForLog("#INFO#KOVA was starting....")) return true;
  ADD_FAILURE() << "the daemon did not start; log:\n" << log() << "console:\n" << console();
  return false;
}

int CollectorDaemon::countInLog(const std::string& part) const {
  int count = 0;
  for (const std::string& line : splitLines(log())) count += contains(line, part) ? 1 : 0;
  return count;
}

bool CollectorDaemon::waitForLog(const std::string& part, int count) const {
  return waitUntil([&] { return countInLog(part) >= count; });
}

void CollectorDaemon::sendSignal(int sig) {
  if (process_) process_->signal(sig);
}

int CollectorDaemon::stop() {
  sendSignal(SIGTERM);
  return waitExit();
}

int CollectorDaemon::waitExit() {
  const int status = process_ ? process_->wait(kDaemonWait) : -1;
  return status < 0 ? -1 : exitCode(status);
}

std::string pendingSql(const std::string& type, int collector_id) {
  return "INSERT INTO flows_updel_collector (updel_collector_type, updel_collector_id) VALUES ('" +
         type + "', " + std::to_string(collector_id) + ");";
}

bool waitForScalar(const std::string& sql, const std::string& expected) {
  return waitUntil([&] { return db().scalar(sql) == expected; });
}

int insertPlugin(const std::string& path, const std::string& interval, bool deleted) {
  return std::stoi(db().scalar(
      "INSERT INTO flows_collector_plugins (plugin_path, plugin_interval, plugin_delete) VALUES (" +
      literal(path) + ", " + literal(interval) + ", " + (deleted ? "TRUE" : "FALSE") +
      ") RETURNING plugin_id"));
}

int insertChannel(const std::string& name, const std::string& port) {
  return std::stoi(db().scalar(
      "INSERT INTO flows_channel (channel_name, channel_protocol, channel_port) VALUES (" +
      literal(name) + ", 'netflow', " + literal(port) + ") RETURNING channel_id"));
}

int insertCollector(const CollectorRow& row) {
  const std::string id = row.collector_id > 0 ? std::to_string(row.collector_id) : "DEFAULT";
  const std::string channel = row.channel_id > 0 ? std::to_string(row.channel_id) : "NULL";
  const std::string last = row.last_execution.empty() ? "NULL" : row.last_execution;
  return std::stoi(db().scalar(
      "INSERT INTO flows_collector (collector_id, collector_name, collector_plugin_id,"
      " collector_channel_id, collector_parameter, collector_last_execution) VALUES (" +
      id + ", " + literal(row.name) + ", " + std::to_string(row.plugin_id) + ", " + channel + ", " +
      literal(row.parameter) + ", " + last + ") RETURNING collector_id"));
}

int insertCollectorOf(const std::string& path, const std::string& every, const std::string& name) {
  return insertCollector({.plugin_id = insertPlugin(path, every), .name = name});
}

std::string collectorField(int collector_id, const std::string& column) {
  return db().scalar("SELECT " + column +
                     " FROM flows_collector WHERE collector_id = " + std::to_string(collector_id));
}

bool collectorExists(int collector_id) { return collectorField(collector_id, "1") == "1"; }

bool waitForField(int collector_id, const std::string& column, const std::string& value) {
  return waitUntil([&] { return collectorField(collector_id, column) == value; });
}

int freeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

std::string commandOutput(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int ended = pclose(pipe);
  if (status) *status = exitCode(ended);
  return text;
}

}  // namespace kova_test
