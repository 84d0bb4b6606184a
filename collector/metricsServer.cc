// The metrics endpoint on Boost.Beast: one io_context served by one thread,
// asynchronous sessions with keep-alive (Prometheus reuses its connection)
// and a deadline, so a stalled scraper only ever holds its own socket.
#include "metricsServer.h"

#include <fcntl.h>

// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

// Asio's fenced blocks are bare atomic fences, which ThreadSanitizer cannot
// follow (GCC refuses them under -fsanitize=thread). Handlers here run on the
// one server thread and reach it through the scheduler's mutex, which
// orders memory already; every build goes without, so the one TSan checks
// is the one shipped. Only this file includes Asio.
#define BOOST_ASIO_DISABLE_FENCED_BLOCK

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <memory>
#include <thread>

#include "log.h"
#include "metrics.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

const std::chrono::seconds kIdleLimit(30);

// Plugins must not inherit the listening socket nor a scraper's.
void closeOnExec(int descriptor) {
  fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
}

http::response<http::string_body> answer(const http::request<http::string_body>& request) {
  const beast::string_view target = request.target();
  const bool metrics_path = target == "/metrics" || target.starts_with("/metrics?");
  http::status status = http::status::ok;
  std::string body;
  if (!metrics_path) {
    status = http::status::not_found;
    body = "not found\n";
  } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
    status = http::status::method_not_allowed;
    body = "GET only\n";
  } else {
    body = metrics::render();
  }
  http::response<http::string_body> response(status, request.version());
  response.set(http::field::content_type, status == http::status::ok
                                              ? "text/plain; version=0.0.4; charset=utf-8"
                                              : "text/plain");
  if (status == http::status::method_not_allowed) response.set(http::field::allow, "GET, HEAD");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  if (request.method() == http::verb::head) response.body().clear();
  return response;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket) : stream_(std::move(socket)) {}

  void read() {
    request_ = {};
    stream_.expires_after(kIdleLimit);
    http::async_read(
        stream_, buffer_, request_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->onRead(error); });
  }

 private:
  void onRead(beast::error_code error) {
    if (error) return close();
    response_ = answer(request_);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code error, size_t) {
                        if (error || !self->response_.keep_alive()) return self->close();
                        self->read();
                      });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
};

class Server {
 public:
  // False with *why set when the endpoint cannot be bound.
  bool listen(const tcp::endpoint& endpoint, std::string* why) {
    beast::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (!error) closeOnExec(acceptor_.native_handle());
    if (!error) acceptor_.set_option(net::socket_base::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(net::socket_base::max_listen_connections, error);
    if (error) *why = error.message();
    return !error;
  }

  void start() {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~Server() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (!error) {
        closeOnExec(socket.native_handle());
        std::make_shared<Session>(std::move(socket))->read();
      }
      accept();
    });
  }

  net::io_context io_{1};
  tcp::acceptor acceptor_{io_};  // destroyed before io_
  std::thread thread_;
};

std::unique_ptr<Server> server;  // main thread only

bool parseEndpoint(const std::string& text, tcp::endpoint* endpoint) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size() || text.size() - colon > 6)
    return false;
  std::string host = text.substr(0, colon);
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  unsigned long port = 0;
  for (char c : text.substr(colon + 1)) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  beast::error_code error;
  const net::ip::address address = net::ip::make_address(host, error);
  if (error || port < 1 || port > 65535 || address.is_v6() != bracketed) return false;
  *endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
  return true;
}

}  // namespace

std::string metricsListenProblem(const std::string& text) {
  tcp::endpoint endpoint;
  if (text.empty() || parseEndpoint(text, &endpoint)) return "";
  return "is not an address:port (for example 127.0.0.1:9753 or [::1]:9753)";
}

bool startMetricsServer(const std::string& text, const std::string& config_file) {
  tcp::endpoint endpoint;
  if (text.empty() || !parseEndpoint(text, &endpoint)) return true;
  auto started = std::make_unique<Server>();
  std::string why;
  if (!started->listen(endpoint, &why)) {
    write_log("ERR", "configuration " + config_file + ": [KOVA] metrics_listen='" + text +
                         "' cannot be bound: " + why);
    return false;
  }
  started->start();
  server = std::move(started);
  write_log("INFO", "metrics served on http://" + text + "/metrics");
  return true;
}

void stopMetricsServer() { server.reset(); }
