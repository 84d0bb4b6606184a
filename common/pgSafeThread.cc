// pgSafeThread: libpq calls under the connection's mutex, errors as exceptions.
#include "pgSafeThread.h"

#include <memory>

#include "exceptions.h"
#include "log.h"
#include "mutexLock.h"

namespace {

bool succeeded(const PGresult* result) {
  ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::vector<const char*> textValues(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& param : params) values.push_back(param.c_str());
  return values;
}

// Returns result when it succeeded; otherwise clears it and throws prefix +
// the text taken from the result (or from the connection).
PGresult* checked(PGresult* result, PGconn* conn, const char* prefix, bool text_from_result) {
  if (succeeded(result)) return result;
  std::string text =
      text_from_result && result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn);
  PQclear(result);
  if (PQstatus(conn) == CONNECTION_BAD) throw PostgresqlConnectionException(prefix + text);
  throw PostgresqlException(prefix + text);
}

}  // namespace

pgSafeThread::pgSafeThread(std::string conninfo_text) : conninfo(std::move(conninfo_text)) {
  conn = PQconnectdb(conninfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string text = std::string(PQerrorMessage(conn)) + "\n";
    PQfinish(conn);
    throw PostgresqlException(text);
  }
  pthread_mutex_init(&mutex, nullptr);
}

pgSafeThread::~pgSafeThread() {
  PQfinish(conn);
  pthread_mutex_destroy(&mutex);
}

void pgSafeThread::reconnectIfBroken() {
  if (PQstatus(conn) != CONNECTION_BAD) return;
  write_log("ERR", "database connection lost, reconnecting");
  PQreset(conn);
  if (PQstatus(conn) != CONNECTION_OK) throw PostgresqlConnectionException(PQerrorMessage(conn));
  // One statement that no longer prepares (its table was dropped) must not
  // leave the others missing for good: the connection is healthy from now
  // on, so nothing would ever prepare them again.
  std::string failure;
  bool lost_again = false;
  for (const Prepared& statement : prepared_) {
    PGresult* result =
        PQprepare(conn, statement.name.c_str(), statement.sql.c_str(), statement.nParams, nullptr);
    try {
      PQclear(checked(result, conn, "prepare failed:  ", false));
    } catch (const PostgresqlException& error) {
      if (failure.empty()) failure = error.what();
      lost_again = lost_again || PQstatus(conn) == CONNECTION_BAD;
    }
  }
  if (lost_again) throw PostgresqlConnectionException(failure);
  if (!failure.empty()) throw PostgresqlException(failure);
}

std::string pgSafeThread::getClientEncoding() {
  MutexLock lock(&mutex);
  return pg_encoding_to_char(PQclientEncoding(conn));
}

PGresult* pgSafeThread::executeRequest(std::string sql) {
  MutexLock lock(&mutex);
  reconnectIfBroken();
  return checked(PQexec(conn, sql.c_str()), conn, "execute failed:  ", false);
}

PGresult* pgSafeThread::executeParamRequest(std::string sql, std::vector<std::string> params) {
  MutexLock lock(&mutex);
  reconnectIfBroken();
  std::vector<const char*> values = textValues(params);
  PGresult* result = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0);
  return checked(result, conn, "Execute failed:  ", true);
}

void pgSafeThread::prepareLocked(const std::string& name, const std::string& sql, int nParams) {
  reconnectIfBroken();
  PGresult* result = PQprepare(conn, name.c_str(), sql.c_str(), nParams, nullptr);
  PQclear(checked(result, conn, "prepare failed:  ", false));
  prepared_.push_back(Prepared{name, sql, nParams});
}

void pgSafeThread::prepareRequest(std::string name, std::string sql, int nParams) {
  MutexLock lock(&mutex);
  prepareLocked(name, sql, nParams);
}

void pgSafeThread::prepareRequest(std::string name, std::string sql) {
  MutexLock lock(&mutex);
  prepareLocked(name, sql, 0);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name, std::vector<std::string> params) {
  MutexLock lock(&mutex);
  reconnectIfBroken();
  std::vector<const char*> values = textValues(params);
  PGresult* result = PQexecPrepared(conn, name.c_str(), static_cast<int>(values.size()),
                                    values.data(), nullptr, nullptr, 0);
  return checked(result, conn, "Exec prepareRequest failed:  ", true);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name) {
  return executePrepareRequest(std::move(name), std::vector<std::string>());
}
