// What the pelkar1 suites share: the tool's own entry point run in process, and a folder of
// files for each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "files/files.h"

namespace pelkar::test {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline Outcome Pelkar1(std::vector<std::string> args) {
  args.insert(args.begin(), "pelkar1");
  std::ostringstream out;
  std::ostringstream err;
  const int status = cli::Run(args, {out, err, false});
  return {status, out.str(), err.str()};
}

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A fresh folder with a 16-block image, fw.bin, in it. Paths handed to the tool are UTF-8.
class CliFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkar-cli-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    image_ = Text(dir_ / "fw.bin");
    WriteFileAtomically(dir_ / "fw.bin", SmallImage());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Text(const std::filesystem::path& p) { return Utf8(p); }
  std::string In(std::string_view utf8_name) const { return Utf8(dir_ / Utf8Path(utf8_name)); }

  static std::vector<std::uint8_t> SmallImage() {
    std::vector<std::uint8_t> b(16 * 256);
    for (std::size_t i = 0; i < b.size(); ++i)
      b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return b;
  }

  std::filesystem::path dir_;
  std::string image_;
};

}  // namespace pelkar::test
