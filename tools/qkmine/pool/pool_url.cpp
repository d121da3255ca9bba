#include "pool_url.h"

namespace qkmine::pool {
namespace {

constexpr std::string_view kTcp = "stratum+tcp://", kTls = "stratum+ssl://";

bool host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == ':';
}

}  // namespace

std::string PoolUrl::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return std::string(tls ? kTls : kTcp) + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<PoolUrl> parse_pool_url(std::string_view url, std::string& error) {
  PoolUrl out;
  if (url.substr(0, kTcp.size()) == kTcp) {
    url.remove_prefix(kTcp.size());
  } else if (url.substr(0, kTls.size()) == kTls) {
    url.remove_prefix(kTls.size());
    out.tls = true;
  } else {
    error = "a pool URL starts with stratum+tcp:// or stratum+ssl://";
    return std::nullopt;
  }
  size_t colon;
  if (!url.empty() && url.front() == '[') {
    const size_t close = url.find(']');
    if (close == std::string_view::npos || close + 1 >= url.size() || url[close + 1] != ':') {
      error = "a bracketed IPv6 host is followed by :port";
      return std::nullopt;
    }
    out.host = std::string(url.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = url.rfind(':');
    if (colon == std::string_view::npos) {
      error = "the pool URL needs a port (host:port)";
      return std::nullopt;
    }
    out.host = std::string(url.substr(0, colon));
    if (out.host.find(':') != std::string::npos) {
      error = "an IPv6 host goes in brackets: [::1]:port";
      return std::nullopt;
    }
  }
  if (out.host.empty() || out.host.size() > 253) {
    error = "the pool URL has no host";
    return std::nullopt;
  }
  for (const char c : out.host) {
    if (!host_character(c)) {
      error = "the pool's host has a character hosts do not have";
      return std::nullopt;
    }
  }
  const std::string_view port = url.substr(colon + 1);
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9' || value > 65535) {
      value = 70000;
      break;
    }
    value = value * 10 + unsigned(c - '0');
  }
  if (port.empty() || value == 0 || value > 65535) {
    error = "the pool's port must be 1 to 65535";
    return std::nullopt;
  }
  out.port = uint16_t(value);
  return out;
}

}  // namespace qkmine::pool
