// pelkar1 update through a real ser2net on 127.0.0.1, with the simulated device's
// pseudo-terminal behind it: whole updates of an image full of IAC and line-end bytes, the
// endings a network adds (the server stopped, nothing listening), several stations at once,
// and --repeat across a dropped connection. Also the channel's bounded open against a server
// that never answers the Telnet set-up.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "../cli/cli_test.h"
#include "../common/device_thread.h"
#include "ser2net.h"
#include "serial/network_channel.h"
#include "sim/simulated_device.h"

namespace pelkar::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The bytes a --trace output shows in one direction ('>' to the device, '<' from it).
std::size_t TracedBytes(const std::string& trace, char direction) {
  std::istringstream lines(trace);
  std::string line;
  char current = 0;
  std::size_t count = 0;
  while (std::getline(lines, line)) {
    std::string hex = line;
    if (line.rfind("[", 0) == 0) {
      auto at = line.find(" > ");
      if (at == std::string::npos) at = line.find(" < ");
      if (at == std::string::npos) continue;
      current = line[at + 1];
      hex = line.substr(at + 3);
    } else if (line.rfind("   ", 0) != 0) {
      current = 0;
      continue;
    }
    if (current != direction) continue;
    std::istringstream tokens(hex);
    std::string t;
    while (tokens >> t)
      count += t.size() == 2 ? 1 : 0;
  }
  return count;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

class NetworkUpdate : public CliFiles {
 protected:
  void SetUp() override {
    if (!Ser2net::Installed()) GTEST_SKIP() << Ser2net::kMissing;
    CliFiles::SetUp();
    // Every byte Telnet or a terminal could take for its own: IAC, the line ends, NUL.
    std::vector<std::uint8_t> image(16 * 256);
    const std::uint8_t awkward[] = {255, 255, 10, 13, 255, 11, 12, 0, 13, 10, 255, 250, 240};
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = awkward[(i * 7 + i / 13) % sizeof awkward];
    image_bytes_ = image;
    WriteFileAtomically(dir_ / "fw.bin", image);
  }

  SimulatorOptions Options(const std::string& save = "") const {
    SimulatorOptions o;
    o.device.blocks = 16;
    if (!save.empty()) o.save = dir_ / save;
    return o;
  }

  std::vector<std::uint8_t> image_bytes_;
};

TEST_F(NetworkUpdate, WholeImageArrivesThroughSer2net) {
  for (const bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "socket");
    Device device(Options("saved.bin"));
    Ser2net server({{device.get().pty_path(), rfc2217}});
    const fs::path log = dir_ / "units.jsonl";
    fs::remove(log);
    const auto r =
        Pelkar1({"update", "--trace", "--log", Text(log), "--port", server.url(), image_});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server.Log();
    EXPECT_NE(r.out.find(server.url() + ": Update OK"), std::string::npos) << r.out;
    for (int i = 0; i < 100 && !fs::exists(dir_ / "saved.bin"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadText(dir_ / "saved.bin"), std::string(image_bytes_.begin(), image_bytes_.end()));
    const auto record = nlohmann::json::parse(ReadText(log));
    EXPECT_EQ(record["path"], server.url());
    EXPECT_TRUE(record["port"].is_null());
    EXPECT_EQ(record["result"], "ok");
    // The trace shows the data, not the Telnet framing: as many bytes as the update sent.
    EXPECT_EQ(TracedBytes(r.err, '>'), record["bytes_sent"].get<std::size_t>()) << r.err;
    // The hello, 16 block requests, the checksum request and the verdict.
    EXPECT_EQ(TracedBytes(r.err, '<'), 19u);
  }
}

TEST_F(NetworkUpdate, EndingsOverTheNetwork) {
  const struct {
    const char* name;
    std::function<void(SimulatorOptions&)> set;
    int stop_server_after_ms;  // -1: never; 0: nothing listens at all
    int status;
    const char* result;
    const char* says;
    double within_s;
  } rows[] = {
      {"refused by the device", [](SimulatorOptions& o) { o.device.fail = true; }, -1, 1, "failed",
       "Update unsuccessful", 5},
      {"the server stopped mid-update", [](SimulatorOptions& o) { o.device.flash_ms = 40; }, 250, 3,
       "port-lost", "The port was lost during the update", 1.5},
      {"nothing listening", [](SimulatorOptions&) {}, 0, 3, "cannot-open", "refused the connection",
       1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SimulatorOptions o = Options();
    row.set(o);
    Device device(o);
    Ser2net server({{device.get().pty_path()}});
    std::string url = server.url();
    if (row.stop_server_after_ms == 0) {
      server.Stop();
      url = "rfc2217://127.0.0.1:" + std::to_string(Ser2net::FreePort());
    }
    std::thread stopper;
    if (row.stop_server_after_ms > 0) {
      stopper = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.stop_server_after_ms));
        server.Stop();
      });
    }
    const auto began = Clock::now();
    const auto r = Pelkar1({"update", "--json", "--port", url, image_});
    const double took = Since(began);
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["result"], row.result) << r.out;
    EXPECT_NE(j["message"].get<std::string>().find(row.says), std::string::npos) << r.out;
    EXPECT_EQ(j["path"], url);
    EXPECT_LT(took, row.within_s);
    if (row.stop_server_after_ms == 0) {
      EXPECT_NE(r.out.find("127.0.0.1 port " + url.substr(url.rfind(':') + 1)), std::string::npos)
          << r.out;
    }
  }
}

