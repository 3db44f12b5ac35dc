// A real ser2net (Debian's, YAML configuration) on 127.0.0.1 for the tests: one connection per
// device, each at a free TCP port, run in the foreground without lock files, its
// configuration and log in a folder of its own. A test skips with one line where ser2net is not
// installed: `if (!Ser2net::Installed()) GTEST_SKIP() << Ser2net::kMissing;`.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pelkar::test {

class Ser2net {
 public:
  static constexpr const char* kMissing = "ser2net is not installed (apt-get install ser2net)";

  struct Connection {
    std::string device;              // the serial device ser2net opens while a client is connected
    bool rfc2217 = true;             // telnet(rfc2217) over TCP, or raw TCP
    bool chardelay = false;          // ser2net's default is on: it holds the device's bytes a while
    std::string line = "115200n81";  // what ser2net sets at each connect
  };

  static bool Installed();
  // A TCP port of 127.0.0.1 nothing listens on now.
  static std::uint16_t FreePort();

  // Starts ser2net and waits until it listens on every port; throws std::runtime_error when
  // it does not.
  explicit Ser2net(std::vector<Connection> connections);
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;
  ~Ser2net();

  std::uint16_t port(std::size_t i = 0) const { return ports_.at(i); }
  // "rfc2217://127.0.0.1:PORT" or "socket://127.0.0.1:PORT".
  std::string url(std::size_t i = 0) const;
  // Kills the server at once: its clients see the connection end.
  void Stop();
  // Starts it again on the same ports.
  void Start();
  // What ser2net printed, for a failure's message.
  std::string Log() const;

 private:
  std::vector<Connection> connections_;
  std::vector<std::uint16_t> ports_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

}  // namespace pelkar::test
