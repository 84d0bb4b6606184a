// Tests of the connection pool against a real PostgreSQL server.
#include "pgConnectionPool.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "exceptions.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace kova_test {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Result owned(PGresult* result) { return Result(result, &PQclear); }

std::string value(const Result& result, int row = 0, int column = 0) {
  return PQgetvalue(result.get(), row, column);
}

// Swaps std::cout's buffer so that the pool's trace and log lines can be read.
class CoutCapture {
 public:
  CoutCapture() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(previous_); }
  std::vector<std::string> lines() const { return splitLines(text_.str()); }
  int count(const std::string& part) const {
    int found = 0;
    for (const std::string& line : lines()) found += contains(line, part) ? 1 : 0;
    return found;
  }

 private:
  std::ostringstream text_;
  std::streambuf* previous_;
};

// Lets every role connect to the test database again, even when the test
// body failed half-way.
struct LiftLimit {
  pgConnectionPool& keeper;
  ~LiftLimit() { PQclear(keeper.executeRequest("ALTER DATABASE kova_test CONNECTION LIMIT -1")); }
};

// The keeper is the only session left on the test database (sessions of
// earlier tests end asynchronously after their client closed them).
bool waitUntilAloneWith(pgConnectionPool& keeper) {
  return waitFor([&keeper] {
    return value(owned(keeper.executeRequest(
               "SELECT count(*) FROM pg_stat_activity"
               " WHERE datname = 'kova_test' AND pid <> pg_backend_pid()"))) == "0";
  });
}

class PoolTest : public DatabaseTest {
 protected:
  std::unique_ptr<pgConnectionPool> makePool(int count) {
    return std::make_unique<pgConnectionPool>(db().conninfo(), count);
  }

  // With "plusOne": $1 + 1 and the pid of the server process that ran it.
  std::unique_ptr<pgConnectionPool> makePreparedPool(int count) {
    auto pool = makePool(count);
    pool->prepareRequest("plusOne", "SELECT $1::int + 1, pg_backend_pid()", 1);
    return pool;
  }

  // Index in the pool of the connection whose server process is pid; -1 if none.
  static int connectionWithPid(pgConnectionPool& pool, const std::string& pid) {
    for (size_t i = 0; i < pool.connections.size(); ++i)
      if (std::to_string(PQbackendPID(pool.connections[i]->conn)) == pid)
        return static_cast<int>(i);
    return -1;
  }

  static std::string poolPids(pgConnectionPool& pool) {
    std::string pids;
    for (auto& connection : pool.connections)
      pids += (pids.empty() ? "" : ",") + std::to_string(PQbackendPID(connection->conn));
    return pids;
  }

  static std::string terminateSql(const std::string& pids) {
    return "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE pid IN (" + pids +
           ")";
  }

  // Every connection answers again, with its prepared statement, from a new
  // server process.
  static void expectAllWorkAgain(pgConnectionPool& pool, const std::string& old_pids) {
    for (int i = 0; i < 2 * pool.getConnectionNumber(); ++i) {
      Result result = owned(pool.executePrepareRequest("plusOne", {"41"}));
      EXPECT_EQ(value(result), "42");
      EXPECT_NE(connectionWithPid(pool, value(result, 0, 1)), -1);
    }
    EXPECT_NE(poolPids(pool), old_pids);
  }
};

