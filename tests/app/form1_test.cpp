// Form1's behaviour through a recording face: start-up, port choice, command states, loading,
// the self-test and the encoder mode.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "app/form1.h"
#include "app_test_support.h"
#include "firmware/crc.h"
#include "files/files.h"
#include "firmware/image.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using test::FakeDialogs;
using test::FakePorts;
using test::RecordingFace;

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Form1Test : public ::testing::Test {
 protected:
  void Make(std::vector<std::pair<std::string, std::uint8_t>> ports) {
    form_.reset();
    face_ = std::make_unique<RecordingFace>();
    Form1Parts parts;
    ports_ = std::make_shared<FakePorts>(std::move(ports));
    parts.ports = ports_;
    parts.dialogs = dialogs_;
    parts.program_dir = Utf8(dir_.path());
    form_ = std::make_unique<Form1>(*face_, parts);
    form_->Form_Load();
  }
  void Type(std::u16string_view text) {
    for (char16_t k : text)
      form_->Form_KeyPress(k);
  }
  fs::path Path(const char* name) const { return dir_.path() / name; }
  std::string PathText(const char* name) const { return Utf8(Path(name)); }

  test::TempDir dir_;
  std::shared_ptr<FakeDialogs> dialogs_ = std::make_shared<FakeDialogs>();
  std::shared_ptr<FakePorts> ports_;
  std::unique_ptr<RecordingFace> face_;
  std::unique_ptr<Form1> form_;
};

TEST_F(Form1Test, StartUpMakesOnePortItemPerEntry) {
  struct Case {
    std::vector<std::pair<std::string, std::uint8_t>> ports;
    std::vector<std::string> captions;
  };
  const Case cases[] = {
      {{}, {""}},
      {{{"FT232R USB UART (COM33)", 33}}, {"FT232R USB UART (COM33)"}},
      {{{"A (COM1)", 1}, {"B & C (COM33)", 33}, {"Simulated device (COM200)", 200}},
       {"A (COM1)", "B & C (COM33)", "Simulated device (COM200)"}},
  };
  for (const Case& c : cases) {
    Make(c.ports);
    EXPECT_EQ(face_->captions, c.captions);
    EXPECT_EQ(face_->ticks, std::vector<bool>(c.captions.size(), false));
    EXPECT_EQ(form_->PortCount(), c.captions.size());
    EXPECT_EQ(form_->SelectedPort(), 0);
    EXPECT_FALSE(face_->load_file_enabled);
    EXPECT_FALSE(face_->update_enabled);
    EXPECT_EQ(face_->update_caption, "Update");
    EXPECT_TRUE(face_->ser_port_enabled);
  }
  EXPECT_EQ(fs::current_path(), dir_.path());
}

TEST_F(Form1Test, ChoosingAPortTicksOnlyItAndEnablesLoadFile) {
  Make({{"A", 1}, {"B", 2}, {"C", 3}});
  struct Step {
    int chosen;
    std::vector<bool> ticks;
  };
  const Step steps[] = {{2, {false, false, true}},
                        {0, {true, false, false}},
                        {0, {true, false, false}},
                        {1, {false, true, false}}};
  for (const Step& s : steps) {
    form_->Port_Click(s.chosen);
    EXPECT_EQ(form_->SelectedPort(), s.chosen);
    EXPECT_EQ(face_->ticks, s.ticks);
    EXPECT_TRUE(face_->load_file_enabled);
    EXPECT_FALSE(face_->update_enabled);
  }
  form_->Port_Click(3);  // no such item
  form_->Port_Click(-1);
  EXPECT_EQ(form_->SelectedPort(), 1);
}

