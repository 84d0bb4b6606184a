// The machine's own limit for the scheduler's work: spawn the plugin, record
// the run, as fast as possible, with nothing else around it.
//
// benchBaseline CONNINFO PLUGIN GROUPS THREADS CONNECTIONS COLLECTORS
//
// GROUPS groups of THREADS threads, each group with its own pool of
// CONNECTIONS connections (the daemon's core records, workers and pools).
// Every thread spawns PLUGIN with the next collector id (1..COLLECTORS, in
// turn) as its argument, reads its output to the end, reaps it, then runs
// "UpdateState" and "InsertData" as the daemon recorded a successful run
// before results were written in batches: two autocommitted statements, one
// round trip each. Runs until SIGTERM; each thread finishes the run it is in.
#include <fcntl.h>
#include <libpq-fe.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileUtil.h"
#include "pgConnectionPool.h"
#include "process.h"

namespace {

const char kUpdateState[] =
    "UPDATE flows_collector SET collector_last_execution=NOW(), "
    "collector_state=$1::int,collector_message=$2 WHERE collector_id=$3::int;";
const char kInsertData[] =
    "INSERT INTO flows_stats(stat_id, stat_time, stat_data, stat_collector_id) "
    "VALUES (DEFAULT,NOW(),$1::json, $2::int);";

struct Settings {
  std::string conninfo;
  std::string plugin;
  int groups = 0;
  int threads = 0;
  int connections = 0;
  unsigned collectors = 0;
};

std::atomic<bool> stop_requested{false};
std::atomic<unsigned> next_collector{0};

std::runtime_error systemError(const std::string& what, int error) {
  return std::runtime_error(what + ": " + strerror(error));
}

std::string readToEnd(int fd) {
  std::string text;
  char buffer[1024];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count == 0) return text;
    if (count > 0) text.append(buffer, static_cast<size_t>(count));
    else if (errno != EINTR) throw systemError("read", errno);
  }
}

// One run, with the daemon's own spawn set-up: spawn, read the whole output,
// reap.
std::string runPlugin(const std::string& plugin, const std::string& id) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw systemError("pipe2", errno);
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  char* argv[] = {const_cast<char*>(plugin.c_str()), const_cast<char*>(id.c_str()), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = -1;
  int error;
  {
    SpawnSetup setup(write_end.get());
    error = posix_spawn(&pid, plugin.c_str(), setup.actions(), setup.attr(), argv, envp);
  }
  write_end.reset();
  if (error != 0) throw systemError("posix_spawn " + plugin, error);
  std::string output = readToEnd(read_end.get());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw systemError("waitpid", errno);
  }
  return output;
}

struct Worker {
  const Settings* settings;
  pgConnectionPool* pool;
};

void* workerMain(void* arg) {
  const Worker* worker = static_cast<Worker*>(arg);
  try {
    while (!stop_requested) {
      const unsigned index = next_collector.fetch_add(1) % worker->settings->collectors;
      const std::string id = std::to_string(index + 1);
      const std::string output = runPlugin(worker->settings->plugin, id);
      PQclear(worker->pool->executePrepareRequest("UpdateState", {"0", "OK", id}));
      PQclear(worker->pool->executePrepareRequest("InsertData", {output, id}));
    }
  } catch (const std::exception& error) {
    fprintf(stderr, "benchBaseline: %s\n", error.what());
    _exit(1);
  }
  return nullptr;
}

Settings parse(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: %s CONNINFO PLUGIN GROUPS THREADS CONNECTIONS COLLECTORS\n", argv[0]);
    exit(2);
  }
  Settings settings{argv[1],
                    argv[2],
                    std::stoi(argv[3]),
                    std::stoi(argv[4]),
                    std::stoi(argv[5]),
                    static_cast<unsigned>(std::stoul(argv[6]))};
  if (settings.groups < 1 || settings.threads < 1 || settings.connections < 1 ||
      settings.collectors < 1) {
    fprintf(stderr, "%s: every count must be at least 1\n", argv[0]);
    exit(2);
  }
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parse(argc, argv);
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
  try {
    std::vector<std::unique_ptr<pgConnectionPool>> pools;
    for (int group = 0; group < settings.groups; ++group) {
      pools.push_back(std::make_unique<pgConnectionPool>(settings.conninfo, settings.connections));
      pools.back()->prepareRequest("UpdateState", kUpdateState, 3);
      pools.back()->prepareRequest("InsertData", kInsertData, 2);
    }
    std::vector<Worker> workers;
    for (auto& pool : pools)
      for (int thread = 0; thread < settings.threads; ++thread)
        workers.push_back(Worker{&settings, pool.get()});
    std::vector<pthread_t> threads(workers.size());
    for (size_t i = 0; i < workers.size(); ++i)
      pthread_create(&threads[i], nullptr, workerMain, &workers[i]);
    int signal_number = 0;
    sigwait(&stop_set, &signal_number);
    stop_requested = true;
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
  } catch (const std::exception& error) {
    fprintf(stderr, "benchBaseline: %s\n", error.what());
    return 1;
  }
  return 0;
}
