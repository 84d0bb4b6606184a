// The HTTP endpoint Prometheus scrapes: GET /metrics answers metrics::render(),
// every other path 404. It runs on a thread of its own, whose only shared
// state is what metrics.h guards, so no scraper can hold a worker up.
#pragma once

#include <string>

// What is wrong with a metrics_listen value ("" when usable): an IPv4
// address or a bracketed IPv6 one, a colon and a port from 1 to 65535.
std::string metricsListenProblem(const std::string& text);

// Binds text (checked by metricsListenProblem; empty: no server) and starts
// the server thread. False, with an "ERR" line naming config_file, the
// section and the key, when the address cannot be bound. Main thread only, after the stop signal is
// blocked; at most one server.
bool startMetricsServer(const std::string& text, const std::string& config_file);

// Stops the server and joins its thread; open connections are closed.
// No-op when none runs. Main thread only.
void stopMetricsServer();
