// One TCP or TLS connection that carries lines, driven by an io_context on
// one thread. TLS verifies the pool's certificate chain and its host name.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>
#include <asio/ssl.hpp>

namespace qkmine::pool {

class LineConnection : public std::enable_shared_from_this<LineConnection> {
 public:
  using Done = std::function<void(const std::string& error)>;  // "" on success
  using OnLine = std::function<void(std::string line)>;

  // `tls` null: plain TCP. The context must outlive the connection.
  LineConnection(asio::io_context& io, asio::ssl::context* tls, size_t max_line);

  // Resolves, connects and, for TLS, shakes hands, all within `timeout`.
  void connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout, Done done);

  // Reads lines (without '\n' or "\r\n") until the connection ends, then
  // calls `on_end` once with why.
  void read(OnLine on_line, Done on_end);

  // Queues one line (with its '\n'); a failed write ends the connection.
  void send(std::string line);

  // Closes at once; no callback runs after this.
  void close();

 private:
  template <class F>
  void with_stream(F&& f);
  void handshake(const std::string& host);
  void read_next();
  void write_next();
  void end(const std::string& why);

  asio::ip::tcp::resolver resolver_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
  asio::steady_timer deadline_;
  size_t max_line_;
  Done connected_, on_end_;
  OnLine on_line_;
  std::string buffer_;
  std::deque<std::string> out_;
  bool closed_ = false;
};

}  // namespace qkmine::pool
