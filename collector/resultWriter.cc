// The writer: batches, the pipeline, refused rows, lost replies, outages.
#include "resultWriter.h"

#include <unordered_map>
#include <vector>

#include "exceptions.h"
#include "globals.h"
#include "log.h"
#include "metrics.h"
#include "pgPipeline.h"
#include "statements.h"

namespace {

using std::chrono::steady_clock;

// A batch is whatever waits when the previous one is done, up to this.
const size_t kBatchCount = 1000;
const size_t kBatchBytes = 8 << 20;
const std::chrono::seconds kRetryPause(1);
const std::chrono::milliseconds kSettlePause(50);
const std::chrono::seconds kDropLogEvery(10);

const std::vector<pgPipeline::Prepared> kPrepared = {{"UpdateState", sql::kUpdateState, 4},
                                                     {"InsertData", sql::kInsertData, 3}};

// Statements of one batch and, for each, the result and the row it writes.
struct Plan {
  std::vector<PipelineStatement> statements;
  struct Row {
    size_t result;
    bool data;
  };
  std::vector<Row> rows;
};

// Run order; each collector's state once, its latest run's (the state row
// holds nothing else), and every successful run's own flows_stats row.
Plan planBatch(const std::vector<PendingResult>& batch) {
  std::unordered_map<std::string, size_t> latest;
  for (size_t i = 0; i < batch.size(); ++i) latest[batch[i].id] = i;
  const steady_clock::time_point now = steady_clock::now();
  Plan plan;
  for (size_t i = 0; i < batch.size(); ++i) {
    const PendingResult& result = batch[i];
    const std::string age =
        std::to_string(std::chrono::duration<double>(now - result.ended).count());
    if (latest[result.id] == i && !result.skip_state) {
      plan.statements.push_back({"UpdateState",
                                 "",
                                 {std::to_string(result.state),
                                  result.state == 0 ? "OK" : result.output, result.id, age}});
      plan.rows.push_back({i, false});
    }
    if (result.state == 0 && !result.skip_data) {
      plan.statements.push_back({"InsertData", "", {result.output, result.id, age}});
      plan.rows.push_back({i, true});
    }
  }
  return plan;
}

void logRefused(const PendingResult& result, const std::string& error) {
  write_log("ERR", result.tag + "#Update service state failed: " + result.id + " " + result.label +
                       "\n" + result.output + "\nExec prepareRequest failed:  " + error);
}

bool giveUp() { return resultQueue.pastDeadline(); }

class Writer {
 public:
  Writer() : link_(collector_settings.connectLine) {}
  void run();

 private:
  void write();
  void settleLostSession();
  void written();
  void linkLost();
  void logDropped(bool now);

