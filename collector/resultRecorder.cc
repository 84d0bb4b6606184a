// Live writes, the backlog and its replay.
#include "resultRecorder.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "exceptions.h"
#include "globals.h"
#include "log.h"
#include "metrics.h"
#include "statements.h"
#include "stopControl.h"
#include "updateService.h"

namespace {

// Set while an outage is being bridged; one "ERR" line at its start.
std::atomic<bool> outage{false};
// Results written from the backlog in the current outage (replay side only).
size_t replayed = 0;

std::string epochText(const struct timeval& time) {
  char text[40];
  snprintf(text, sizeof text, "%lld.%06ld", static_cast<long long>(time.tv_sec),
           static_cast<long>(time.tv_usec));
  return text;
}

void logRefused(const std::string& tag, const std::string& id, const std::string& label,
                const std::string& output, const char* error) {
  write_log("ERR", tag + "#Update service state failed: " + id + " " + label + "\n" + output +
                       "\n" + error);
}

void keep(PendingResult result) {
  if (!outage.exchange(true))
    write_log("ERR", "database connection lost: results are kept in memory and written once it "
                     "answers again");
  resultBacklog.push(std::move(result));
}

PendingResult pendingFrom(const service& record, const struct timeval& ran_at) {
  PendingResult result;
  result.id = std::to_string(record.Service_id);
  result.label = record.name + " " + record.parameter;
  result.state = record.state;
  result.output = record.output;
  result.ran_at = ran_at;
  return result;
}

// False when the connection is lost (the entry stays for the next try).
bool replayOne(pgConnectionPool* pool, const PendingResult& result) {
  const std::string time = epochText(result.ran_at);
  try {
    if (!result.state_written) {
      PQclear(pool->executePrepareRequest(
          "ReplayState", {std::to_string(result.state), result.state == 0 ? "OK" : result.output,
                          result.id, time}));
    }
    if (result.state == 0)
      PQclear(pool->executePrepareRequest("ReplayData", {result.output, result.id, time}));
  } catch (const PostgresqlConnectionException&) {
    return false;
  } catch (const PostgresqlException& error) {
    logRefused("replay", result.id, result.label, result.output, error.what());
  }
  return true;
}

void endOfOutage() {
  const size_t dropped = resultBacklog.takeDropped();
  if (dropped > 0)
    write_log("ERR", "result backlog full: " + std::to_string(dropped) +
                         " oldest results were dropped during the database outage");
  write_log("INFO", "database answers again: " + std::to_string(replayed) +
                        " kept results written");
  replayed = 0;
  outage = false;
  metrics::setDatabaseUp(true);
}

// Writes entries oldest first; false when the database stopped answering.
bool drain(pgConnectionPool* pool) {
  PendingResult result;
  while (resultBacklog.front(&result)) {
    if (!replayOne(pool, result)) return false;
    resultBacklog.popFront(result.sequence);
    ++replayed;
  }
  endOfOutage();
  return true;
}

}  // namespace

void prepareReplayStatements(pgConnectionPool* pool) {
  pool->prepareRequest("ReplayState", sql::kReplayState, 4);
  pool->prepareRequest("ReplayData", sql::kReplayData, 3);
}

void recordResult(const std::string& tag, const service& record, pgConnectionPool* pool,
                  const struct timeval& ran_at) {
  // Behind older results, never before them.
  if (!resultBacklog.empty()) {
    keep(pendingFrom(record, ran_at));
    return;
  }
  bool state_written = false;
  try {
    const metrics::ScopedTimer timer(metrics::observeResultWrite);
    updateService(record, pool, &state_written);
    Trace(tag + "#" + record.name + " " + record.parameter + "Update state OK ");
  } catch (const PostgresqlConnectionException& error) {
    metrics::setDatabaseUp(false);
    logRefused(tag, record.Service_id_str, record.name + " " + record.parameter, record.output,
               error.what());
    PendingResult result = pendingFrom(record, ran_at);
    result.state_written = state_written;
    keep(std::move(result));
  } catch (const PostgresqlException& error) {
    logRefused(tag, record.Service_id_str, record.name + " " + record.parameter, record.output,
               error.what());
  }
}

void* thread_replay_results(void* arg) {
  pgConnectionPool* pool = static_cast<pgConnectionPool*>(arg);
  while (die_kova == 0) {
    if (!resultBacklog.waitForEntries(std::chrono::seconds(1))) continue;
    if (!drain(pool) && sleepUnlessStopped(std::chrono::seconds(1))) break;
  }
  return nullptr;
}

void flushBacklogAtStop(pgConnectionPool* pool, std::chrono::seconds patience) {
  const auto limit = std::chrono::steady_clock::now() + patience;
  while (!resultBacklog.empty()) {
    if (drain(pool)) return;
    if (std::chrono::steady_clock::now() >= limit) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const size_t left = resultBacklog.size();
  if (left > 0)
    write_log("ERR", std::to_string(left) +
                         " results were not recorded: the database did not answer at the stop");
}
