// pelkar1 on every system: parsing, conversions, encode and info, refusals, and the update's
// time-out against a real pseudo-terminal.
#include "cli_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "../../cli/src/firmware_input.h"
#include "../../cli/src/unit_log.h"
#include "../../cli/src/update_command.h"
#include "../common/device_channel.h"
#include "../serial/pty.h"
#include "firmware/encoder.h"
#include "firmware/image.h"

namespace pelkar::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using Cli = CliFiles;

TEST_F(Cli, NoiseDoesNotHoldTheTimeOutOpen) {
  Pty pty;
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
  Pty tty;  // a serial port given where a file belongs: reading it would wait for good
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;  // in stdout or stderr
  } cases[] = {
      {{"update", "--port", "1", image_, image_ + "2"}, 2, "not expected"},
      {{"update", "--port", "1", "--port", "COM1", image_}, 2, "name the same device"},
      {{"update", "--port", "0", image_}, 2, "from 1 to 255"},
      {{"update", "--port", "COM256", image_}, 2, "from 1 to 255"},
      {{"update", "--port", "-1", image_}, 2, "not a port number"},
      {{"update", "--port", "COM 7", image_}, 2, "not a port number"},
      {{"update", "--port", "com-7", image_}, 2, "not a port number"},
      {{"update", "--port", "COM7:", "--port", "7", image_}, 2, "name the same device"},
      {{"update", "--port", "COM254 ", image_}, 3, "COM254 ("},
      {{"info", tty.path()}, 6, "not a regular file"},
      {{"update", "--port", "1", tty.path()}, 6, "not a regular file"},
      {{"update", "--port", "1", image_, "--timeout", "0"}, 2, "above 0 and at most 86400"},
      {{"update", "--port", "1", image_, "--timeout", "nan"}, 2, "above 0 and at most 86400"},
      {{"update", "--port", "1", image_, "--hello-timeout", "1e10"}, 2, "at most 86400"},
      {{"update", "--json", "--port", "1", Text(dir_ / "none.bin")}, 6, "\"result\":\"bad-input\""},
      {{"updte"}, 2, "Did you mean 'update'?"},
      {{"update", "--port", "1", image_, "--count", "3"}, 2, "--repeat"},
      {{"update", "--port", "1", image_, "--repeat", "--count", "0"}, 2, "--count"},
      {{"update", "--port", "1", image_, "--log", Text(dir_)}, 6, "the log"},
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

TEST_F(Cli, OutputsNeverReplaceInputsOrFolders) {
  const fs::path hex = dir_ / "a.hex";
  const std::string text = ":0100000042BD\n:00000001FF\n";
  std::ofstream(hex, std::ios::binary) << text;
  fs::create_directory(dir_ / "sub");
  // Protected: without write permission on Linux, with the read-only attribute on Windows.
  const fs::path locked = dir_ / "locked.hex";
  std::ofstream(locked, std::ios::binary) << text;
  const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(locked, write, fs::perm_options::remove);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"encode", Text(hex), "-o", Text(dir_ / "." / "a.hex")}, 6, "is the input file"},
      {{"hex2bin", Text(hex), Text(hex)}, 6, "is the input file"},
      {{"hex2bin", Text(hex), Text(dir_ / "sub")}, 6, "folder"},
      {{"bin2hex", image_, image_}, 6, "is the input file"},
      {{"bin2hex", image_, Text(locked)}, 6, "protected"},
      {{"encode", Text(hex), "-o", Text(locked)}, 6, "protected"},
      // The log is appended to: never the image or the HEX build, by any spelling.
      {{"update", "--port", "1", image_, "--log", image_}, 2, "firmware file itself"},
      {{"update", "--port", "1", Text(hex), "--log", Text(dir_ / "sub" / ".." / "a.hex")},
       2,
       "firmware file itself"},
      {{"update", "--port", "1", image_, "--log", Text(locked)}, 6, "protected"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(ReadText(hex), text);
  EXPECT_EQ(ReadText(locked), text);
  const auto bytes = SmallImage();
  EXPECT_EQ(ReadText(dir_ / "fw.bin"), std::string(bytes.begin(), bytes.end()));
  fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);  // to be removed
}

