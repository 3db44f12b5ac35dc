// Whole updates driven by Form1 against the device model on the far end of an in-process
// port: the verdicts, Stop, the refusals meanwhile, a lost port and closing the window.
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "app/form1.h"
#include "app_test_support.h"
#include "files/files.h"
#include "firmware/image.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

template <typename Set>
DeviceOptions Device(Set set) {
  DeviceOptions options;
  set(options);
  return options;
}

class UpdateTest : public ::testing::Test {
 protected:
  // A window with the device on COM7 (second item), that port chosen and a 40,960-byte image
  // loaded through "Load File".
  void Start(DeviceOptions options = {}) {
    form_.reset();
    face_ = std::make_unique<test::RecordingFace>();
    channel_ = std::make_shared<test::DeviceChannel>(options);
    Form1Parts parts;
    ports_ = std::make_shared<test::FakePorts>(
        std::vector<std::pair<std::string, std::uint8_t>>{{"A (COM3)", 3}, {"Device (COM7)", 7}});
    parts.ports = ports_;
    parts.channel = channel_;
    parts.dialogs = dialogs_;
    parts.program_dir = Utf8(dir_.path());
    form_ = std::make_unique<Form1>(*face_, parts);
    form_->Form_Load();
    form_->Port_Click(1);
    std::vector<std::uint8_t> image = SelfTestImage().bytes;
    Scramble(image);
    const fs::path path = dir_.path() / "fw.bin";
    WriteFileAtomically(path, image, {}, Durability::Unsynced);
    dialogs_->answers = {Utf8(path)};
    form_->LoadFile_Click();
    ASSERT_TRUE(face_->update_enabled);
  }
  // Delivers arrivals as the face would, while it watches and bytes are waiting.
  void Pump() {
    while (face_->watched != nullptr && !channel_->waiting.empty())
      form_->Port_DataArrived();
  }

  test::TempDir dir_;
  std::shared_ptr<test::FakeDialogs> dialogs_ = std::make_shared<test::FakeDialogs>();
  std::unique_ptr<test::RecordingFace> face_;
  std::shared_ptr<test::DeviceChannel> channel_;
  std::shared_ptr<test::FakePorts> ports_;
  std::unique_ptr<Form1> form_;
};

TEST_F(UpdateTest, WholeUpdateShowsTheVerdictWithThePortStillOpen) {
  struct Case {
    DeviceOptions options;
    std::string text;
    MessageIcon icon;
  };
  const Case cases[] = {
      {{}, "Update OK", MessageIcon::Information},
      {Device([](auto& o) { o.noise = true; }), "Update OK", MessageIcon::Information},
      {Device([](auto& o) { o.fail = true; }), "Update unsuccessful", MessageIcon::Error},
      {Device([](auto& o) { o.verdict = 0x10; }), "Unexpected answer from the device (0x10)",
       MessageIcon::Error}};
  for (const Case& c : cases) {
    Start(c.options);
    bool open_while_shown = false;
    bool watched_while_shown = true;
    face_->on_show = [&] {
      open_while_shown = channel_->IsOpen();
      watched_while_shown = face_->watched != nullptr;
    };
    form_->Update_Click();
    EXPECT_EQ(channel_->opened_number, 7);
    EXPECT_EQ(channel_->opened_baud, 115200);
    EXPECT_EQ(face_->update_caption, "Stop");
    EXPECT_FALSE(face_->load_file_enabled);
    EXPECT_FALSE(face_->ser_port_enabled);
    EXPECT_EQ(face_->watched, channel_.get());
    channel_->Hello();
    Pump();
    ASSERT_FALSE(form_->Running());
    ASSERT_EQ(face_->shown.size(), 1u);
    EXPECT_EQ(face_->shown[0].text, c.text);
    EXPECT_EQ(face_->shown[0].icon, c.icon);
    EXPECT_TRUE(open_while_shown);
    EXPECT_FALSE(watched_while_shown);  // nothing fed while the box is up
    EXPECT_FALSE(channel_->IsOpen());
    EXPECT_EQ(face_->update_caption, "Update");
    EXPECT_TRUE(face_->load_file_enabled);
    EXPECT_TRUE(face_->ser_port_enabled);
    EXPECT_EQ(channel_->device.received_image(), form_->FirmwareImage());
    EXPECT_EQ(channel_->device.host_crc(), channel_->device.computed_crc());
    EXPECT_EQ(face_->units, 40960);
    EXPECT_EQ(face_->scale, 40960);
  }
}

