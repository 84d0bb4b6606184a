// Tests of the connection pool against a real PostgreSQL server.
#include "pgConnectionPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "exceptions.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace kova_test {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Result owned(PGresult* result) { return Result(result, &PQclear); }

std::string value(PGresult* result, int column = 0) {
  return PQgetvalue(owned(result).get(), 0, column);
}

// Lets every role connect to the test database again, even when the test body failed half-way.
struct LiftLimit {
  pgConnectionPool& keeper;
  void operator()(int limit) {
    PQclear(keeper.executeRequest("ALTER DATABASE " + TestDatabase::instance().dbname() +
                                  " CONNECTION LIMIT " + std::to_string(limit)));
  }
  ~LiftLimit() { (*this)(-1); }
};

// Expects request to throw a PostgresqlException whose text starts with prefix and holds part
// (is the prefix alone when part is empty: the server said nothing).
void expectFailure(const std::function<void()>& request, const std::string& prefix,
                   const std::string& part) {
  try {
    request();
    ADD_FAILURE() << "no exception, expected " << part;
  } catch (const PostgresqlException& error) {
    EXPECT_TRUE(std::string(error.what()).starts_with(prefix)) << error.what();
    EXPECT_TRUE(part.empty() ? error.what() == prefix : contains(error.what(), part))
        << error.what();
  }
}

class PoolTest : public DatabaseTest {
 protected:
  // With "plusOne": $1 + 1 and the pid of the server process that ran it.
  std::unique_ptr<pgConnectionPool> makePool(int count) {
    auto pool = std::make_unique<pgConnectionPool>(db().conninfo(), count);
    pool->prepareRequest("plusOne", "SELECT $1::int + 1, pg_backend_pid()", 1);
    return pool;
  }

  static std::string poolPids(pgConnectionPool& pool) {
    std::string pids;
    for (auto& connection : pool.connections)
      pids += (pids.empty() ? "" : ",") + std::to_string(PQbackendPID(connection->conn));
    return pids;
  }

  // The keeper is the only session left on the test database (sessions of
  // earlier tests end asynchronously after their client closed them).
  static bool aloneWith(pgConnectionPool& keeper) {
    return waitFor([&keeper] {
      return value(keeper.executeRequest("SELECT count(*) FROM pg_stat_activity WHERE datname = '" +
                                         db().dbname() + "' AND pid <> pg_backend_pid()")) == "0";
    });
  }
};

// One connection, so the request after each failure runs on the connection that failed.
TEST_F(PoolTest, FailuresCarryTheirPrefixAndLeaveTheConnectionUsable) {
  auto pool = makePool(1);
  const std::vector<std::tuple<std::function<void()>, std::string, std::string>> cases = {
      {[&] { owned(pool->executeRequest("SELEC 1")); },
       "execute failed:  ", "syntax error at or near \"SELEC\""},
      {[&] { owned(pool->executeParamRequest("SELECT $1::int", {"abc"})); },
       "Execute failed:  ", "invalid input syntax for type integer"},
      {[&] { pool->prepareRequest("plusOne", "SELECT 2"); },
       "prepare failed:  ", "statement \"plusOne\" already exists"},
      {[&] { owned(pool->executePrepareRequest("plusOne")); },
       "Exec prepareRequest failed:  ", "requires 1"},
  };
  for (const auto& [request, prefix, server] : cases) {
    expectFailure(request, prefix, server);
    EXPECT_EQ(value(pool->executePrepareRequest("plusOne", {"2"})), "3");
  }
  expectFailure([&] { owned(pool->executeRequest("")); }, "execute failed:  ", "");
}

TEST_F(PoolTest, ConstructionFailuresAreReportedAndCloseWhatWasOpened) {
  EXPECT_THROW(pgConnectionPool(db().conninfo(), 0), PostgresqlException);
  // Of two values of one keyword, libpq takes the last.
  expectFailure([&] { pgConnectionPool(db().conninfo() + " password=wrong", 2); }, "",
                "password authentication failed for user \"" + db().user() + "\"\n");
  // The third connection is refused by the server; the two opened before it must not stay open.
  pgConnectionPool keeper(db().conninfo(), 1);
  ASSERT_TRUE(aloneWith(keeper));
  LiftLimit limit{keeper};
  limit(3);
  expectFailure([&] { pgConnectionPool(db().conninfo(), 3); }, "", "too many connections");
  EXPECT_TRUE(aloneWith(keeper));
}

TEST_F(PoolTest, ConcurrentThreadsGetTheirOwnResults) {
  auto pool = makePool(3);
  constexpr int kThreads = 8, kRounds = 60;
  std::vector<int> wrong(kThreads, 0);  // each slot written by its own thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pool, &wrong, t] {
      for (int i = 0; i < kRounds; ++i) {
        const int n = t * 1000 + i;
        try {
          wrong[t] += value(pool->executePrepareRequest("plusOne", {std::to_string(n)})) !=
                      std::to_string(n + 1);
          wrong[t] += value(pool->executeParamRequest("SELECT $1::text", {std::to_string(n)})) !=
                      std::to_string(n);
        } catch (const PostgresqlException&) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

// Every session terminated while the server refuses new connections, and one statement no
// longer prepares: each connection meets the break, fails its reset with libpq's text (one
// "ERR" line per attempt), then reconnects once allowed, still preparing the statements after
// the one that fails.
TEST_F(PoolTest, ReconnectsAfterFailedResetsAndPreparesPastAStatementThatFails) {
  db().exec("DROP TABLE IF EXISTS pool_test_gone; CREATE TABLE pool_test_gone(i int)");
  pgConnectionPool keeper(db().conninfo(), 1);  // stays connected to lift the limit
  auto pool = std::make_unique<pgConnectionPool>(db().conninfo(), 2);
  pool->prepareRequest("readGone", "SELECT i FROM pool_test_gone");
  pool->prepareRequest("plusOne", "SELECT $1::int + 1, pg_backend_pid()", 1);  // after it
  const std::string old_pids = poolPids(*pool);
  db().exec("DROP TABLE pool_test_gone");
  LiftLimit limit{keeper};
  limit(0);
  owned(
      keeper.executeRequest("SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity "
                            "WHERE pid IN (" +
                            old_pids + ")"));
  CoutCapture capture;  // the pool's log lines
  const std::vector<std::pair<std::string, std::string>> rounds = {
      {"Exec prepareRequest failed:  ", "connection"},  // libpq's words for the lost session vary
      {"", "too many connections for database"},
      {"prepare failed:  ", "pool_test_gone"}};
  for (const auto& [prefix, part] : rounds) {
    if (prefix == "prepare failed:  ") limit(-1);
    for (int i = 0; i < pool->getConnectionNumber(); ++i)
      expectFailure([&] { owned(pool->executePrepareRequest("plusOne", {"1"})); }, prefix, part);
  }
  // Every connection answers again, with its prepared statement, from a new server process.
  for (int i = 0; i < 2 * pool->getConnectionNumber(); ++i) {
    Result result = owned(pool->executePrepareRequest("plusOne", {"41"}));
    EXPECT_EQ(PQgetvalue(result.get(), 0, 0), std::string("42"));
    const std::string pid = PQgetvalue(result.get(), 0, 1);
    EXPECT_TRUE(contains("," + poolPids(*pool) + ",", "," + pid + ",")) << pid;
  }
  EXPECT_NE(poolPids(*pool), old_pids);
  const std::vector<std::string> lines = splitLines(capture.text.str());
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return contains(l, "#ERR#"); }),
            4);
}

}  // namespace
}  // namespace kova_test
