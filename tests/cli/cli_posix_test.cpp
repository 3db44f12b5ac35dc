// pelkar1 against simulated devices on real pseudo-terminals, and the inputs and outputs only
// a POSIX system has: links, FIFOs, device nodes, endless files, signals.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include <poll.h>
#include <unistd.h>

#include "../common/device_thread.h"
#include "../serial/held_open.h"
#include "../serial/pty.h"
#include "cli_test.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "firmware/sha256.h"
#include "sim/simulated_device.h"

namespace pelkar::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class CliPosix : public CliFiles {
 protected:
  static SimulatorOptions Options() {
    SimulatorOptions o;
    o.device.blocks = 16;
    return o;
  }
};

TEST_F(CliPosix, UpdatesADevice) {
  Device device(Options());
  const auto r = Pelkar1({"update", "--port", device.port(), image_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("COM200"), std::string::npos);
  EXPECT_NE(r.out.find(": Update OK (4096 bytes in"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Waiting for the device (reset it now)..."), std::string::npos);
  EXPECT_NE(r.err.find("COM200: 100% (16/16 blocks)"), std::string::npos) << r.err;
}

TEST_F(CliPosix, EveryEndingHasItsStatusAndResult) {
  struct Case {
    const char* name;
    void (*set)(SimulatorOptions&);
    int status;
    const char* result;
    const char* says;
  } cases[] = {
      {"ok with noise and an early 13", [](SimulatorOptions& o) { o.device.noise = true; }, 0, "ok",
       "Update OK"},
      {"refused", [](SimulatorOptions& o) { o.device.fail = true; }, 1, "failed",
       "Update unsuccessful"},
      {"bad hello", [](SimulatorOptions& o) { o.device.bad_hello = true; }, 5, "protocol-error",
       "Illegal command"},
      {"unknown verdict", [](SimulatorOptions& o) { o.device.verdict = 0x10; }, 5, "protocol-error",
       "Unexpected answer from the device (0x10)"},
      {"silence", [](SimulatorOptions& o) { o.device.silent_after = 3; }, 4, "timeout",
       "Timed out waiting for a block request"},
      {"fewer blocks asked", [](SimulatorOptions& o) { o.device.blocks = 4; }, 4, "timeout",
       "4 of 16 blocks sent"},
      {"hang-up", [](SimulatorOptions& o) { o.device.hangup_after = 5; }, 3, "port-lost",
       "The port was lost"},
  };
  for (const auto& c : cases) {
    SimulatorOptions options = Options();
    c.set(options);
    Device device(options);
    const auto start = Clock::now();
    const auto r =
        Pelkar1({"update", "--json", "--timeout", "0.3", "--port", device.port(), image_});
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << c.name;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["result"], c.result) << c.name;
    EXPECT_NE(j["message"].get<std::string>().find(c.says), std::string::npos)
        << c.name << ": " << j["message"];
  }
}

TEST_F(CliPosix, TwoDevicesAtOnceAndTheWorstStatus) {
  Device good(Options());
  SimulatorOptions failing = Options();
  failing.device.fail = true;
  Device bad(failing);
  auto r = Pelkar1({"update", "--port", good.port(), "--port", bad.port(), image_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("COM200"), std::string::npos);
  EXPECT_NE(r.err.find("COM201"), std::string::npos);
  EXPECT_NE(r.err.find("Update unsuccessful"), std::string::npos) << r.err;

  Device other(Options());
  r = Pelkar1({"update", "--quiet", "--port", good.port(), "--port", "COM" + other.port(), image_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST_F(CliPosix, InterruptEndsWithThePortClosed) {
  // Ctrl-C, a kill, and a closed terminal or dropped ssh session alike.
  for (const int sig : {0, SIGTERM, SIGHUP}) {
    SimulatorOptions options = Options();
    options.device.silent_after = 2;
    Device device(options);
    std::thread ctrl_c([sig] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      sig == 0 ? cli::RequestInterrupt() : static_cast<void>(::kill(::getpid(), sig));
    });
    const auto r = Pelkar1({"update", "--json", "--port", device.port(), image_});
    ctrl_c.join();
    EXPECT_EQ(r.status, 130) << sig;
    EXPECT_EQ(nlohmann::json::parse(r.out)["result"], "interrupted") << sig;
  }
  // The port is free again: another update gets through to the device's next exchange.
  SimulatorOptions fresh = Options();
  Device again(fresh);
  EXPECT_EQ(Pelkar1({"update", "--port", again.port(), image_}).status, 0);
}

TEST_F(CliPosix, PortsOfADeviceMeanWhatTheySay) {
  Device device(Options());
  const std::string com = "COM" + device.port();
  // A stable link to the port, as /dev/serial/by-id gives one, is named by the port it leads to.
  fs::create_symlink(device.get().link_path(), dir_ / "by-id-link");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;  // in stdout or stderr
  } cases[] = {
      {{"update", "--port", device.port(), image_, "--json", "--quiet"}, 0, "\"result\":\"ok\""},
      {{"update", "--port", device.port(), "--port", com, image_}, 2, "name the same device"},
      {{"update", "--port", device.port(), "--port", device.get().pty_path(), image_},
       2,
       "name the same device"},
      {{"update", "--port", "150", image_},
       3,
       "Can't open port: 150 is not a port of this machine"},
      {{"update", "--json", "--port", Text(dir_ / "by-id-link"), image_}, 0, "\"port\":200,"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.says << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
  // The listing: the number as a number, who may open it, and no USB adapter behind it.
  const auto listed = nlohmann::json::parse(Pelkar1({"ports", "--json"}).out);
  const auto it =
      std::find_if(listed.begin(), listed.end(), [](const auto& p) { return p["port"] == 200; });
  ASSERT_NE(it, listed.end()) << listed;
  EXPECT_EQ((*it)["access"], "ready");
  EXPECT_TRUE((*it)["adapter"].is_null());
  EXPECT_EQ((*it)["holders"], nlohmann::json::array());
  EXPECT_TRUE((*it)["latency_ms"].is_null()) << "a pseudo-terminal has no latency timer";
  EXPECT_EQ((*it)["path"], device.get().link_path().string());
}

TEST_F(CliPosix, OutputsNeverReplaceLinkedInputsOrSpecialFiles) {
  const fs::path hex = dir_ / "a.hex";
  const std::string text = ":0100000042BD\n:00000001FF\n";
  std::ofstream(hex) << text;
  fs::create_symlink(hex, dir_ / "link.hex");
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  fs::copy_file(hex, dir_ / "locked.hex");
  ::chmod((dir_ / "locked.hex").c_str(), 0400);
  fs::create_symlink(dir_ / "locked.hex", dir_ / "to-locked.hex");
  const std::string fw = image_;
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"encode", hex.string(), "-o", (dir_ / "link.hex").string()}, 6},
      {{"bin2hex", fw, (dir_ / "fifo").string()}, 6},
      {{"bin2hex", fw, "/dev/null"}, 6},
      {{"bin2hex", fw, (dir_ / "to-locked.hex").string()}, 6},
      {{"update", "--port", "1", hex.string(), "--log", (dir_ / "link.hex").string()}, 2},
      {{"update", "--port", "1", (dir_ / "link.hex").string(), "--log", hex.string()}, 2},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << ": " << r.err;
  }
  EXPECT_EQ(ReadText(hex), text);
  EXPECT_EQ(ReadText(dir_ / "locked.hex"), text);
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(CliPosix, EndlessAndFailingInputsEndInOneLine) {
  // A sparse file past the limit, and what could block a read for good.
  std::ofstream(dir_ / "huge.hex").close();
  fs::resize_file(dir_ / "huge.hex", (64u << 20) + 1);
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"encode", (dir_ / "huge.hex").string(), "-o", (dir_ / "z.bin").string()},
       "larger than 64 MiB"},
      {{"encode", "/dev/zero", "-o", (dir_ / "z.bin").string()}, "not a regular file"},
      {{"info", "/dev/ptmx"}, "not a regular file"},
      {{"info", (dir_ / "fifo").string()}, "not a regular file"},
      {{"update", "--port", "1", (dir_ / "fifo").string()}, "not a regular file"},
      {{"encode", "/proc/self/mem", "-o", (dir_ / "m.bin").string()}, "Input/output error"},
      {{"bin2hex", "/proc/self/mem", (dir_ / "m.hex").string()}, "Input/output error"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, 6) << c.args[1];
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 3);

  // A name that is not UTF-8 still gives valid JSON; a CR in it is not printed raw.
  const fs::path odd = dir_ / "odd\xFF\r.bin";
  fs::copy_file(image_, odd);
  auto r = Pelkar1({"info", "--json", odd.string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
  r = Pelkar1({"info", odd.string()});
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

// The HEX build goes to the device as `encode` would write it; a bad one opens no port.
TEST_F(CliPosix, SendsTheHexBuildEncodedInMemory) {
  const std::string good = ":0100000042BD\n:01000400AA51\n:00000001FF\n";
  std::ofstream(dir_ / "fw.hex") << good;
  std::ofstream(dir_ / "build.txt") << good;  // HEX by content, whatever the name
  std::ofstream(dir_ / "bad.hex") << ":0100000042BD\n:0100000042BC\n";
  std::ofstream(dir_ / "blank.ihx") << ":00000001FF\n";
  const auto image = EncodeHex(good);
  const std::string says = ": 40960 bytes, image checksum " + std::to_string(ImageCrc(image));
  struct Case {
    std::string file;
    int status;
    std::string says;  // the first line of stdout, or in stderr
  } cases[] = {
      {"fw.hex", 0, "Encoded " + In("fw.hex") + says},
      {"build.txt", 0, "Encoded " + In("build.txt") + says},
      {"bad.hex", 6, "bad.hex: line 2: checksum 0xBD expected, 0xBC found. Nothing was sent."},
      {"blank.ihx", 6, "the image would be blank"},
  };
  for (const auto& c : cases) {
    SimulatorOptions options;  // 160 blocks, as the encoder's image
    options.save = dir_ / "received.bin";
    fs::remove(dir_ / "received.bin");
    Device device(options);
    const auto r = Pelkar1({"update", "--port", device.port(), In(c.file)});
    EXPECT_EQ(r.status, c.status) << c.file << "\n" << r.out << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.says) << r.out;
      EXPECT_EQ(ReadText(dir_ / "received.bin"), std::string(image.begin(), image.end()));
    } else {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("Waiting for the device"), std::string::npos) << r.err;
      EXPECT_TRUE(device.get().exchanges().empty()) << c.file;
    }
  }
  // info reads it the same way.
  const auto r = Pelkar1({"info", "--json", In("fw.hex")});
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["format"], "intel-hex");
  EXPECT_EQ(j["image_crc"], ImageCrc(image));
  EXPECT_EQ(j["image_sha256"], Sha256Hex(image));
  EXPECT_EQ(j["file_sha256"], Sha256Hex(good));
}

