// pelkar1 end to end: the tool's own entry point against simulated devices on real
// pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "../serial/pty.h"
#include "cli/cli.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "sim/simulated_device.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Pelkar1(std::vector<std::string> args) {
  args.insert(args.begin(), "pelkar1");
  std::ostringstream out;
  std::ostringstream err;
  const int status = cli::Run(args, {out, err, false});
  return {status, out.str(), err.str()};
}

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A simulated device serving on its own thread for as long as the object lives.
class Device {
 public:
  explicit Device(SimulatorOptions options) : device_(std::move(options)) {
    thread_ = std::thread([this] { device_.Run(); });
  }
  ~Device() {
    device_.RequestStop();
    thread_.join();
  }
  std::string port() const { return std::to_string(device_.port()); }
  SimulatedDevice& get() { return device_; }

 private:
  SimulatedDevice device_;
  std::thread thread_;
};

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pelkar-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    image_ = (dir_ / "fw.bin").string();
    WriteFileAtomically(image_, SmallImage());
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::vector<std::uint8_t> SmallImage() {
    std::vector<std::uint8_t> b(16 * 256);
    for (std::size_t i = 0; i < b.size(); ++i)
      b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return b;
  }
  static SimulatorOptions Options() {
    SimulatorOptions o;
    o.device.blocks = 16;
    return o;
  }

  fs::path dir_;
  std::string image_;
};

