// A page's files: what the person hands over is placed apart, and what the core writes beside
// it comes back once.
#include "dialogs/page_files.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pelkar {
namespace {

namespace fs = std::filesystem;

class PageFilesTest : public ::testing::Test {
 protected:
  PageFilesTest() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = fs::temp_directory_path() / ("pelkar-page-files-" + std::to_string(stamp));
  }
  ~PageFilesTest() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
  }
  static void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path root_;
};

TEST_F(PageFilesTest, EachFileGetsAFolderOfItsOwnUnderItsLastName) {
  PageFiles files(root_);
  const std::vector<std::uint8_t> bytes{0x00, 0xFF, 0x0A, 0x0D, 0x1A};
  const std::string first = files.Place("fw.bin", bytes);
  const std::string second = files.Place("fw.bin", Bytes("other"));
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(first).filename(), "fw.bin");
  std::ifstream in(first, std::ios::binary);
  EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}), bytes);

  // A name never leads out of its folder.
  for (const char* name : {"../../escape.bin", "C:\\\\temp\\\\fw.bin", "..", ""}) {
    const fs::path placed = files.Place(name, Bytes("x"));
    EXPECT_EQ(placed.parent_path().parent_path(), root_) << name;
    EXPECT_NE(placed.filename(), "..") << name;
  }
  const std::string placed = files.Place("F\xC5\x91program.hex", {});
  EXPECT_TRUE(placed.ends_with("/F\xC5\x91program.hex") ||
              placed.ends_with("\\F\xC5\x91program.hex"));
  EXPECT_TRUE(files.TakeOutputs().empty());  // placed files are never handed back
}

TEST_F(PageFilesTest, WhatTheCoreWroteComesBackOnceInNameOrder) {
  PageFiles files(root_);
  EXPECT_TRUE(files.TakeOutputs().empty());  // nothing placed yet: no folder either
  const fs::path hex = files.Place("fw.hex", Bytes(":00000001FF\n"));
  Write(hex.parent_path() / "fw.bin", "image");
  Write(hex.parent_path() / "a.bin", "first");
  Write(hex.parent_path() / ".pelkar1-0123.part", "half");  // a write in progress
  const std::vector<PageFiles::Output> outputs = files.TakeOutputs();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].name, "a.bin");
  EXPECT_EQ(outputs[0].bytes, Bytes("first"));
  EXPECT_EQ(outputs[1].name, "fw.bin");
  EXPECT_EQ(outputs[1].bytes, Bytes("image"));
  EXPECT_FALSE(fs::exists(hex.parent_path() / "fw.bin"));
  EXPECT_TRUE(fs::exists(hex));
  EXPECT_TRUE(files.TakeOutputs().empty());
}

}  // namespace
}  // namespace pelkar
