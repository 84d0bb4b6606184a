// pgPipeline: libpq's pipeline mode over a socket that is only ever waited
// on with poll, in short slices, so that the owner can always give up.
#include "pgPipeline.h"

#include <poll.h>

#include <chrono>

#include "exceptions.h"

namespace {

const int kSliceMs = 200;
const std::chrono::seconds kConnectLimit(10);

std::vector<const char*> textValues(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  for (const std::string& param : params) values.push_back(param.c_str());
  return values;
}

bool sendOne(PGconn* conn, const PipelineStatement& statement) {
  const std::vector<const char*> values = textValues(statement.params);
  const int count = static_cast<int>(values.size());
  if (!statement.prepared.empty())
    return PQsendQueryPrepared(conn, statement.prepared.c_str(), count, values.data(), nullptr,
                               nullptr, 0) == 1;
  return PQsendQueryParams(conn, statement.sql.c_str(), count, nullptr, values.data(), nullptr,
                           nullptr, 0) == 1;
}

}  // namespace

pgPipeline::pgPipeline(std::string conninfo) : conninfo_(std::move(conninfo)) {}

pgPipeline::~pgPipeline() { close(); }

void pgPipeline::close() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
}

int pgPipeline::backendPid() const { return conn_ != nullptr ? PQbackendPID(conn_) : 0; }

bool pgPipeline::inFailedTransaction() const {
  return conn_ != nullptr && PQtransactionStatus(conn_) == PQTRANS_INERROR;
}

void pgPipeline::lost(const std::string& why) {
  std::string text = why;
  if (conn_ != nullptr) text += std::string(": ") + PQerrorMessage(conn_);
  close();
  throw PostgresqlConnectionException(text);
}

void pgPipeline::waitSocket(bool for_write, const GiveUp& give_up) {
  struct pollfd entry = {PQsocket(conn_), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  while (poll(&entry, 1, kSliceMs) == 0) {
    if (give_up()) lost("given up waiting for the database");
  }
}

void pgPipeline::connect(const std::vector<Prepared>& prepared, const GiveUp& give_up) {
  if (conn_ != nullptr) return;
  conn_ = PQconnectStart(conninfo_.c_str());
  if (conn_ == nullptr) throw PostgresqlConnectionException("out of memory");
  const auto limit = std::chrono::steady_clock::now() + kConnectLimit;
  const GiveUp connect_give_up = [&] {
    return give_up() || std::chrono::steady_clock::now() >= limit;
  };
  // The socket may change while libpq tries the addresses of a host.
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (status != PGRES_POLLING_OK) {
    if (status == PGRES_POLLING_FAILED || PQstatus(conn_) == CONNECTION_BAD) lost("cannot connect");
    waitSocket(status == PGRES_POLLING_WRITING, connect_give_up);
    status = PQconnectPoll(conn_);
  }
  if (PQenterPipelineMode(conn_) != 1) lost("cannot enter pipeline mode");
  for (const Prepared& statement : prepared)
    if (PQsendPrepare(conn_, statement.name.c_str(), statement.sql.c_str(), statement.nParams,
                      nullptr) != 1)
      lost("cannot prepare " + statement.name);
  if (PQpipelineSync(conn_) != 1) lost("cannot send");
  for (size_t i = 0; i < prepared.size(); ++i) {
    const PipelineReply reply = readReply(connect_give_up);
    if (!reply.ok) lost("prepare " + prepared[i].name + " failed: " + reply.error);
  }
  PGresult* sync = nextResult(connect_give_up);
  const bool in_step = PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  PQclear(sync);
  if (!in_step) lost("out of step");
}

// Blocks (in slices) until libpq holds a whole result, or the end of one.
PGresult* pgPipeline::nextResult(const GiveUp& give_up) {
  while (PQisBusy(conn_)) {
    waitSocket(false, give_up);
    if (PQconsumeInput(conn_) != 1) lost("connection lost");
  }
  return PQgetResult(conn_);
}

PipelineReply pgPipeline::readReply(const GiveUp& give_up) {
  PipelineReply reply;
  PGresult* result = nextResult(give_up);
  if (result == nullptr) lost("out of step");
  const ExecStatusType status = PQresultStatus(result);
  reply.ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  reply.aborted = status == PGRES_PIPELINE_ABORTED;
  if (!reply.ok) reply.error = PQresultErrorMessage(result);
  if (status == PGRES_TUPLES_OK && PQntuples(result) > 0)
    for (int column = 0; column < PQnfields(result); ++column)
      reply.row.push_back(PQgetvalue(result, 0, column));
  PQclear(result);
  // A failure that is the link's own is no answer from the server.
  if (PQstatus(conn_) == CONNECTION_BAD) lost("connection lost");
  // The end of this statement's results.
  while ((result = nextResult(give_up)) != nullptr) PQclear(result);
  return reply;
}

std::vector<PipelineReply> pgPipeline::run(const std::vector<PipelineStatement>& statements,
                                           const GiveUp& give_up) {
  if (conn_ == nullptr) throw PostgresqlConnectionException("not connected");
  for (const PipelineStatement& statement : statements)
    if (!sendOne(conn_, statement)) lost("cannot send");
  if (PQpipelineSync(conn_) != 1) lost("cannot send");
  while (int pending = PQflush(conn_)) {
    if (pending < 0) lost("cannot send");
    waitSocket(true, give_up);
  }
  std::vector<PipelineReply> replies;
  for (size_t i = 0; i < statements.size(); ++i) replies.push_back(readReply(give_up));
  PGresult* sync = nextResult(give_up);
  const bool in_step = PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  PQclear(sync);
  if (!in_step) lost("out of step");
  return replies;
}