TEST_F(UpdateTest, StopInTheMiddleKeepsTheBarAndClosesThePort) {
  Start(Device([](auto& o) { o.silent_after = 3; }));
  form_->Update_Click();
  channel_->Hello();
  Pump();
  ASSERT_EQ(channel_->device.received_image().size(), 3 * 256u);
  // Commands refused meanwhile change nothing; keys are still collected.
  const std::vector<bool> ticks = face_->ticks;
  const std::int32_t crc = form_->ImageCrc();
  const auto image = form_->FirmwareImage();
  const std::size_t dialogs_shown = dialogs_->requests.size();
  form_->Command1_Click();
  form_->Port_Click(0);
  form_->LoadFile_Click();
  for (char16_t k : std::u16string(u"Tavik"))
    form_->Form_KeyPress(k);
  EXPECT_EQ(form_->SelectedPort(), 1);
  EXPECT_EQ(face_->ticks, ticks);
  EXPECT_EQ(form_->ImageCrc(), crc);
  EXPECT_EQ(form_->FirmwareImage(), image);
  EXPECT_EQ(dialogs_->requests.size(), dialogs_shown);
  EXPECT_EQ(form_->KeyBuffer(), "");
  form_->Update_Click();  // Stop
  EXPECT_FALSE(form_->Running());
  EXPECT_FALSE(channel_->IsOpen());
  EXPECT_EQ(face_->watched, nullptr);
  EXPECT_EQ(face_->update_caption, "Update");
  EXPECT_EQ(face_->units, 768);
  EXPECT_TRUE(face_->shown.empty());
  form_->Port_DataArrived();  // one already on its way: ignored
  // The next one starts afresh.
  form_->Update_Click();
  EXPECT_TRUE(form_->Running());
  EXPECT_EQ(face_->units, 0);
}

TEST_F(UpdateTest, EndingsWithoutTheVerdict) {
  struct Case {
    const char* what;
    DeviceOptions options;
    bool unplug_before, unplug_after_two_blocks;
    std::string text;
    MessageIcon icon;
  };
  const Case cases[] = {
      {"illegal first byte", Device([](auto& o) { o.bad_hello = true; }), false, false,
       "Illegal command", MessageIcon::None},
      {"port cannot open", {}, true, false, "Can't open port", MessageIcon::None},
      {"port lost", Device([](auto& o) { o.silent_after = 2; }), false, true,
       "The connection to the device was lost. Check the cable and try again.", MessageIcon::Error},
  };
  for (const Case& c : cases) {
    Start(c.options);
    if (c.unplug_before) channel_->Unplug();
    form_->Update_Click();
    if (!c.unplug_before) {
      channel_->Hello();
      Pump();
    }
    if (c.unplug_after_two_blocks) {
      EXPECT_EQ(channel_->device.received_image().size(), 512u) << c.what;
      channel_->Unplug();
      form_->Port_DataArrived();  // the face's wake-up at a hang-up
    }
    EXPECT_FALSE(form_->Running()) << c.what;
    ASSERT_EQ(face_->shown.size(), 1u) << c.what;
    EXPECT_EQ(face_->shown[0].text, c.text) << c.what;
    EXPECT_EQ(face_->shown[0].icon, c.icon) << c.what;
    EXPECT_EQ(face_->update_caption, "Update") << c.what;
    EXPECT_FALSE(channel_->IsOpen()) << c.what;
    EXPECT_EQ(face_->watched, nullptr) << c.what;
  }
}

TEST_F(UpdateTest, ClosingTheWindowInTheMiddleStopsItAndClosesThePort) {
  Start(Device([](auto& o) { o.silent_after = 2; }));
  form_->Update_Click();
  channel_->Hello();
  Pump();
  EXPECT_TRUE(channel_->IsOpen());
  form_->Form_Unload();
  EXPECT_FALSE(form_->Running());
  EXPECT_FALSE(channel_->IsOpen());
  EXPECT_EQ(face_->watched, nullptr);
  EXPECT_TRUE(face_->shown.empty());
}

TEST_F(UpdateTest, PortsChangedWaitsUntilTheUpdateHasEnded) {
  Start();
  form_->Update_Click();
  ASSERT_TRUE(form_->Running());
  const int queries = ports_->queries;
  ports_->Change({{"New (COM9)", 9}});
  form_->Ports_Changed();
  EXPECT_EQ(ports_->queries, queries);
  EXPECT_EQ(face_->captions.size(), 2u);
  form_->Update_Click();  // Stop
  form_->Ports_Changed();
  EXPECT_EQ(face_->captions, std::vector<std::string>{"New (COM9)"});
  EXPECT_FALSE(face_->update_enabled);  // COM7 is gone
}

}  // namespace
}  // namespace pelkar
