// kovaFlowCollector: start-up in its fixed order, then wait for the stop.
#include <getopt.h>
#include <libpq-fe.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "collectorConfig.h"
#include "exceptions.h"
#include "globals.h"
#include "iniConfig.h"
#include "loader.h"
#include "log.h"
#include "metricSources.h"
#include "metricsServer.h"
#include "monitor.h"
#include "mutexLock.h"
#include "nodes/nodeMembership.h"
#include "pgResult.h"
#include "releaser.h"
#include "resultWriter.h"
#include "statements.h"
#include "stopControl.h"
#include "watcher.h"
#include "worker.h"

namespace {

// Every thread main starts, so that all of them are joined before the
// records, queues and pools they use are released.
struct StartedThreads {
  pthread_t stop_thread;
  bool stop_thread_started = false;
  std::vector<pthread_t> releasers;
  std::vector<pthread_t> workers;
  std::vector<pthread_t> others;  // monitoring thread, change watcher
  std::vector<pthread_t> writer;  // the result writer, ended by the stop's flush
};
StartedThreads started;

// How long the stop waits for the database to take the results left over.
const std::chrono::seconds kStopFlushPatience(5);

bool check_only = false;  // -t

void parseOptions(int argc, char** argv) {
  int option;
  while ((option = getopt(argc, argv, "f:Di:t")) != -1) {
    if (option == 'f') pathToConfigFile = optarg;
    if (option == 'D') debug = 1;
    if (option == 't') check_only = true;
  }
}

// -t: the start-up's own checks and messages, one connection, then the
// settings on standard output. No log file, no row, no thread.
int checkOnly() {
  try {
    iniConfig config(pathToConfigFile);
    const CollectorSettings settings = readCollectorSettings(config);
    if (!settings.problem.empty()) {
      write_log("ERR", settings.problem);
      return 1;
    }
    if (!readNodeKeys(config)) return 1;
    pgConnectionPool pool(settings.connectLine, 1);
    write_raw(collectorSettingsText(config, settings));
    return 0;
  } catch (const std::exception& error) {
    write_raw(std::string(error.what()) + "\n");
    return 1;
  }
}

void startThread(void* (*entry)(void*), void* arg, std::vector<pthread_t>* into) {
  pthread_t thread;
  const int error = pthread_create(&thread, nullptr, entry, arg);
  if (error != 0) throw std::runtime_error(std::string("cannot start thread: ") + strerror(error));
  into->push_back(thread);
}

void joinAll(std::vector<pthread_t>* threads) {
  for (pthread_t thread : *threads) pthread_join(thread, nullptr);
  threads->clear();
}

void releaseAll() {
  delete pgSQL;
  pgSQL = nullptr;
  MutexLock lock(&mutex_vec_core);
  for (infoThread* record : vec_core) delete record;
  vec_core.clear();
}

// Once no worker records any more: everything waiting is written (or
// counted as not recorded) before anything else of this node is let go.
void writeResultsWaitingAtStop() {
  for (pthread_t writer : started.writer) writeResultsWaiting(writer, kStopFlushPatience);
  started.writer.clear();
}

// Brings every started thread to an end and releases what they used; the
// stop thread is told to quit without logging a stop.
void stopEverything() {
  requestStop();
  stopMetricsServer();
  {
    MutexLock lock(&mutex_vec_core);
    for (infoThread* record : vec_core) record->execute_queue->wakeAll();
    for (infoThread* record : vec_core) record->wait_queue->wakeAll();  // release threads
  }
  joinAll(&started.workers);
  writeResultsWaitingAtStop();
  // Several hosts: the lease goes last, once no run of this node is going
  // or waiting to be written, so that no other node starts one meanwhile.
  leaveNodes();
  joinAll(&started.releasers);
  joinAll(&started.others);
  if (started.stop_thread_started) {
    stopStopThread(started.stop_thread);
    started.stop_thread_started = false;
  }
  releaseAll();
}

void redirectStandardError() {
  if (dup2(1, 2) >= 0) return;
  const std::string text =
      std::string("erreur de redirection de flux stderr (dup2): ") + strerror(errno);
  write_raw(text + "\n");
  perror(text.c_str());
  exit(2);
}

void openDaemonLog(const std::string& path) {
  // Without its file the log stays on the standard output the daemon was
  // started with, rather than being lost.
  if (!attachLogFile(path)) write_raw("ERROR can't open file " + path + "\n");
}

// False when flows_channel has no row.
bool loadChannelNames() {
  PgResult result(pgSQL->executeRequest(sql::kSelectChannels));
  const int rows = PQntuples(result.get());
  if (rows == 0) return false;
  allChannel.clear();
  for (int row = 0; row < rows; ++row) {
    if (row > 0) allChannel += ":";
    allChannel += PQgetvalue(result.get(), row, 0);
  }
  return true;
}

void purgeDeletedPlugins() {
  write_log("INFO", "DELETE OLD SERVICE ");
  try {
    PgResult rows(pgSQL->executeRequest(sql::kSelectDeletedPlugins));
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      PQclear(pgSQL->executeParamRequest(sql::kDeleteCollectorOfPlugin,
                                         {PQgetvalue(rows.get(), row, 1)}));
    }
    PQclear(pgSQL->executeRequest(sql::kDeleteDeletedPlugins));
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("SELECT delete service failed:  ") + error.what());
  }
}