// Two stations through one server and a third on a local port, at once.
TEST_F(NetworkUpdate, StationsOnTheNetworkAndLocalAtOnce) {
  Device a(Options("a.bin"));
  Device b(Options("b.bin"));
  Device local(Options("local.bin"));
  Ser2net server({{a.get().pty_path(), true}, {b.get().pty_path(), false}});
  const auto r = Pelkar1({"update", "--port", server.url(0), "--port", server.url(1), "--port",
                          std::to_string(local.get().port()), image_});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& name : {server.url(0) + ":", server.url(1) + ":",
                                  "COM" + std::to_string(local.get().port()) + " ("}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  EXPECT_EQ(Occurrences(r.out, ": Update OK ("), 3u) << r.out;
  // Each device kept the whole image.
  for (const char* saved : {"a.bin", "b.bin", "local.bin"}) {
    for (int i = 0; i < 100 && !fs::exists(dir_ / saved); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadText(dir_ / saved), std::string(image_bytes_.begin(), image_bytes_.end()))
        << saved;
  }
}

// With --repeat a dropped connection between units is a lost port that comes back once the
// server accepts again.
TEST_F(NetworkUpdate, RepeatComesBackAfterTheServerReturns) {
  Device device(Options());
  Ser2net server({{device.get().pty_path()}});
  const fs::path log = dir_ / "units.jsonl";
  std::atomic<bool> done{false};
  std::thread restarter([&] {
    // Once the first unit's record is written, between units.
    std::error_code ec;
    while (!done && !(fs::exists(log, ec) && fs::file_size(log, ec) > 0))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done) return;
    server.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    server.Start();
  });
  const auto r = Pelkar1({"update", "--repeat", "--count", "2", "--hello-timeout", "10", "--log",
                          Text(log), "--port", server.url(), image_});
  done = true;
  restarter.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err << server.Log();
  EXPECT_NE(r.out.find("2 units: 2 OK"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(server.url() + ": waiting for the port to come back"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(server.url() + ": the port is back"), std::string::npos) << r.err;
  std::istringstream lines(ReadText(log));
  std::string line;
  int ok = 0;
  while (std::getline(lines, line))
    ok += nlohmann::json::parse(line)["result"] == "ok" ? 1 : 0;
  EXPECT_EQ(ok, 2);
}

// A server that takes the connection and never answers the Telnet set-up: the open ends after
// its bounded wait, or at once when the stop is raised.
TEST(NetworkChannel, SilentServerStallsNothing) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);  // the kernel completes connects; no one answers
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  std::string why;
  const auto url =
      ParseNetworkUrl("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), &why);
  ASSERT_TRUE(url) << why;
  for (const bool stop_it : {false, true}) {
    SCOPED_TRACE(stop_it ? "stopped" : "left to time out");
    WaitInterrupt stop;
    std::thread raiser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (stop_it) stop.Raise();
    });
    NetworkChannel channel;
    const auto began = Clock::now();
    const bool opened = channel.OpenUrl(*url, &stop);
    const double took = Since(began);
    raiser.join();
    EXPECT_EQ(opened, !stop_it) << channel.LastError();
    if (stop_it) {
      EXPECT_LT(took, 0.5);
      EXPECT_NE(channel.LastError().find("Interrupted"), std::string::npos);
      EXPECT_FALSE(channel.IsOpen());
    } else {
      EXPECT_GE(took, 0.9);
      EXPECT_LT(took, 1.5);
      ASSERT_NE(channel.codec(), nullptr);
      EXPECT_EQ(channel.codec()->com_port(), TelnetCodec::ComPort::kOffered);
      EXPECT_TRUE(channel.codec()->taking_data());
    }
  }
  ::close(listener);
}

}  // namespace
}  // namespace pelkar::test
