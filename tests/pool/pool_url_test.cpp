// Pool URLs as users write them, and the ones refused with a reason.
#include <gtest/gtest.h>

#include "pool_url.h"

namespace {

using qkmine::pool::parse_pool_url;

TEST(PoolUrl, AcceptedUrlsAndTheirParts) {
  struct Case {
    const char* url;
    bool tls;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"stratum+tcp://pool.example.com:3333", false, "pool.example.com", 3333},
      {"stratum+ssl://pool.example.com:443", true, "pool.example.com", 443},
      {"stratum+tcp://127.0.0.1:1", false, "127.0.0.1", 1},
      {"stratum+ssl://[::1]:65535", true, "::1", 65535},
      {"stratum+tcp://my_rig-2.lan:08080", false, "my_rig-2.lan", 8080},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto url = parse_pool_url(c.url, error);
    ASSERT_TRUE(url) << c.url << ": " << error;
    EXPECT_EQ(url->tls, c.tls) << c.url;
    EXPECT_EQ(url->host, c.host) << c.url;
    EXPECT_EQ(url->port, c.port) << c.url;
    const auto again = parse_pool_url(url->text(), error);
    ASSERT_TRUE(again) << url->text();
    EXPECT_EQ(again->text(), url->text());
  }
}

TEST(PoolUrl, RefusedUrlsSayWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"tcp://pool:3333", "starts with stratum+tcp:// or stratum+ssl://"},
      {"stratum+http://pool:3333", "starts with"},
      {"stratum+tcp://pool", "needs a port"},
      {"stratum+tcp://:3333", "no host"},
      {"stratum+tcp://pool:", "port must be 1 to 65535"},
      {"stratum+tcp://pool:0", "port must be 1 to 65535"},
      {"stratum+tcp://pool:65536", "port must be 1 to 65535"},
      {"stratum+tcp://pool:99999999999999999999", "port must be 1 to 65535"},
      {"stratum+tcp://pool:33a", "port must be 1 to 65535"},
      {"stratum+tcp://pool:3333/path", "port must be 1 to 65535"},
      {"stratum+tcp://::1:3333", "IPv6 host goes in brackets"},
      {"stratum+tcp://[::1]3333", "followed by :port"},
      {"stratum+tcp://[::1", "followed by :port"},
      {"stratum+tcp://user@pool:3333", "character hosts do not have"},
      {"stratum+tcp://po ol:3333", "character hosts do not have"},
  };
  for (const auto& [url, why] : cases) {
    std::string error;
    EXPECT_FALSE(parse_pool_url(url, error)) << url;
    EXPECT_NE(error.find(why), std::string::npos) << url << ": " << error;
  }
}

}  // namespace