TEST_F(Form1Test, PortsChangedKeepsTheChosenPortByItsNumber) {
  Make({{"A", 1}, {"B", 2}});
  form_->Port_Click(1);
  const fs::path image = Path("fw.bin");
  WriteAll(image, std::vector<std::uint8_t>(256, 0x5A));
  dialogs_->answers = {Utf8(image)};
  form_->LoadFile_Click();
  ASSERT_TRUE(face_->update_enabled);

  // A port granted ahead of it: B moves to the second place and stays chosen.
  ports_->Change({{"C", 3}, {"B", 2}, {"A", 1}});
  form_->Ports_Changed();
  EXPECT_EQ(face_->captions, (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(face_->ticks, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(form_->SelectedPort(), 1);
  EXPECT_EQ(form_->PortCount(), 3u);
  EXPECT_TRUE(face_->load_file_enabled);
  EXPECT_TRUE(face_->update_enabled);
  form_->Port_Click(2);  // the old tick is found where B is now
  EXPECT_EQ(face_->ticks, (std::vector<bool>{false, false, true}));

  // The chosen port gone: nothing chosen, and no other device may get the image by its place.
  ports_->Change({{"C", 3}, {"B", 2}});
  form_->Ports_Changed();
  EXPECT_EQ(face_->ticks, (std::vector<bool>{false, false}));
  EXPECT_EQ(form_->SelectedPort(), 0);
  EXPECT_FALSE(face_->load_file_enabled);
  EXPECT_FALSE(face_->update_enabled);
  EXPECT_FALSE(form_->UpdateEnabled());
  form_->Update_Click();
  EXPECT_FALSE(form_->Running());
  form_->Port_Click(0);
  EXPECT_TRUE(face_->load_file_enabled);
  EXPECT_FALSE(face_->update_enabled);  // until an image is loaded again
}

TEST_F(Form1Test, PortsChangedFromAndToNoPortKeepsOneItem) {
  Make({});
  ASSERT_EQ(face_->captions, std::vector<std::string>{""});
  ports_->Change({{"A", 1}});
  form_->Ports_Changed();
  EXPECT_EQ(face_->captions, std::vector<std::string>{"A"});
  EXPECT_EQ(face_->ticks, std::vector<bool>{false});
  EXPECT_FALSE(face_->load_file_enabled);  // a port appearing chooses nothing by itself
  form_->Port_Click(0);
  ports_->Change({});
  form_->Ports_Changed();
  EXPECT_EQ(face_->captions, std::vector<std::string>{""});
  EXPECT_EQ(face_->ticks, std::vector<bool>{false});
  EXPECT_FALSE(face_->load_file_enabled);
}

TEST_F(Form1Test, LoadKeepsTheFileAndSumsTheDescrambledBlocks) {
  Make({{"A", 1}});
  form_->Port_Click(0);
  // One block whose descrambled content is 0, 1, ..., 255, its first 8 bytes counted as 0.
  std::vector<std::uint8_t> plain(256);
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> stored = plain;
  Scramble(stored);
  // A name beyond any 8-bit code page.
  const fs::path file = dir_.path() / Utf8Path("F\xC5\x91program \xE2\x82\xAC.bin");
  WriteAll(file, stored);
  std::vector<std::uint8_t> counted = plain;
  std::fill_n(counted.begin(), 8, 0);

  // Whatever folder was current before (the encoder's dialog leaves it anywhere), the open
  // dialog starts from the program's folder.
  fs::current_path(fs::temp_directory_path());
  dialogs_->answers = {Utf8(file)};
  form_->LoadFile_Click();
  EXPECT_EQ(dialogs_->current_dirs.back(), dir_.path());
  EXPECT_EQ(dialogs_->requests.back().name_filters, std::vector<std::string>{"*.bin (*.bin)"});
  EXPECT_EQ(dialogs_->owners.back(), face_.get());
  EXPECT_EQ(form_->FirmwareImage(), stored);
  EXPECT_EQ(form_->ImageCrc(), std::int32_t{Crc16A(counted, 256)});
  EXPECT_TRUE(face_->update_enabled);
  EXPECT_TRUE(face_->shown.empty());
}

TEST_F(Form1Test, CancelAndRefusedLoadsKeepTheEarlierImage) {
  Make({{"A", 1}});
  form_->LoadFile_Click();  // disabled before a port is chosen
  EXPECT_TRUE(dialogs_->requests.empty());
  form_->Port_Click(0);
  dialogs_->answers = {""};
  form_->LoadFile_Click();
  EXPECT_FALSE(face_->update_enabled);  // cancel on first use

  WriteAll(Path("good.bin"), std::vector<std::uint8_t>(512, 0x5A));
  dialogs_->answers = {PathText("good.bin")};
  form_->LoadFile_Click();
  const auto image = form_->FirmwareImage();
  const auto crc = form_->ImageCrc();

  WriteAll(Path("short.bin"), std::vector<std::uint8_t>(300, 1));
  WriteAll(Path("empty.bin"), {});
  const std::string refused[] = {"", PathText("short.bin"), PathText("empty.bin"),
                                 PathText("missing.bin")};
  for (const std::string& name : refused) {
    face_->shown.clear();
    dialogs_->answers = {name};
    form_->LoadFile_Click();
    EXPECT_EQ(form_->FirmwareImage(), image) << name;
    EXPECT_EQ(form_->ImageCrc(), crc) << name;
    EXPECT_TRUE(face_->update_enabled) << name;
    ASSERT_EQ(face_->shown.size(), name.empty() ? 0u : 1u) << name;
    if (!name.empty()) {
      EXPECT_EQ(face_->shown[0].icon, MessageIcon::Error);
    }
  }
}

TEST_F(Form1Test, SelfTestSetsThePatternAndItsSum) {
  Make({{"A", 1}});
  form_->Command1_Click();
  EXPECT_EQ(form_->ImageCrc(), 2610720);
  form_->Command1_Click();
  EXPECT_EQ(form_->ImageCrc(), 2610720);  // set, not added
  ASSERT_EQ(form_->FirmwareImage().size(), 40960u);
  EXPECT_EQ(form_->FirmwareImage()[257], 1);
  EXPECT_FALSE(face_->update_enabled);
  EXPECT_FALSE(face_->load_file_enabled);
}

// A HEX file with data at 0 and 4: "01 02 03 04" then "AA".
const char kHex[] =
    ":0400000001020304F2\r\n"
    ":01000400AA51\r\n"
    ":00000001FF\r\n";

TEST_F(Form1Test, EncoderOpensOnlyOnTheExactCodeTypedFirst) {
  struct Case {
    std::u16string typed;
    bool opens;
  };
  const Case cases[] = {{u"Tavik", true},  {u"tavik", false},  {u"xTavik", false},
                        {u"TAVIK", false}, {u" Tavik", false}, {u"\u00e9Tavik", false}};
  for (const Case& c : cases) {
    Make({{"A", 1}});
    dialogs_->requests.clear();
    Type(c.typed);
    EXPECT_EQ(dialogs_->requests.size(), c.opens ? 1u : 0u) << c.typed.size();
  }
}

TEST_F(Form1Test, EncoderWritesTheImageBesideTheHexFile) {
  Make({{"A", 1}});
  // An image loaded before, so that "Update" is already enabled.
  form_->Port_Click(0);
  WriteAll(Path("old.bin"), std::vector<std::uint8_t>(512, 0x5A));
  dialogs_->answers = {PathText("old.bin")};
  form_->LoadFile_Click();
  const std::int32_t old_crc = form_->ImageCrc();
  const fs::path sub = dir_.path() / Utf8Path("m\xC5\xB1hely");
  fs::create_directory(sub);
  const fs::path hex = sub / Utf8Path("F\xC5\x91program.hex");
  const fs::path bin = sub / Utf8Path("F\xC5\x91program.bin");
  WriteText(hex, kHex);
  WriteAll(bin, std::vector<std::uint8_t>(50000, 7));  // replaced whole
  face_->on_show = [&] {                               // "Kész" only once the file is there
    EXPECT_EQ(fs::file_size(bin), 40960u);
  };
  dialogs_->answers = {Utf8(hex)};
  Type(u"Tavik");
  ASSERT_EQ(face_->shown.size(), 1u);
  EXPECT_EQ(face_->shown[0].text, "K\xC3\xA9sz");
  EXPECT_EQ(face_->shown[0].icon, MessageIcon::None);
  EXPECT_EQ(dialogs_->requests.back().name_filters, std::vector<std::string>{"*.hex (*.hex)"});
  const auto written = ReadAll(bin);
  EXPECT_EQ(written, form_->FirmwareImage());
  std::vector<std::uint8_t> plain = written;
  Scramble(plain);
  EXPECT_EQ(plain[0], 1);
  EXPECT_EQ(plain[2], 3);
  EXPECT_EQ(plain[3], 0xFF);  // every fourth byte forced
  EXPECT_EQ(plain[4], 0xAA);
  EXPECT_EQ(plain[5], 0xFF);
  EXPECT_FALSE(fs::exists(Path("F\xC5\x91program.bin")));
  EXPECT_EQ(form_->KeyBuffer(), "");
  // What "Update" sends next is the new image with its own sum.
  EXPECT_TRUE(face_->update_enabled);
  EXPECT_EQ(form_->ImageCrc(), ImageCrc(written));
  EXPECT_NE(form_->ImageCrc(), old_crc);

  dialogs_->answers = {""};
  Type(u"Tavik");  // again after a conversion
  EXPECT_EQ(dialogs_->requests.size(), 3u);
}

TEST_F(Form1Test, EncoderCancelEmptiesTheKeyBuffer) {
  Make({{"A", 1}});
  dialogs_->answers = {"", ""};
  Type(u"Tavik");
  EXPECT_EQ(form_->KeyBuffer(), "");
  EXPECT_TRUE(face_->shown.empty());
  EXPECT_TRUE(form_->FirmwareImage().empty());
  Type(u"Tavik");
  EXPECT_EQ(dialogs_->requests.size(), 2u);
}

TEST_F(Form1Test, EncoderErrorsNameTheLineAndWriteNothing) {
  Make({{"A", 1}});
  struct Case {
    const char* text;
    const char* expected;  // part of the message
  };
  const Case cases[] = {
      {":0400000001020304F2\r\n:01000400AA00\r\n", "line 2"},
      {":00000001FF\r\n", "no data"},
      {":04A000000102030452\r\n:00000001FF\r\n", "no data"},
  };
  for (const Case& c : cases) {
    face_->shown.clear();
    WriteText(Path("bad.hex"), c.text);
    dialogs_->answers = {PathText("bad.hex")};
    Type(u"Tavik");
    ASSERT_EQ(face_->shown.size(), 1u) << c.text;
    EXPECT_NE(face_->shown[0].text.find(c.expected), std::string::npos)
        << c.text << face_->shown[0].text;
    EXPECT_EQ(face_->shown[0].icon, MessageIcon::Error);
    EXPECT_FALSE(fs::exists(Path("bad.bin")));
    EXPECT_EQ(form_->KeyBuffer(), "");
  }
}

}  // namespace
}  // namespace pelkar
