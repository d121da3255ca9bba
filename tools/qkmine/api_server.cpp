#include "api_server.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <chrono>
#include <cstring>

namespace qkmine {
namespace {

constexpr const char* kJson = "application/json";
constexpr const char* kPrometheus = "text/plain; version=0.0.4; charset=utf-8";

// Compares in time independent of where the texts differ.
bool same_secret(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
  return diff == 0;
}

}  // namespace

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

std::string api_options_problem(const ApiOptions& options) {
  if (options.port < 0 || options.port > 65535) return "--api-port takes 0 to 65535 (0: any free port)";
  if (options.bind.empty()) return "--api-bind takes an address";
  if (!is_loopback(options.bind) && options.token.empty()) {
    return "--api-bind " + options.bind + " is reachable from other machines: give --api-token too";
  }
  return "";
}

ApiServer::ApiServer(ApiOptions options, Content content)
    : options_(std::move(options)), content_(std::move(content)), server_(std::make_unique<httplib::Server>()) {}

ApiServer::~ApiServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool ApiServer::start(std::string* why) {
  // SO_REUSEADDR alone: httplib's default adds SO_REUSEPORT, which would let
  // a second process share (and answer on) a port already serving.
  server_->set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const std::string token = options_.token;
  server_->set_pre_routing_handler([token](const httplib::Request& req, httplib::Response& res) {
    if (token.empty() || same_secret(req.get_header_value("Authorization"), "Bearer " + token)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_content("{\"error\":\"a bearer token is required\"}\n", kJson);
    return httplib::Server::HandlerResponse::Handled;
  });
  server_->Get("/summary", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(content_.summary() + "\n", kJson);
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(content_.metrics(), kPrometheus);
  });
  // Read-only: anything but GET is refused.
  const auto read_only = [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "GET");
  };
  for (const char* path : {"/summary", "/metrics"}) {
    server_->Post(path, read_only);
    server_->Put(path, read_only);
    server_->Delete(path, read_only);
    server_->Patch(path, read_only);
  }
  port_ = options_.port == 0 ? server_->bind_to_any_port(options_.bind) : options_.port;
  if (port_ <= 0 || (options_.port != 0 && !server_->bind_to_port(options_.bind, options_.port))) {
    if (why != nullptr) {
      *why = "cannot listen on " + options_.bind + ":" + std::to_string(options_.port) + " (" +
             std::strerror(errno) + ")";
    }
    port_ = 0;
    return false;
  }
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    stopped_.store(true);
  });
  // stop() only stops a server that is running: wait for it, so that a
  // server destroyed at once does not serve on forever.
  while (!server_->is_running() && !stopped_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

}  // namespace qkmine
