// qkmine mine's monitoring endpoint: GET /summary (JSON) and GET /metrics
// (Prometheus text), read-only, on cpp-httplib. It binds 127.0.0.1 unless
// told otherwise; a bind beyond the loopback needs a token, which every
// request must then carry as "Authorization: Bearer <token>" (a token given
// for a loopback bind is required too).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace qkmine {

struct ApiOptions {
  std::string bind = "127.0.0.1";
  int port = 0;       // 0: the system picks one (port() says which)
  std::string token;  // "": no token asked for
};

// "" when `options` may serve, else why not (a bind beyond the loopback
// without a token, a port out of range).
std::string api_options_problem(const ApiOptions& options);
bool is_loopback(const std::string& host);

class ApiServer {
 public:
  struct Content {
    std::function<std::string()> summary;  // a JSON document
    std::function<std::string()> metrics;  // Prometheus text
  };
  ApiServer(ApiOptions options, Content content);
  ~ApiServer();  // stops serving
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds and starts serving on a thread of its own; false with `why`
  // when the address cannot be bound.
  bool start(std::string* why);
  int port() const { return port_; }

 private:
  ApiOptions options_;
  Content content_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<bool> stopped_{false};  // the serving thread is done
  std::thread thread_;
  int port_ = 0;
};

}  // namespace qkmine
