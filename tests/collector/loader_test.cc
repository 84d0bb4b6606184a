// Collector loading against the real database: placement, first due time,
// placeholders and the rows that must be refused.
#include "loader.h"

#include <gtest/gtest.h>

#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

#include "globals.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace {

using kova_test::TestDatabase;

// One row of the eleven-column contract, as SQL text values.
struct Row {
  std::string id, path, interval, name, parameter, channel, plugin_id, lastexec;
};

std::string q(const std::string& text) { return text.empty() ? "NULL" : "'" + text + "'"; }

std::string rowsSql(const std::vector<Row>& rows) {
  std::string text;
  for (const Row& r : rows)
    text += (text.empty() ? "SELECT " : " UNION ALL SELECT ") + q(r.id) + "," + q(r.path) + "," +
            q(r.interval) + "," + q(r.name) + ",'" + r.parameter + "'," + q(r.channel) +
            ",NULL,NULL,NULL," + q(r.plugin_id) + "," + q(r.lastexec);
  return text;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = std::make_unique<pgConnectionPool>(TestDatabase::instance().conninfo(), 1);
    for (int i = 0; i < 2; ++i)
      vec_core.push_back(new infoThread(TestDatabase::instance().conninfo(), 1));
    modulo_rand = 10;
    allChannel = "a:b";
    saved_ = std::cout.rdbuf(log_.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(saved_);
    for (infoThread* record : vec_core) delete record;
    vec_core.clear();
    while (!serviceUpdate.empty()) serviceUpdate.getService(0);
  }
  // Loads rows through a prepared statement of this name.
  void load(const std::string& name, const std::vector<Row>& rows) {
    pool_->prepareRequest(name, rowsSql(rows));
    load_script(pool_.get(), name);
  }
  std::vector<service> drain(size_t core) {
    std::vector<service> records;
    while (!vec_core[core]->wait_queue->empty()) records.push_back(vec_core[core]->wait_queue->pop());
    return records;
  }
  std::map<unsigned long long, service> drainAll() {
    std::map<unsigned long long, service> byId;
    for (size_t core = 0; core < 2; ++core)
      for (service& record : drain(core)) byId[record.Service_id] = record;
    return byId;
  }

  std::unique_ptr<pgConnectionPool> pool_;
  std::ostringstream log_;
  std::streambuf* saved_ = nullptr;
};

TEST_F(LoaderTest, EqualWeightsAlternateFromTheFirstRecord) {
  load("three", {{"1", "/bin/true", "60", "a", "", "", "1", ""},
                 {"2", "/bin/true", "60", "b", "", "", "1", ""},
                 {"3", "/bin/true", "60", "c", "", "", "1", ""}});
  std::vector<service> first = drain(0), second = drain(1);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].Service_id, 2u);
  EXPECT_FLOAT_EQ(vec_core[0]->getLoad(), 10.0f);
  EXPECT_EQ(first[0].interval_exec_time, 60000);
  EXPECT_FLOAT_EQ(first[0].load, 5.0f);
  EXPECT_TRUE(kova_test::contains(log_.str(), "#INFO#script reload successful\n"));
}

TEST_F(LoaderTest, DueTimeFromHistoryOrSpreadAndPlaceholdersFirstOccurrenceOnly) {
  const long before = time(nullptr);
  load("params", {{"1", "/bin/true", "300.000000", "x", "-c $CHANNEL -i $INTERVAL", "edge", "1", "1700000000"},
                  {"2", "/bin/true", "300", "y", "-c $CHANNEL -i $INTERVAL", "", "1", ""},
                  {"3", "/bin/true", "300", "z", "$CHANNEL $CHANNEL", "x", "1", "1"}});
  std::map<unsigned long long, service> byId = drainAll();
  EXPECT_EQ(byId[1].next_exec_time.tv_sec, 1700000000);
  EXPECT_EQ(byId[1].next_exec_time.tv_usec, 0);
  EXPECT_GE(byId[2].next_exec_time.tv_sec, before);
  EXPECT_LE(byId[2].next_exec_time.tv_sec, before + modulo_rand);
  EXPECT_EQ(byId[1].parameter, "-c edge -i 300.000000");
  EXPECT_EQ(byId[2].parameter, "-c a:b -i 300");
  EXPECT_EQ(byId[3].parameter_list, (std::vector<std::string>{"x", "$CHANNEL"}));
}

TEST_F(LoaderTest, BadRowsAreLoggedAndSkipped) {
  load("bad", {{"1", "/bin/true", "60", "ok", "", "", "7", "1"},
               {"2", "/bin/true", "60", "bad-plugin", "", "", "abc", "1"},
               {"3", "/bin/true", "0", "zero", "", "", "8", "1"},
               {"4", "/bin/true", "0.5", "fraction", "", "", "9", "1"},
               {"5", "/bin/true", "2147484", "too-long", "", "", "10", "1"},
               {"x", "/bin/true", "60", "bad-id", "", "", "11", "1"}});
  EXPECT_EQ(drainAll().size(), 1u);
  const std::string log = log_.str();
  for (const char* plugin : {"abc", "8", "9", "10", "11"})
    EXPECT_TRUE(kova_test::contains(log, std::string("#ERR#Failed to initial load service: ") + plugin))
        << plugin << "\n" << log;
  EXPECT_FLOAT_EQ(vec_core[0]->getLoad() + vec_core[1]->getLoad(), 5.0f);
}

TEST_F(LoaderTest, UpdatesKeepTheLatestDefinitionAndTouchNoQueue) {
  pool_->prepareRequest("upd1", rowsSql({{"4", "/bin/a", "60", "first", "", "", "1", "1"}}));
  pool_->prepareRequest("upd2", rowsSql({{"4", "/bin/b", "60", "second", "", "", "1", "1"},
                                        {"5", "/bin/b", "0", "refused", "", "", "12", "1"}}));
  load_UpdateService(pool_.get(), "upd1");
  load_UpdateService(pool_.get(), "upd2");
  EXPECT_EQ(serviceUpdate.size(), 1);
  EXPECT_EQ(serviceUpdate.getService(4).name, "second");
  EXPECT_TRUE(vec_core[0]->wait_queue->empty());
  EXPECT_TRUE(kova_test::contains(log_.str(), "#ERR#Failed to load service: 12"));
}

}  // namespace