TEST_F(Cli, WideSpansAreRefusedAndAddressesAreDecimal) {
  std::ofstream(dir_ / "wide.hex", std::ios::binary)
      << ":0100000042BD\n:020000044000BA\n:0100000042BD\n:00000001FF\n";
  auto r = Pelkar1({"hex2bin", Text(dir_ / "wide.hex"), Text(dir_ / "w.bin")});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("spans addresses 0x0 to 0x40000000 (1024.0 MiB)"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "w.bin"));
  // Decimal unless written with 0x: 010 is ten.
  r = Pelkar1(
      {"hex2bin", Text(dir_ / "wide.hex"), Text(dir_ / "d.bin"), "--begin", "0", "--end", "010"});
  EXPECT_EQ(fs::file_size(dir_ / "d.bin"), 10u) << r.err;
}

TEST_F(Cli, RefusesWhatCannotWork) {
  auto r = Pelkar1({"update", "--port", Text(dir_ / "nothing"), image_});
  EXPECT_EQ(r.status, 3);
  std::ofstream(dir_ / "odd.bin") << "abc";
  r = Pelkar1({"update", "--port", "200", Text(dir_ / "odd.bin")});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("not a whole number of 256-byte blocks"), std::string::npos) << r.err;
  EXPECT_EQ(Pelkar1({"update", image_}).status, 2);
  EXPECT_EQ(Pelkar1({"frobnicate"}).status, 2);
  EXPECT_EQ(Pelkar1({}).status, 2);
}