TEST_F(PoolTest, ConsecutiveRequestsGoRoundRobin) {
  auto pool = makePool(3);
  std::vector<int> used;
  for (int i = 0; i < 7; ++i) {
    Result result = owned(pool->executeRequest("SELECT pg_backend_pid()"));
    used.push_back(connectionWithPid(*pool, value(result)));
  }
  EXPECT_EQ(used, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
}

TEST_F(PoolTest, RowsAndNoRowsBothSucceed) {
  auto pool = makePool(2);
  EXPECT_EQ(pool->getConnectionNumber(), 2);
  EXPECT_EQ(pool->getClientEncoding(), "UTF8");
  Result insert = owned(pool->executeParamRequest(
      "INSERT INTO flows_channel(channel_name, channel_protocol, channel_port) VALUES ($1,$2,$3)",
      {"edge1", "netflow", "2055"}));
  EXPECT_EQ(PQresultStatus(insert.get()), PGRES_COMMAND_OK);
  Result rows = owned(pool->executeRequest("SELECT channel_name, channel_port FROM flows_channel"));
  ASSERT_EQ(PQntuples(rows.get()), 1);
  EXPECT_EQ(value(rows, 0, 0), "edge1");
  EXPECT_EQ(value(rows, 0, 1), "2055");
  Result none = owned(pool->executeRequest("SELECT 1 WHERE false"));
  EXPECT_EQ(PQresultStatus(none.get()), PGRES_TUPLES_OK);
  EXPECT_EQ(PQntuples(none.get()), 0);
}

struct FailureCase {
  const char* name;
  std::function<void(pgConnectionPool&)> request;
  std::string prefix;
  std::string server_text;  // "" when the server says nothing
};

// One connection, so the request after each failure runs on the connection
// that failed.
TEST_F(PoolTest, FailuresCarryTheirPrefixAndLeaveTheConnectionUsable) {
  auto pool = makePool(1);
  pool->prepareRequest("two", "SELECT $1::int + $2::int", 2);
  const std::vector<FailureCase> cases = {
      {"empty query", [](pgConnectionPool& p) { owned(p.executeRequest("")); },
       "execute failed:  ", ""},
      {"syntax error", [](pgConnectionPool& p) { owned(p.executeRequest("SELEC 1")); },
       "execute failed:  ", "syntax error at or near \"SELEC\""},
      {"bad parameter",
       [](pgConnectionPool& p) { owned(p.executeParamRequest("SELECT $1::int", {"abc"})); },
       "Execute failed:  ", "invalid input syntax for type integer"},
      {"duplicate prepare", [](pgConnectionPool& p) { p.prepareRequest("two", "SELECT 2"); },
       "prepare failed:  ", "prepared statement \"two\" already exists"},
      {"wrong parameter count",
       [](pgConnectionPool& p) { owned(p.executePrepareRequest("two", {"1"})); },
       "Exec prepareRequest failed:  ", "requires 2"},
  };
  for (const FailureCase& failure : cases) {
    SCOPED_TRACE(failure.name);
    try {
      failure.request(*pool);
      ADD_FAILURE() << "no exception";
    } catch (const PostgresqlException& error) {
      std::string text = error.what();
      EXPECT_TRUE(text.starts_with(failure.prefix)) << text;
      if (failure.server_text.empty()) {
        EXPECT_EQ(text, failure.prefix);
      } else {
        EXPECT_TRUE(contains(text, failure.server_text)) << text;
      }
    }
    EXPECT_EQ(value(owned(pool->executePrepareRequest("two", {"2", "3"}))), "5");
  }
}

TEST_F(PoolTest, WrongPasswordThrowsLibpqTextWithNewline) {
  std::string conninfo = db().conninfo();
  conninfo.replace(conninfo.find(db().password()), db().password().size(), "wrong");
  try {
    pgConnectionPool pool(conninfo, 2);
    FAIL() << "connected with a wrong password";
  } catch (const PostgresqlException& error) {
    std::string text = error.what();
    EXPECT_TRUE(contains(text, "password authentication failed for user \"kova\"")) << text;
    EXPECT_TRUE(text.ends_with("\n"));
  }
}

TEST_F(PoolTest, CountBelowOneIsRefused) {
  EXPECT_THROW(pgConnectionPool(db().conninfo(), 0), PostgresqlException);
  EXPECT_THROW(pgConnectionPool(db().conninfo(), -1), PostgresqlException);
}

// The third connection is refused by the server; the two opened before it
// must not stay open.
TEST_F(PoolTest, ConstructorFailingPartWayClosesWhatItOpened) {
  pgConnectionPool keeper(db().conninfo(), 1);
  ASSERT_TRUE(waitUntilAloneWith(keeper));
  owned(keeper.executeRequest("ALTER DATABASE kova_test CONNECTION LIMIT 3"));
  LiftLimit lift{keeper};
  try {
    pgConnectionPool pool(db().conninfo(), 3);
    FAIL() << "third connection was accepted";
  } catch (const PostgresqlException& error) {
    EXPECT_TRUE(contains(error.what(), "too many connections")) << error.what();
  }
  EXPECT_TRUE(waitUntilAloneWith(keeper));
}

TEST_F(PoolTest, PreparedStatementRunsOnEveryConnection) {
  auto pool = makePreparedPool(3);
  pool->prepareRequest("countChannels", "SELECT count(*) FROM flows_channel");
  std::vector<int> used;
  for (int i = 0; i < 3; ++i) {
    Result result = owned(pool->executePrepareRequest("plusOne", {std::to_string(i)}));
    EXPECT_EQ(value(result), std::to_string(i + 1));
    used.push_back(connectionWithPid(*pool, value(result, 0, 1)));
    EXPECT_EQ(value(owned(pool->executePrepareRequest("countChannels"))), "0");
  }
  EXPECT_EQ(used, (std::vector<int>{0, 2, 1}));
}

TEST_F(PoolTest, DebugModeTracesEachSuccessfulExecute) {
  auto pool = makePool(3);
  CoutCapture capture;
  owned(pool->executeRequest("SELECT 1"));  // debug off: no line
  pool->enableDebugMode(true);
  owned(pool->executeRequest("SELECT 1"));
  owned(pool->executeParamRequest("SELECT $1", {"x"}));
  owned(pool->executeRequest("CREATE TEMP TABLE t(i int)"));
  EXPECT_THROW(owned(pool->executeRequest("SELEC 1")), PostgresqlException);
  pool->enableDebugMode(false);
  owned(pool->executeRequest("SELECT 1"));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "   [ 1 ] exec status: PGRES_TUPLES_OK",
                                 "   [ 2 ] exec status: PGRES_TUPLES_OK",
                                 "   [ 0 ] exec status: PGRES_COMMAND_OK",
                             }));
}

