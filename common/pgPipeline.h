// One PostgreSQL connection in pipeline mode: a list of statements sent in
// one write and answered in one round trip.
#pragma once

#include <libpq-fe.h>

#include <functional>
#include <string>
#include <vector>

// One statement: a name prepared by connect(), or SQL text with its own
// parameters (all text).
struct PipelineStatement {
  std::string prepared;  // empty: run sql
  std::string sql;
  std::vector<std::string> params;
};

// What the server answered to one statement. aborted: skipped because an
// earlier statement of the same pipeline failed.
struct PipelineReply {
  bool ok = false;
  bool aborted = false;
  std::string error;             // the server's message when refused
  std::vector<std::string> row;  // first row, every value as text
};

// Not thread-safe: one owner thread. The connection is opened, waited on
// and read without ever blocking past the owner's give-up test, which is
// asked a few times a second, so a stop is never held by a silent link.
class pgPipeline {
 public:
  using GiveUp = std::function<bool()>;

  explicit pgPipeline(std::string conninfo);
  pgPipeline(const pgPipeline&) = delete;
  pgPipeline& operator=(const pgPipeline&) = delete;
  ~pgPipeline();  // PQfinish

  // Opens the connection when there is none, enters pipeline mode and
  // prepares `prepared` (name, sql, parameter count). Throws
  // PostgresqlConnectionException (the connection is then closed) when it
  // cannot, or when give_up says so, or past 10 s.
  struct Prepared {
    std::string name, sql;
    int nParams;
  };
  void connect(const std::vector<Prepared>& prepared, const GiveUp& give_up);
  bool connected() const { return conn_ != nullptr; }
  // The server process of the open connection (0 when none).
  int backendPid() const;
  // In an explicit transaction that failed (a ROLLBACK is due).
  bool inFailedTransaction() const;
  void close();

  // Sends statements and a Sync, then reads one reply per statement. Throws
  // PostgresqlConnectionException, and closes the connection, when the link
  // breaks or give_up says so before every reply is in.
  std::vector<PipelineReply> run(const std::vector<PipelineStatement>& statements,
                                 const GiveUp& give_up);

 private:
  [[noreturn]] void lost(const std::string& why);
  void waitSocket(bool for_write, const GiveUp& give_up);
  PGresult* nextResult(const GiveUp& give_up);
  PipelineReply readReply(const GiveUp& give_up);

  std::string conninfo_;
  PGconn* conn_ = nullptr;  // owned
};