TEST_F(Cli, EncodeInfoAndConversions) {
  const fs::path hex = dir_ / "fw.hex";
  std::ofstream(hex, std::ios::binary) << ":0100000042BD\n:01000400AA51\n:00000001FF\n";
  auto r = Pelkar1({"encode", Text(hex)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(dir_ / "fw.bin"), kEncodedImageSize);

  r = Pelkar1({"info", Text(dir_ / "fw.bin"), "--json"});
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  j["file"] = "FILE";
  EXPECT_EQ(j.dump(2), ReadText(fs::path(PELKAR_TEST_DATA_DIR) / "info.json"));

  r = Pelkar1({"hex2bin", Text(hex), Text(dir_ / "plain.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(dir_ / "plain.bin"), std::string("\x42\xFF\xFF\xFF\xAA", 5));
  r = Pelkar1({"hex2bin", Text(hex), Text(dir_ / "w.bin"), "--begin", "0x2", "--end", "8"});
  EXPECT_EQ(ReadText(dir_ / "w.bin"), std::string("\xFF\xFF\xAA\xFF\xFF\xFF", 6));
  r = Pelkar1({"bin2hex", Text(dir_ / "plain.bin"), Text(dir_ / "back.hex")});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(ReadText(dir_ / "back.hex"), ":0500000042FFFFFFAA12\r\n:00000001FF\r\n");

  std::ofstream(dir_ / "bad.hex", std::ios::binary) << ":0100000042BD\n:0100000042BC\n";
  r = Pelkar1({"encode", Text(dir_ / "bad.hex")});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("line 2: checksum 0xBD expected, 0xBC found. Nothing was written."),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "bad.bin"));
}

// Names reach the system whole: on Windows a name outside the ANSI code page would otherwise
// be mangled into another file's name or none.
TEST_F(Cli, NonAsciiNamesWorkInEveryCommand) {
  const std::string name = "F\xC5\x91program";  // Főprogram
  const std::string hex = In(name + ".hex");
  const std::string bin = In(name + ".bin");
  const std::string text = ":0100000042BD\n:01000400AA51\n:00000001FF\n";
  WriteFileAtomically(Utf8Path(hex),
                      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // in stdout or stderr
  } cases[] = {
      {{"encode", hex}, 0, "Wrote " + bin},
      {{"info", bin}, 0, "File:       " + bin},
      {{"info", "--json", bin}, 0, "\"file\": " + nlohmann::json(bin).dump()},
      {{"hex2bin", hex, In(name + "-plain.bin")}, 0, name + "-plain.bin (5 bytes"},
      {{"bin2hex", In(name + "-plain.bin"), In(name + "-back.hex")}, 0, name + "-back.hex"},
      // The image is read; only the port is missing.
      {{"update", "--port", In("no-port"), bin}, 3, "Can't open port"},
      {{"info", In(name + "-none.bin")}, 6, name + "-none.bin"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.says << "\n" << r.out << r.err;
  }
  EXPECT_EQ(fs::file_size(Utf8Path(bin)), kEncodedImageSize);
  EXPECT_EQ(ReadText(Utf8Path(In(name + "-back.hex"))), ":0500000042FFFFFFAA12\r\n:00000001FF\r\n");
}

// The tool's update against device models in this process, on every system: statuses over
// several ports, and under --repeat an adapter pulled after a unit that comes back, or not.
TEST_F(Cli, UpdatesDevicesInMemory) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<DeviceOptions> devices;  // on COM7, COM8, ...
    bool pulled_after_a_unit;            // COM7's adapter, once its first verdict is read
    int back_after_ms;                   // from the pull; -1: never
    int status;
    std::vector<std::string> results;  // with several ports under --repeat, in any order
    std::string told;                  // in what it printed
    bool again = false;  // the other devices serve unit after unit once COM7 is pulled
  };
  DeviceOptions fine, refuses, silent, odd;  // each asks for fw.bin's 16 blocks
  fine.blocks = refuses.blocks = silent.blocks = odd.blocks = 16;
  refuses.fail = true;
  silent.silent_after = 3;
  odd.verdict = 0x10;
  const Case cases[] = {
      {"the worst of two",
       {},
       {fine, refuses},
       false,
       -1,
       1,
       {"ok", "failed"},
       "refused the image"},
      {"traced", {"--trace"}, {fine}, false, -1, 0, {"ok"}, " COM7 < 0A\n"},
      {"silence", {"--timeout", "0.2"}, {silent}, false, -1, 4, {"timeout"}, "Timed out"},
      {"an unknown verdict",
       {},
       {odd, fine},
       false,
       -1,
       5,
       {"protocol-error", "ok"},
       "another boot loader version"},
      {"pulled and back",
       {"--repeat", "--count", "2"},
       {fine},
       true,
       0,
       0,
       {"ok", "port-lost", "ok"},
       "COM7: the port is back"},
      {"pulled for good",
       {"--repeat", "--hello-timeout", "0.3"},
       {fine},
       true,
       -1,
       3,
       {"ok", "port-lost"},
       "COM7: no unit within 0.3 s"},
      {"the count reached while a port is away for good",
       {"--repeat", "--count", "3"},
       {fine, fine},
       true,
       -1,
       0,
       {"ok", "ok", "ok", "port-lost"},
       "3 units: 3 OK, 0 failed",
       true},
      {"the count reached while a port is away, back within --hello-timeout",
       {"--repeat", "--count", "3", "--hello-timeout", "5"},
       {fine, fine},
       true,
       300,
       0,
       {"ok", "ok", "ok", "port-lost"},
       "3 units: 3 OK, 0 failed",
       true},
      {"the count reached as a unit begins on another port",
       {"--repeat", "--count", "1"},
       {fine, fine},
       false,
       -1,
       0,
       {"ok"},
       "1 unit: 1 OK, 0 failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<int, DeviceChannel*> live;
    bool gone = false;
    std::optional<SessionClock::time_point> pulled;
    const auto began = SessionClock::now();
    cli::PortBackend backend;
    backend.open = [&](const cli::PortArgument& port, std::string* why) {
      std::unique_ptr<PortChannel> none;
      if (gone && *port.number == 7) {
        *why = "Can't open port: gone";
        return none;
      }
      auto channel = std::make_unique<DeviceChannel>(c.devices.at(*port.number - 7));
      channel->greet_on_open = true;
      channel->Open(static_cast<std::uint8_t>(*port.number), 115200);
      live[*port.number] = channel.get();
      return std::unique_ptr<PortChannel>(std::move(channel));
    };
    backend.wait = [&](std::span<PortChannel* const> channels, SessionClock::time_point deadline) {
      for (;;) {
        // A run that does not end by itself is a fault: end it as Ctrl-C would.
        if (SessionClock::now() - began > std::chrono::seconds(10)) return WaitResult::kInterrupted;
        DeviceChannel* first = live.begin()->second;
        if (c.pulled_after_a_unit && !pulled && first->device.verdict_sent() &&
            first->waiting.empty()) {
          pulled = SessionClock::now();
          gone = true;
          first->Unplug();
        }
        if (pulled && c.back_after_ms >= 0 &&
            SessionClock::now() - *pulled >= std::chrono::milliseconds(c.back_after_ms)) {
          gone = false;
        }
        for (PortChannel* channel : channels) {
          auto* device = static_cast<DeviceChannel*>(channel);
          if (c.again && pulled && device != first && device->device.finished() &&
              device->waiting.empty()) {
            device->device = DeviceModel(c.devices.at(device->opened_number - 7));
            device->Hello();
          }
          if (device->readable_) return WaitResult::kReady;
        }
        if (SessionClock::now() >= deadline) return WaitResult::kTimeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    backend.find = [&](const std::string& text) -> std::optional<cli::PortArgument> {
      if (gone) return std::nullopt;
      return cli::PortArgument{"COM" + text, "COM" + text, std::stoi(text)};
    };
    cli::UpdateRequest request;
    for (std::size_t i = 0; i < c.devices.size(); ++i)
      request.ports.push_back(std::to_string(7 + i));
    request.image = image_;
    request.json = true;
    for (std::size_t i = 0; i < c.args.size(); ++i) {
      const std::string& a = c.args[i];
      if (a == "--repeat") request.repeat = true;
      if (a == "--trace") request.trace = true;
      if (a == "--count") request.count = std::stoul(c.args[++i]);
      if (a == "--timeout") request.timeout_s = std::stod(c.args[++i]);
      if (a == "--hello-timeout") {
        request.hello_timeout_s = std::stod(c.args[++i]);
        request.hello_timeout_given = true;
      }
    }
    std::ostringstream out, err;
    const int status = cli::RunUpdate(request, {out, err, false}, &backend);
    std::vector<std::string> results;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
      results.push_back(nlohmann::json::parse(line)["result"]);
    std::vector<std::string> expected = c.results;
    if (c.devices.size() > 1 && request.repeat) {
      std::sort(results.begin(), results.end());
      std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(status, c.status) << err.str();
    EXPECT_EQ(results, expected) << out.str() << err.str();
    EXPECT_NE((out.str() + err.str()).find(c.told), std::string::npos) << out.str() << err.str();
  }
}

// HEX is told by its name or its content; an image's scrambled bytes never read as text.
TEST(FirmwareInput, TellsHexFromImages) {
  struct Case {
    const char* name;
    std::string head;
    bool hex;
  } cases[] = {
      {"fw.hex", "anything", true},
      {"FW.IHX", "", true},
      {"build.ihex", "", true},
      {"build.txt", ":0100000042BD\r\n", true},
      {"build", "\r\n  :0100000042BD\n:00000001FF\n\x1A", true},
      {"fw.bin", std::string(":\x01\x9C\xFF", 4), false},  // an image whose first byte is ':'
      {"fw.bin", "0100000042BD\n", false},
      {"fw.bin", "", false},
      {"fw.hexa", std::string("\x00\x01", 2), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::IsHexInput(c.name, c.head), c.hex) << c.name << " " << c.head;
  }
}

// Writers that share the log, as two fixtures' pelkar1 do, never interleave inside a record.
TEST_F(Cli, LogRecordsStayWholeUnderConcurrentWriters) {
  const std::string log = Text(dir_ / "units.jsonl");
  constexpr int kRecords = 200;
  const auto writer = [&](char fill) {
    cli::UnitLog file(log);
    for (int i = 0; i < kRecords; ++i) {
      nlohmann::json j{
          {"writer", std::string(1, fill)}, {"n", i}, {"pad", std::string(5000, fill)}};
      ASSERT_TRUE(file.Append(j.dump())) << file.Error();
    }
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  std::ifstream in(dir_ / "units.jsonl", std::ios::binary);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["pad"], std::string(5000, j["writer"].get<std::string>()[0]));
  }
  EXPECT_EQ(lines, 2 * kRecords);
  EXPECT_EQ(cli::UtcTimestamp(std::chrono::system_clock::time_point{} +
                              std::chrono::milliseconds(1796768346123)),
            "2026-12-08T22:19:06.123Z");
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
}  // namespace pelkar::test