std::vector<nlohmann::json> LogRecords(const fs::path& file) {
  std::vector<nlohmann::json> records;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    records.push_back(nlohmann::json::parse(line));
  return records;
}

// Two fixtures, each printing a line after every unit; the second unit on the first fails.
TEST_F(CliPosix, RepeatServesUnitAfterUnitOnSeveralPorts) {
  SimulatorOptions a = Options();
  a.device.next_unit_ms = 30;
  a.device.text_after = "App 1.2 ready";
  a.device.failing_units = {2};
  SimulatorOptions b = a;
  b.device.failing_units = {};
  b.device.next_unit_ms = 60;
  Device first(a);
  Device second(b);
  const fs::path log = dir_ / "units.jsonl";
  const auto r = Pelkar1({"update", "--repeat", "--count", "6", "--timeout", "0.5", "--log",
                          Text(log), "--port", first.port(), "--port", second.port(), image_});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("\n6 units: 5 OK, 1 failed\n"), std::string::npos) << r.out;
  for (int n = 1; n <= 6; ++n) {
    EXPECT_NE(r.out.find("#" + std::to_string(n) + " COM"), std::string::npos) << n << r.out;
  }
  EXPECT_EQ(r.out.find("#7 "), std::string::npos) << r.out;

  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 6u);
  std::set<int> units;
  std::set<int> ports;
  int failed = 0;
  for (const auto& j : records) {
    units.insert(j["unit"].get<int>());
    ports.insert(j["port"].get<int>());
    failed += j["result"] == "failed" ? 1 : 0;
    EXPECT_EQ(j["blocks"], 16);
    EXPECT_EQ(j["file_sha256"], Sha256Hex(SmallImage()));
    EXPECT_EQ(j["host"], records[0]["host"]);
    EXPECT_TRUE(j["adapter"].is_null());
    EXPECT_EQ(j["time"].get<std::string>().size(), 24u) << j["time"];  // ...T22:19:06.123Z
  }
  EXPECT_EQ(units, (std::set<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(ports.size(), 2u);
  EXPECT_EQ(failed, 1);
  // The device saw no extra unit: the text lines were not taken as one.
  std::size_t played = first.get().exchanges().size() + second.get().exchanges().size();
  EXPECT_LE(played, 8u);
}

// An adapter pulled during a unit fails that unit; the port is looked for until --hello-timeout
// and, when it does not come back, the run fails with it.
TEST_F(CliPosix, RepeatEndsAPortThatIsLost) {
  SimulatorOptions o = Options();
  o.device.hangup_after = 3;
  Device device(o);
  const fs::path log = dir_ / "units.jsonl";
  const auto r = Pelkar1({"update", "--repeat", "--hello-timeout", "1", "--log", Text(log),
                          "--port", device.port(), image_});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.out.find("#1 COM200"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The port was lost during the update (3 of 16 blocks sent)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 unit: 0 OK, 1 failed"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("waiting for the port to come back"), std::string::npos) << r.err;
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "port-lost");
  EXPECT_EQ(records[0]["blocks"], 3);
}

TEST_F(CliPosix, UpdateJsonShape) {
  Device device(Options());
  auto r = Pelkar1({"update", "--json", "--port", device.port(), image_});
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_GE(j["seconds"].get<double>(), 0);
  EXPECT_EQ(j["file_sha256"], Sha256Hex(SmallImage()));
  EXPECT_EQ(j["image_sha256"], j["file_sha256"]);
  EXPECT_GE(j["block_ms_max"].get<double>(), j["block_ms_median"].get<double>());
  j["seconds"] = j["block_ms_median"] = j["block_ms_max"] = 0;
  j["path"] = "PATH";
  j["time"] = "TIME";
  j["host"] = "HOST";
  j["file"] = "FILE";
  j["file_sha256"] = j["image_sha256"] = "SHA";
  EXPECT_EQ(j.dump(2), ReadText(fs::path(PELKAR_TEST_DATA_DIR) / "update.json"));
}

// Two pseudo-terminals' masters wired back to back, as a null-modem cable joins two adapters.
class Bridge {
 public:
  Bridge(test::Pty& a, test::Pty& b) : thread_([this, &a, &b] { Copy(a.master(), b.master()); }) {}
  ~Bridge() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Copy(int a, int b) {
    while (!stop_) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      ::poll(p, 2, 20);
      for (int i = 0; i < 2; ++i) {
        std::uint8_t buf[512];
        const ssize_t n = (p[i].revents & POLLIN) ? ::read(p[i].fd, buf, sizeof buf) : 0;
        if (n > 0) [[maybe_unused]]
          const ssize_t w = ::write(p[1 - i].fd, buf, n);
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(CliPosix, SimulatesOnAnExistingPort) {
  test::Pty device_end;
  test::Pty host_end;
  Bridge cable(device_end, host_end);
  Outcome sim;
  std::thread device([&] {
    sim = Pelkar1({"simulate", "--on", device_end.path(), "--once", "--blocks", "16", "--baud",
                   "115200", "--save", In("got.bin")});
  });
  const auto r = Pelkar1({"update", "--port", host_end.path(), image_});
  device.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sim.status, 0) << sim.err;
  EXPECT_EQ(sim.out.rfind("Simulated device ready on " + device_end.path() + "; ", 0), 0u)
      << sim.out;
  EXPECT_TRUE(ReadText(dir_ / "got.bin") == ReadText(image_)) << "the saved image differs";
}

TEST_F(CliPosix, SimulateRefusesAPortInOneLine) {
  test::Pty held;
  test::HeldOpen holder(held.path());
  const struct {
    std::string on;
    std::vector<std::string> more;
    int status;
    std::string says;
  } cases[] = {
      {In("nothing"), {}, 3, In("nothing")},
      {image_, {}, 3, "Not a serial port"},
      {held.path(), {}, 3, "is held by another program"},
      {held.path(), {"--com", "201"}, 2, "--com excludes --on"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"simulate", "--on", c.on};
    args.insert(args.end(), c.more.begin(), c.more.end());
    const auto r = Pelkar1(args);
    EXPECT_EQ(r.status, c.status) << c.on << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace pelkar::test
