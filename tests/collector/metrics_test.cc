// The collector's metrics endpoint as a real Prometheus scrapes it.
#include <gtest/gtest.h>

#include "daemonFixture.h"

namespace kova_test {
namespace {

// Debian's prometheus with its own configuration and storage, scraping
// target every second; killed with the test.
class Prometheus {
 public:
  explicit Prometheus(const std::string& target) {
    writeFile(dir_.file("prometheus.yml"),
              "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kova\n"
              "    static_configs:\n      - targets: ['" +
                  target + "']\n");
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "exec /usr/bin/setpriv --pdeathsig KILL -- \"$@\" >" + dir_.file("log") + " 2>&1", "sh",
        "/usr/bin/prometheus", "--config.file=" + dir_.file("prometheus.yml"),
        "--storage.tsdb.path=" + dir_.file("data"), "--web.listen-address=" + api_});
  }
  // A scalar expression at time (epoch seconds): "" while Prometheus does not answer, "NaN" while
  // it has no sample.
  std::string scalar(const std::string& expression, const std::string& time) const {
    const std::string reply = commandOutput("curl -s --max-time 10 -G http://" + api_ +
                                            "/api/v1/query --data-urlencode 'query=scalar(" +
                                            expression + ")' --data-urlencode time=" + time);
    const size_t at = reply.rfind(",\"");
    return at == std::string::npos ? "" : reply.substr(at + 2, reply.find('"', at + 2) - at - 2);
  }

 private:
  TempDir dir_;
  const std::string api_ = "127.0.0.1:" + std::to_string(freeTcpPort());
  std::unique_ptr<ChildProcess> process_;  // ended before dir_ goes
};

std::string now() { return db().scalar("SELECT extract(epoch FROM clock_timestamp())"); }
int statRows() { return std::stoi(db().scalar("SELECT count(*) FROM flows_stats")); }

// Four 1-second collectors, one that hangs past the time limit and one
// outside the plugin directory. Prometheus sees the runs the database
// records; the scrape passes promtool; a second daemon on the same address
// stops at start-up; the first stops cleanly while being scraped.
TEST(Metrics, PrometheusSeesTheRecordedRunsAndFailuresAndTheAddressIsOurs) {
  db().resetTables();
  TempDir plugins;
  const std::string listen = "127.0.0.1:" + std::to_string(freeTcpPort());
  CollectorDaemon daemon({.thread_number = 3,
                          .extra_kova = "plugin_timeout=1\nplugin_dir=" + plugins.path() + "/\n",
                          .metrics_listen = listen});
  insertChannel("edge");
  writeScript(plugins.file("json.sh"), "echo '{\"n\": 1}'\n");
  writeScript(plugins.file("hang.sh"), "/bin/sleep 30\n");
  const int json = insertPlugin(plugins.file("json.sh"), "1 second");
  for (int n = 0; n < 4; ++n)
    insertCollector({.plugin_id = json, .name = "j", .parameter = std::to_string(n)});
  insertCollectorOf(plugins.file("hang.sh"), "5 minutes", "hang");
  insertCollectorOf(daemon.writePlugin("out.sh", "echo '{}'\n"), "5 minutes", "out");
  ASSERT_TRUE(daemon.startAndWaitRunning());
  const std::string url = "http://" + listen + "/metrics";
  EXPECT_TRUE(waitUntil([&] {
    const std::string text = commandOutput("curl -s " + url);
    return contains(text, "\nkova_run_timeouts_total 1\n") &&
           contains(text, "\nkova_run_not_allowed_total 1\n");
  })) << commandOutput("curl -s " + url);
  int status = -1;
  EXPECT_EQ(commandOutput("curl -s " + url + " | promtool check metrics 2>&1", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(commandOutput("curl -s -o /dev/null -w '%{http_code}' http://" + listen + "/other"),
            "404");

  const Prometheus prometheus(listen);
  const std::string runs = "sum(kova_runs_total{state=\"0\"})";
  ASSERT_TRUE(waitUntil([&] {
    const std::string v = prometheus.scalar(runs, now());
    return !v.empty() && v != "NaN";
  }));
  const std::string from = now();
  const int rows = statRows();
  ASSERT_TRUE(waitUntil([&] { return statRows() >= rows + 20; }));
  const std::string to = now();
  const double scraped =
      std::stod(prometheus.scalar(runs, to)) - std::stod(prometheus.scalar(runs, from));
  const double recorded =
      std::stod(db().scalar("SELECT count(*) FROM flows_stats WHERE stat_time > to_timestamp(" +
                            from + ") AND stat_time <= to_timestamp(" + to + ")"));
  // Each end's scrape may be up to a second old: four runs a second.
  EXPECT_NEAR(scraped, recorded, 10);
  EXPECT_GE(std::stod(prometheus.scalar("sum(kova_start_delay_seconds_count)", to)),
            std::stod(prometheus.scalar(runs, to)));

  CollectorDaemon second({.metrics_listen = listen});
  second.start();
  EXPECT_EQ(second.waitExit(), 1);
  EXPECT_TRUE(contains(second.log(), "#ERR#configuration " + second.configPath() +
                                         ": [KOVA] metrics_listen='" + listen +
                                         "' cannot be bound: Address already in use\n"))
      << second.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

}  // namespace
}  // namespace kova_test
