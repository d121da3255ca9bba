#include "line_connection.h"

#include <openssl/ssl.h>

namespace qkmine::pool {
namespace {

std::string describe(const std::error_code& e) {
  if (e == asio::error::eof || e == asio::ssl::error::stream_truncated) return "the pool closed the connection";
  return e.message();
}

bool is_ip_literal(const std::string& host) {
  std::error_code e;
  asio::ip::make_address(host, e);
  return !e;
}

}  // namespace

LineConnection::LineConnection(asio::io_context& io, asio::ssl::context* tls, size_t max_line)
    : resolver_(io), socket_(io), deadline_(io), max_line_(max_line) {
  if (tls != nullptr) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
}

template <class F>
void LineConnection::with_stream(F&& f) {
  if (tls_) {
    f(*tls_);
  } else {
    f(socket_);
  }
}

void LineConnection::connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                             Done done) {
  connected_ = std::move(done);
  auto self = shared_from_this();
  deadline_.expires_after(timeout);
  deadline_.async_wait([this, self](const std::error_code& e) {
    if (!e && !closed_) end("timed out connecting");
  });
  resolver_.async_resolve(host, std::to_string(port),
                          [this, self, host](const std::error_code& e, asio::ip::tcp::resolver::results_type hits) {
                            if (closed_) return;
                            if (e) return end("cannot resolve " + host + ": " + e.message());
                            asio::async_connect(socket_, hits, [this, self, host](const std::error_code& e2, const auto&) {
                              if (closed_) return;
                              if (e2) return end("cannot connect: " + e2.message());
                              if (tls_) return handshake(host);
                              deadline_.cancel();
                              std::exchange(connected_, nullptr)("");
                            });
                          });
}

void LineConnection::handshake(const std::string& host) {
  auto self = shared_from_this();
  tls_->set_verify_mode(asio::ssl::verify_peer);
  tls_->set_verify_callback(asio::ssl::host_name_verification(host));
  // Server name indication, for pools behind a name-based TLS front; IP literals carry none.
  if (!is_ip_literal(host)) SSL_set_tlsext_host_name(tls_->native_handle(), host.c_str());
  tls_->async_handshake(asio::ssl::stream_base::client, [this, self](const std::error_code& e) {
    if (closed_) return;
    if (e) return end("TLS handshake failed: " + e.message());
    deadline_.cancel();
    std::exchange(connected_, nullptr)("");
  });
}

void LineConnection::read(OnLine on_line, Done on_end) {
  on_line_ = std::move(on_line);
  on_end_ = std::move(on_end);
  read_next();
}

void LineConnection::read_next() {
  auto self = shared_from_this();
  with_stream([&](auto& stream) {
    // One byte more than the longest line: the '\n' itself.
    asio::async_read_until(stream, asio::dynamic_buffer(buffer_, max_line_ + 1), '\n',
                           [this, self](const std::error_code& e, size_t n) {
                             if (closed_) return;
                             if (e == asio::error::not_found) {
                               return end("a line over " + std::to_string(max_line_ / 1024) + " KiB");
                             }
                             if (e) return end(describe(e));
                             std::string line = buffer_.substr(0, n - 1);
                             buffer_.erase(0, n);
                             if (!line.empty() && line.back() == '\r') line.pop_back();
                             on_line_(std::move(line));
                             if (!closed_) read_next();
                           });
  });
}

void LineConnection::send(std::string line) {
  if (closed_) return;
  out_.push_back(std::move(line));
  if (out_.size() == 1) write_next();
}

void LineConnection::write_next() {
  auto self = shared_from_this();
  with_stream([&](auto& stream) {
    asio::async_write(stream, asio::buffer(out_.front()), [this, self](const std::error_code& e, size_t) {
      if (closed_) return;
      if (e) return end("cannot send: " + describe(e));
      out_.pop_front();
      if (!out_.empty()) write_next();
    });
  });
}

void LineConnection::end(const std::string& why) {
  if (closed_) return;
  Done first = connected_ ? std::exchange(connected_, nullptr) : std::exchange(on_end_, nullptr);
  close();
  if (first) first(why.empty() ? "connection ended" : why);
}

void LineConnection::close() {
  if (closed_) return;
  closed_ = true;
  std::error_code ignored;
  deadline_.cancel();
  resolver_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace qkmine::pool