  pgPipeline link_;
  std::vector<PendingResult> batch_;
  int session_pid_ = 0;  // server process of the connection in use
  int lost_pid_ = 0;     // of a connection that broke, until it is gone
  // Id of the batch in hand whose COMMIT was sent without a reply.
  std::string unsettled_txid_;
  bool outage_ = false;
  size_t written_in_outage_ = 0;
  size_t dropped_ = 0;
  steady_clock::time_point last_drop_log_;
};

void Writer::run() {
  while (!batch_.empty() || resultQueue.takeBatch(&batch_, kBatchCount, kBatchBytes)) {
    if (giveUp()) break;
    try {
      link_.connect(kPrepared, giveUp);
      session_pid_ = link_.backendPid();
      settleLostSession();
      if (!batch_.empty()) write();
    } catch (const PostgresqlConnectionException&) {
      link_.close();
      linkLost();
      // A batch that may have committed stays in hand until settled.
      if (unsettled_txid_.empty()) resultQueue.putBack(&batch_);
      resultQueue.pause(kRetryPause);
    }
  }
  // Counted by the stop as not recorded.
  resultQueue.putBack(&batch_);
}

// One round trip writes the batch inside an open transaction and brings its
// id back; the COMMIT goes only then. A refused row is left out and the
// batch written again without it.
void Writer::write() {
  const metrics::ScopedTimer timer(metrics::observeResultWrite);
  for (;;) {
    Plan plan = planBatch(batch_);
    if (plan.statements.empty()) return written();
    std::vector<PipelineStatement> statements;
    if (link_.inFailedTransaction()) statements.push_back({"", sql::kBatchRollback, {}});
    statements.push_back({"", sql::kBatchBegin, {}});
    statements.push_back({"", sql::kBatchId, {}});
    const size_t head = statements.size();
    for (PipelineStatement& statement : plan.statements) statements.push_back(std::move(statement));
    const std::vector<PipelineReply> replies = link_.run(statements, giveUp);
    for (size_t i = 0; i < head; ++i)
      if (!replies[i].ok) throw PostgresqlConnectionException("batch refused: " + replies[i].error);
    size_t refused = head;
    while (refused < replies.size() && (replies[refused].ok || replies[refused].aborted)) ++refused;
    if (refused < replies.size()) {
      const Plan::Row row = plan.rows[refused - head];
      (row.data ? batch_[row.result].skip_data : batch_[row.result].skip_state) = true;
      logRefused(batch_[row.result], replies[refused].error);
      continue;
    }
    unsettled_txid_ = replies[head - 1].row.at(0);
    const std::vector<PipelineReply> commit = link_.run({{"", sql::kBatchCommit, {}}}, giveUp);
    unsettled_txid_.clear();
    if (!commit[0].ok) throw PostgresqlConnectionException("commit refused: " + commit[0].error);
    return written();
  }
}

// After a reconnect: the broken connection's server process is ended and
// awaited, so that none of its transactions is left open holding rows;
// then the batch whose COMMIT reply was lost is done if it committed.
void Writer::settleLostSession() {
  if (lost_pid_ == 0) return;
  const std::string pid = std::to_string(lost_pid_);
  for (;;) {
    const std::vector<PipelineReply> replies = link_.run(
        {{"", sql::kEndLostSession, {pid}},
         {"", sql::kBatchOutcome, {pid, unsettled_txid_.empty() ? "0" : unsettled_txid_}}},
        giveUp);
    const std::vector<std::string>& outcome = replies.at(1).row;
    if (outcome.at(0) == "t" && outcome.at(1) != "in progress") {
      lost_pid_ = 0;
      const bool committed = !unsettled_txid_.empty() && outcome[1] == "committed";
      unsettled_txid_.clear();
      if (committed) written();
      return;
    }
    resultQueue.pause(kSettlePause);
    if (giveUp()) throw PostgresqlConnectionException("given up settling the lost session");
  }
}

void Writer::written() {
  metrics::setDatabaseUp(true);
  const size_t count = batch_.size();
  batch_.clear();
  resultQueue.finished();
  dropped_ += resultQueue.takeDropped();
  if (!outage_) return logDropped(false);
  written_in_outage_ += count;
  if (resultQueue.waiting() > 0) return;
  logDropped(true);
  write_log("INFO", "database answers again: " + std::to_string(written_in_outage_) +
                        " kept results written");
  outage_ = false;
}

void Writer::logDropped(bool now) {
  if (dropped_ == 0 || (!now && steady_clock::now() - last_drop_log_ < kDropLogEvery)) return;
  write_log("ERR", "result backlog full: " + std::to_string(dropped_) +
                       " oldest results were dropped during the database outage");
  dropped_ = 0;
  last_drop_log_ = steady_clock::now();
}

void Writer::linkLost() {
  if (session_pid_ != 0) lost_pid_ = session_pid_;
  session_pid_ = 0;
  metrics::setDatabaseUp(false);
  if (outage_) return;
  write_log("ERR",
            "database connection lost: results are kept in memory and written once it "
            "answers again");
  outage_ = true;
  written_in_outage_ = 0;
}

}  // namespace

void submitResult(const std::string& tag, const service& record) {
  PendingResult result;
  result.tag = tag;
  result.id = std::to_string(record.Service_id);
  result.label = record.name + " " + record.parameter;
  result.state = record.state;
  result.output = record.output;
  result.ended = steady_clock::now();
  resultQueue.push(std::move(result));
}

void* thread_write_results(void*) {
  Writer writer;
  writer.run();
  return nullptr;
}

void writeResultsWaiting(pthread_t writer, std::chrono::seconds patience) {
  resultQueue.close(steady_clock::now() + patience);
  pthread_join(writer, nullptr);
  const size_t left = resultQueue.waiting();
  if (left > 0)
    write_log("ERR", std::to_string(left) +
                         " results were not recorded: the database did not answer at the stop");
}
