// pelkar1 on Windows: the spellings the system takes for one port or one file.
#include <windows.h>

#include <algorithm>
#include <cctype>

#include "cli_test.h"

namespace pelkar::test {
namespace {

namespace fs = std::filesystem;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

using CliWindows = CliFiles;

TEST_F(CliWindows, OnePortOrFileByEverySpelling) {
  const std::string hex = Text(dir_ / "a.hex");
  std::ofstream(dir_ / "a.hex", std::ios::binary) << ":0100000042BD\n:00000001FF\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;  // in stdout or stderr
  } cases[] = {
      {{"update", "--port", "3", "--port", "\\\\.\\com3", image_}, 2, "name the same device"},
      {{"update", "--port", "CNCA0", "--port", "\\\\.\\cnca0", image_}, 2, "name the same device"},
      {{"update", "--json", "--port", "\\\\.\\COM254", image_}, 3, "\"port\":254,"},
      {{"encode", hex, "-o", Upper(hex)}, 6, "is the input file"},
      {{"bin2hex", image_, "NUL"}, 6, "device"},
      // The log by a spelling Windows folds onto the image.
      {{"update", "--port", "1", image_, "--log", Upper(image_)}, 2, "firmware file itself"},
      {{"update", "--port", "1", image_, "--log", image_ + "."}, 2, "firmware file itself"},
      // Devices by name, in any folder: reading one would wait for good.
      {{"info", "COM1"}, 6, "not a regular file"},
      {{"update", "--port", "7", "COM7"}, 6, "not a regular file"},
      {{"info", Text(dir_ / "nul.bin")}, 6, "not a regular file"},
      // Names Windows cannot give a file of its own.
      {{"bin2hex", image_, Text(dir_ / "fw.hex:x")}, 6, "data stream"},
      {{"bin2hex", image_, Text(dir_ / "fw.hex::$DATA")}, 6, "data stream"},
      {{"update", "--port", "1", image_, "--log", Text(dir_ / "u.log:x")}, 6, "data stream"},
      {{"bin2hex", image_, Text(dir_ / "CON")}, 6, "CON is a device name"},
      {{"encode", hex, "-o", Text(dir_ / "LPT1.hex")}, 6, "LPT1.hex is a device name"},
      {{"bin2hex", image_, Text(dir_ / "a?b.bin")}, 6, "'?'"},
      {{"bin2hex", image_, Text(dir_ / "a<b>.bin")}, 6, "'<'"},
      {{"bin2hex", image_, Text(dir_ / "a\tb.bin")}, 6, "control character"},
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.says << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.says << "\n" << r.out << r.err;
  }
  EXPECT_EQ(ReadText(dir_ / "a.hex"), ":0100000042BD\n:00000001FF\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 2);
}

TEST_F(CliWindows, AReplacedOutputKeepsItsAttributes) {
  const fs::path out = dir_ / "fw.hex";
  std::ofstream(out, std::ios::binary) << "old";
  ASSERT_TRUE(::SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const auto r = Pelkar1({"bin2hex", image_, Text(out)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(out).substr(0, 1), ":");
  EXPECT_NE(::GetFileAttributesW(out.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
}  // namespace pelkar::test
