// A pool's address as users write it: stratum+tcp://host:port or
// stratum+ssl://host:port (IPv6 hosts in brackets).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qkmine::pool {

struct PoolUrl {
  bool tls = false;
  std::string host;  // without brackets
  uint16_t port = 0;

  std::string text() const;  // the URL again, as users wrote it
};

// The URL, or nullopt with `error` saying what is wrong.
std::optional<PoolUrl> parse_pool_url(std::string_view url, std::string& error);

}  // namespace qkmine::pool