TEST_F(PoolTest, ConcurrentThreadsGetTheirOwnResults) {
  auto pool = makePool(3);
  pool->prepareRequest("times", "SELECT $1::int * $2::int", 2);
  pool->prepareRequest("addChannel",
                       "INSERT INTO flows_channel(channel_name, channel_protocol, channel_port)"
                       " VALUES ($1, 'netflow', $2)",
                       2);
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  std::vector<int> wrong(kThreads, 0);  // each slot written by its own thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pool, &wrong, t] {
      auto expect = [&wrong, t](PGresult* result, const std::string& expected) {
        if (value(owned(result)) != expected) ++wrong[t];
      };
      for (int i = 0; i < kRounds; ++i) {
        const std::string a = std::to_string(t), b = std::to_string(i);
        try {
          expect(pool->executePrepareRequest("times", {a, b}), std::to_string(t * i));
          expect(pool->executeRequest("SELECT " + a + " + " + b), std::to_string(t + i));
          expect(pool->executeParamRequest("SELECT $1 || '-' || $2", {a, b}), a + "-" + b);
          owned(pool->executePrepareRequest("addChannel", {"c" + a, b}));
        } catch (const PostgresqlException&) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_channel"), std::to_string(kThreads * kRounds));
  EXPECT_EQ(db().scalar("SELECT count(DISTINCT (channel_name, channel_port)) FROM flows_channel"),
            std::to_string(kThreads * kRounds));
}

// Both ways a server drops its sessions: each connection may fail once,
// having met the break, then reconnects (one "ERR" line each) and gets its
// prepared statements back.
TEST_F(PoolTest, RecoversWhenTheServerDropsItsSessions) {
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> breaks = {
      {"backends terminated", [this](const std::string& pids) { db().exec(terminateSql(pids)); }},
      {"server restarted", [this](const std::string&) { db().restartServer(); }},
  };
  for (const auto& [name, breakSessions] : breaks) {
    SCOPED_TRACE(name);
    auto pool = makePreparedPool(3);
    const std::string old_pids = poolPids(*pool);
    breakSessions(old_pids);
    CoutCapture capture;
    int failures = 0;
    for (int i = 0; i < 3; ++i) {
      try {
        owned(pool->executePrepareRequest("plusOne", {"1"}));
      } catch (const PostgresqlException& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("Exec prepareRequest failed:  "))
            << error.what();
        ++failures;
      }
    }
    expectAllWorkAgain(*pool, old_pids);
    EXPECT_EQ(capture.count("#ERR#"), failures);
  }
}

// Regression: one statement that no longer prepares after a reconnection
// used to stop the re-preparing, leaving the statements after it missing.
TEST_F(PoolTest, ReconnectionPreparesTheOthersWhenOneNoLongerPrepares) {
  db().exec("DROP TABLE IF EXISTS pool_test_gone; CREATE TABLE pool_test_gone(i int)");
  auto pool = makePool(1);
  pool->prepareRequest("readGone", "SELECT i FROM pool_test_gone");
  pool->prepareRequest("plusOne", "SELECT $1::int + 1, pg_backend_pid()", 1);  // after it
  const std::string old_pids = poolPids(*pool);
  db().exec("DROP TABLE pool_test_gone");
  db().exec(terminateSql(old_pids));
  CoutCapture capture;
  EXPECT_THROW(owned(pool->executePrepareRequest("plusOne", {"1"})), PostgresqlException);
  try {
    owned(pool->executePrepareRequest("plusOne", {"1"}));
    ADD_FAILURE() << "the dropped table's statement prepared again";
  } catch (const PostgresqlException& error) {
    EXPECT_TRUE(std::string(error.what()).starts_with("prepare failed:  ")) << error.what();
    EXPECT_TRUE(contains(error.what(), "pool_test_gone")) << error.what();
  }
  expectAllWorkAgain(*pool, old_pids);
}

// While the server refuses new connections the reset fails with libpq's
// text; once it accepts them again the next request reconnects.
TEST_F(PoolTest, FailedReconnectionIsReportedAndRetried) {
  pgConnectionPool keeper(db().conninfo(), 1);  // stays connected to lift the limit
  auto pool = makePreparedPool(1);
  const std::string old_pids = poolPids(*pool);
  owned(keeper.executeRequest("ALTER DATABASE kova_test CONNECTION LIMIT 0"));
  LiftLimit lift{keeper};
  owned(keeper.executeRequest(terminateSql(old_pids)));
  CoutCapture capture;
  EXPECT_THROW(owned(pool->executePrepareRequest("plusOne", {"1"})), PostgresqlException);
  try {
    owned(pool->executePrepareRequest("plusOne", {"1"}));
    ADD_FAILURE() << "reconnected past the connection limit";
  } catch (const PostgresqlException& error) {
    EXPECT_TRUE(contains(error.what(), "too many connections for database")) << error.what();
  }
  owned(keeper.executeRequest("ALTER DATABASE kova_test CONNECTION LIMIT -1"));
  expectAllWorkAgain(*pool, old_pids);
  EXPECT_EQ(capture.count("#ERR#"), 2);
}

}  // namespace
}  // namespace kova_test
