// pelkar1 on Windows: the spellings the system takes for one port or one file.
#include <algorithm>
#include <cctype>

#include "cli_test.h"

namespace pelkar::test {
namespace {

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
  };
  for (const auto& c : cases) {
    const auto r = Pelkar1(c.args);
    EXPECT_EQ(r.status, c.status) << c.says << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.says << "\n" << r.out << r.err;
  }
  EXPECT_EQ(ReadText(dir_ / "a.hex"), ":0100000042BD\n:00000001FF\n");
}

}  // namespace
}  // namespace pelkar::test