void createCoreRecords() {
  write_log("INFO", "INSTANCE CORE - create queue");
  for (int i = 0; i < collector_settings.core_number; ++i) {
    auto record = std::make_unique<infoThread>(collector_settings.connectLine,
                                               collector_settings.connection_number);
    write_log("INFO", "PREPARATION REQUEST ");
    infoThread* raw = record.get();
    {
      MutexLock lock(&mutex_vec_core);
      vec_core.push_back(record.release());
    }
    startThread(thread_check_time, raw, &started.releasers);
  }
  write_log("INFO", "INSTANCE CORE - queue success");
}

void startWorkers() {
  write_log("INFO", "START CORE");
  {
    MutexLock lock(&mutex_vec_thread);
    for (infoThread* record : vec_core) {
      for (int i = 0; i < collector_settings.nbr_max_thread; ++i) {
        startThread(thread_execute_plugin, record, &started.workers);
        record->thread_list->push_back(started.workers.back());
      }
    }
  }
  write_log("INFO", "START CORE SUCCESS:" + std::to_string(collector_settings.core_number));
}

void waitForWorkers() {
  MutexLock lock(&mutex_vec_thread);
  for (infoThread* record : vec_core) {
    while (!record->thread_list->empty()) pthread_cond_wait(&cond_vec_thread, &mutex_vec_thread);
  }
}

// Everything from the configuration to the running state; returns the exit
// status when start-up ends early, -1 once the daemon runs.
int startUp() {
  iniConfig config(pathToConfigFile);
  collector_settings = readCollectorSettings(config);
  const CollectorSettings& settings = collector_settings;
  redirectStandardError();
  openDaemonLog(settings.daemon_log);
  write_log("INFO", "KOVA start....");
  write_log("INFO", "KOVA configuration open succesful");
  if (!settings.problem.empty()) {
    write_log("ERR", settings.problem);
    return 1;
  }
  if (!readNodeKeys(config)) return 1;  // several hosts
  resultQueue.setLimits(settings.result_backlog, settings.result_backlog_bytes);
  blockStopSignal();
  if (!startMetricsServer(settings.metrics_listen, pathToConfigFile)) return 1;
  write_log("INFO", "KOVA Database connection ....");
  if (!startStopThread(&started.stop_thread)) {
    write_log("ERR", "error SIGTERM");
    return 1;
  }
  started.stop_thread_started = true;
  write_log("INFO", "Connection database....");
  pgSQL = new pgConnectionPool(settings.connectLine, 1);
  write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());
  if (!loadChannelNames()) {
    write_log("ERR", "There are not channel configure");
    return 0;
  }
  if (!joinNodes()) return 1;  // several hosts: lease, or refusal
  write_log("INFO", "Mutex INIT");
  purgeDeletedPlugins();
  sleepUnlessStopped(std::chrono::seconds(5));
  createCoreRecords();
  registerMetricSources();
  startThread(thread_write_results, nullptr, &started.writer);
  startThread(thread_monitoring, nullptr, &started.others);
  write_log("INFO", "LOAD SERVICE");
  pgSQL->prepareRequest("loadService", sql::kLoadService);
  load_script(pgSQL, "loadService");
  write_log("INFO", "LOAD SERVICE SUCCESS");
  nodesLoaded();  // several hosts: collectors may move from now on
  startWorkers();
  startThread(thread_load_delete_service, nullptr, &started.others);
  write_log("INFO", "KOVA was starting....");
  return -1;
}

int run() {
  try {
    const int status = startUp();
    if (status >= 0) {
      stopEverything();
      return status;
    }
  } catch (const std::exception& error) {
    // An unreadable configuration file, database failures and anything
    // else that stops start-up.
    write_raw(std::string(error.what()) + "\n");
    stopEverything();
    return 1;
  }
  waitForWorkers();
  write_log("INFO", "KOVA is stopping....");
  joinAll(&started.workers);
  stopEverything();
  return nodeLostName() ? 1 : 0;  // several hosts: another daemon took the name
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) parseOptions(argc, argv);
  if (PQisthreadsafe() != 1) {
    write_log("ERR", "Error: Postgresql is not thread safe");
    write_raw("Error: Postgresql is not thread safe\n");
    return 1;
  }
  return check_only ? checkOnly() : run();
}