TEST_F(Cli, UpdatesADevice) {
  Device device(Options());
  const auto r = Pelkar1({"update", "--port", device.port(), image_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("COM200"), std::string::npos);
  EXPECT_NE(r.out.find(": Update OK (4096 bytes in"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Waiting for the device (reset it now)..."), std::string::npos);
  EXPECT_NE(r.err.find("COM200: 100% (16/16 blocks)"), std::string::npos) << r.err;
}

TEST_F(Cli, EveryEndingHasItsStatusAndResult) {
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
      {"hang-up", [](SimulatorOptions& o) { o.hangup_after = 5; }, 3, "port-lost",
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

TEST_F(Cli, TwoDevicesAtOnceAndTheWorstStatus) {
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

TEST_F(Cli, InterruptEndsWithThePortClosed) {
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

TEST_F(Cli, NoiseDoesNotHoldTheTimeOutOpen) {
  test::Pty pty;
  std::atomic<bool> chatter{true};
  std::thread device([&] {
    // The hello until the host answers it, then noise instead of block requests.
    do {
      pty.Write({10});
    } while (chatter && pty.Read(1, std::chrono::milliseconds(50)).empty());
    while (chatter) {
      pty.Write({0x55});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto start = Clock::now();
  const auto r = Pelkar1({"update", "--timeout", "0.3", "--port", pty.path(), image_});
  chatter = false;
  device.join();
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_NE(r.err.find("without progress"), std::string::npos) << r.err;
}

TEST_F(Cli, ArgumentsMeanWhatTheySay) {
  Device device(Options());
  const std::string com = "COM" + device.port();
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;  // in stdout or stderr
  } cases[] = {
      {{"update", "--port", device.port(), image_, "--json", "--quiet"}, 0, "\"result\":\"ok\""},
      {{"update", "--port", device.port(), image_, image_ + "2"}, 2, "not expected"},
      {{"update", "--port", device.port(), "--port", com, image_}, 2, "name the same device"},
      {{"update", "--port", device.port(), "--port", device.get().pty_path(), image_},
       2,
       "name the same device"},
      {{"update", "--port", "0", image_}, 2, "from 1 to 255"},
      {{"update", "--port", "COM256", image_}, 2, "from 1 to 255"},
      {{"update", "--port", "1", image_, "--timeout", "0"}, 2, "above 0 and at most 86400"},
      {{"update", "--port", "1", image_, "--timeout", "nan"}, 2, "above 0 and at most 86400"},
      {{"update", "--port", "1", image_, "--hello-timeout", "1e10"}, 2, "at most 86400"},
      {{"update", "--json", "--port", "1", (dir_ / "none.bin").string()},
       6,
       "\"result\":\"bad-input\""},
      {{"updte"}, 2, "Did you mean 'update'?"},
      {{"help", "encode"}, 0, "Usage: pelkar1 encode"},
      {{"--version"}, 0, "pelkar1 "},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.says << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    if (r.status != 0) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
}

TEST_F(Cli, OutputsNeverReplaceInputsOrSpecialFiles) {
  const fs::path hex = dir_ / "a.hex";
  const std::string text = ":0100000042BD\n:00000001FF\n";
  std::ofstream(hex) << text;
  fs::create_symlink(hex, dir_ / "link.hex");
  fs::create_directory(dir_ / "sub");
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  const std::string fw = image_;
  const std::vector<std::vector<std::string>> cases = {
      {"encode", hex.string(), "-o", (dir_ / "." / "a.hex").string()},
      {"encode", hex.string(), "-o", (dir_ / "link.hex").string()},
      {"hex2bin", hex.string(), hex.string()},
      {"hex2bin", hex.string(), (dir_ / "sub").string()},
      {"bin2hex", fw, fw},
      {"bin2hex", fw, (dir_ / "fifo").string()},
      {"bin2hex", fw, "/dev/null"},
  };
  for (const auto& args : cases) {
    const auto r = Pelkar1(args);
    EXPECT_EQ(r.status, 6) << args[0] << " " << args.back() << ": " << r.err;
  }
  EXPECT_EQ(ReadText(hex), text);
  const auto bytes = SmallImage();
  EXPECT_EQ(ReadText(fw), std::string(bytes.begin(), bytes.end()));
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(Cli, EndlessHugeAndFailingInputsEndInOneLine) {
  std::ofstream(dir_ / "wide.hex")
      << ":0100000042BD\n:020000044000BA\n:0100000042BD\n:00000001FF\n";
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"encode", "/dev/zero", "-o", (dir_ / "z.bin").string()}, "larger than 64 MiB"},
      {{"encode", "/proc/self/mem", "-o", (dir_ / "m.bin").string()}, "Input/output error"},
      {{"bin2hex", "/proc/self/mem", (dir_ / "m.hex").string()}, "Input/output error"},
      {{"hex2bin", (dir_ / "wide.hex").string(), (dir_ / "w.bin").string()},
       "spans addresses 0x0 to 0x40000000 (1024.0 MiB)"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, 6) << c.args[1];
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 2);

  // A name that is not UTF-8 still gives valid JSON; a CR in it is not printed raw.
  const fs::path odd = dir_ / "odd\xFF\r.bin";
  fs::copy_file(image_, odd);
  auto r = Pelkar1({"info", "--json", odd.string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
  r = Pelkar1({"info", odd.string()});
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  // Decimal unless written with 0x: 010 is ten.
  r = Pelkar1({"hex2bin", (dir_ / "wide.hex").string(), (dir_ / "d.bin").string(), "--begin", "0",
               "--end", "010"});
  EXPECT_EQ(fs::file_size(dir_ / "d.bin"), 10u) << r.err;
}

TEST_F(Cli, RefusesWhatCannotWork) {
  auto r = Pelkar1({"update", "--port", "150", image_});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Can't open port: 150 is not a port of this machine"), std::string::npos);
  r = Pelkar1({"update", "--port", (dir_ / "nothing").string(), image_});
  EXPECT_EQ(r.status, 3);
  std::ofstream(dir_ / "odd.bin") << "abc";
  r = Pelkar1({"update", "--port", "200", (dir_ / "odd.bin").string()});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("not a whole number of 256-byte blocks"), std::string::npos) << r.err;
  EXPECT_EQ(Pelkar1({"update", image_}).status, 2);
  EXPECT_EQ(Pelkar1({"frobnicate"}).status, 2);
  EXPECT_EQ(Pelkar1({}).status, 2);
}

TEST_F(Cli, EncodeInfoAndConversions) {
  const fs::path hex = dir_ / "fw.hex";
  std::ofstream(hex) << ":0100000042BD\n:01000400AA51\n:00000001FF\n";
  auto r = Pelkar1({"encode", hex.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(dir_ / "fw.bin"), kEncodedImageSize);

  r = Pelkar1({"info", (dir_ / "fw.bin").string(), "--json"});
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  j["file"] = "FILE";
  EXPECT_EQ(j.dump(2), ReadText(fs::path(PELKAR_TEST_DATA_DIR) / "info.json"));

  r = Pelkar1({"hex2bin", hex.string(), (dir_ / "plain.bin").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(dir_ / "plain.bin"), std::string("\x42\xFF\xFF\xFF\xAA", 5));
  r = Pelkar1({"hex2bin", hex.string(), (dir_ / "w.bin").string(), "--begin", "0x2", "--end", "8"});
  EXPECT_EQ(ReadText(dir_ / "w.bin"), std::string("\xFF\xFF\xAA\xFF\xFF\xFF", 6));
  r = Pelkar1({"bin2hex", (dir_ / "plain.bin").string(), (dir_ / "back.hex").string()});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(ReadText(dir_ / "back.hex"), ":0500000042FFFFFFAA12\r\n:00000001FF\r\n");

  std::ofstream(dir_ / "bad.hex") << ":0100000042BD\n:0100000042BC\n";
  r = Pelkar1({"encode", (dir_ / "bad.hex").string()});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("line 2: checksum 0xBD expected, 0xBC found. Nothing was written."),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "bad.bin"));
}

TEST_F(Cli, UpdateJsonShape) {
  Device device(Options());
  auto r = Pelkar1({"update", "--json", "--port", device.port(), image_});
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_GE(j["seconds"].get<double>(), 0);
  j["seconds"] = 0;
  j["path"] = "PATH";
  EXPECT_EQ(j.dump(2), ReadText(fs::path(PELKAR_TEST_DATA_DIR) / "update.json"));
}

TEST(CliHelp, MatchesTheGoldenText) {
  for (const char* command : {"update", "simulate"}) {
    std::vector<std::string> args{command, "--help"};
    const auto r = Pelkar1(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              ReadText(fs::path(PELKAR_TEST_DATA_DIR) / (std::string(command) + "_help.txt")))
        << r.out;
  }
  EXPECT_EQ(Pelkar1({"--help"}).out, ReadText(fs::path(PELKAR_TEST_DATA_DIR) / "help.txt"));
}

}  // namespace
}  // namespace pelkar
