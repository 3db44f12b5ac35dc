// What a network --port may look like, and the one line a malformed one gets before anything
// is opened.
#include <gtest/gtest.h>

#include <algorithm>

#include "../cli/cli_test.h"
#include "serial/network_channel.h"

namespace pelkar::test {
namespace {

class NetworkPorts : public CliFiles {};

TEST(NetworkUrl, WellFormedOnesInOneSpelling) {
  const struct {
    const char* text;
    const char* host;
    int port;
    const char* spelled;
  } rows[] = {
      {"rfc2217://127.0.0.1:4000", "127.0.0.1", 4000, "rfc2217://127.0.0.1:4000"},
      {"RFC2217://Fixture-3.Line.example:1", "fixture-3.line.example", 1,
       "rfc2217://fixture-3.line.example:1"},
      {"socket://[::1]:65535", "::1", 65535, "socket://[::1]:65535"},
      {"socket://[FE80::1:2]:7000", "fe80::1:2", 7000, "socket://[fe80::1:2]:7000"},
      {"socket://host_name:07000", "host_name", 7000, "socket://host_name:7000"},
  };
  for (const auto& row : rows) {
    std::string why;
    const auto url = ParseNetworkUrl(row.text, &why);
    ASSERT_TRUE(url) << row.text << ": " << why;
    EXPECT_EQ(url->host, row.host);
    EXPECT_EQ(url->port, row.port);
    EXPECT_EQ(url->Text(), row.spelled);
  }
}

// Usage errors, exit 2, one line naming what is wrong, nothing opened.
TEST_F(NetworkPorts, MalformedNetworkPortsAreUsageErrors) {
  const struct {
    const char* port;
    const char* says;
  } rows[] = {
      {"rfc2217://:4000", "no host"},
      {"rfc2217://host", "no port"},
      {"rfc2217://host:", "no port"},
      {"socket://[::1]", "no port"},
      {"rfc2217://host:0", "the port is no number from 1 to 65535"},
      {"rfc2217://host:65536", "the port is no number from 1 to 65535"},
      {"rfc2217://host:123456", "the port is no number from 1 to 65535"},
      {"rfc2217://host:-1", "the port is no number from 1 to 65535"},
      {"rfc2217://host:40 00", "the port is no number from 1 to 65535"},
      {"rfc2217://host:4000/", "the port is no number from 1 to 65535"},
      {"rfc2217://host:4000?timeout=1", "the port is no number from 1 to 65535"},
      {"rfc2217://::1:4000", "an IPv6 address goes in brackets"},
      {"socket://[::1:4000", "an IPv6 address lacks its closing ]"},
      {"socket://[host]:4000", "not an IPv6 address between the brackets"},
      {"socket://[::1]x:4000", "junk after the host"},
      {"socket://ho st:4000", "not a host name or address"},
      {"telnet://host:4000", "not a network port; give rfc2217://HOST:PORT or socket://HOST:PORT"},
      {"://host:4000", "not a network port"},
  };
  for (const auto& row : rows) {
    const auto r = Pelkar1({"update", "--port", row.port, image_});
    EXPECT_EQ(r.status, 2) << row.port << ": " << r.err;
    const std::string head = "pelkar1 update: --port " + std::string(row.port) + ": " + row.says;
    EXPECT_EQ(r.err.substr(0, head.size()), head) << row.port;
    EXPECT_TRUE(r.err.ends_with(".\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

// One server port named twice, by either scheme, is one device.
TEST_F(NetworkPorts, OneServerPortNamedTwiceIsAUsageError) {
  const auto r = Pelkar1({"update", "--port", "rfc2217://LOCALHOST:4000", "--port",
                          "socket://localhost:4000", image_});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("name the same device"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace pelkar::test
