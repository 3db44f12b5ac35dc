// Whole updates through a real pseudo-terminal offered as virtual port COM200, with a small
// boot loader on its other end, driven from the same event loop.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/progress_picture.h"
#include "app_test_support.h"
#include "firmware/image.h"
#include "serial/virtual_port.h"
#include "sim/device_model.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

// The simulated boot loader on the far end of a pseudo-terminal offered as COM200, driven
// from the same event loop as the window.
class PtyBootLoader {
 public:
  explicit PtyBootLoader(DeviceOptions options) : model_(options) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(master_, 0);
    ::grantpt(master_);
    ::unlockpt(master_);
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    link_ = std::make_unique<VirtualPortLink>(::ptsname(master_), 200);
    // Keep the slave open on our side too, so the host's close is no hang-up for us.
    keep_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
  }
  ~PtyBootLoader() { Unplug(); }

  // The device opens the exchange; call once the host has opened the port.
  void Hello() { Send(model_.Start()); }
  // The port goes with the device, as an unplugged adapter's does.
  void Unplug() {
    link_.reset();
    notifier_.reset();
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
    keep_ = master_ = -1;
  }
  const DeviceModel& model() const { return model_; }

 private:
  void Send(const std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty()) {
      ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
  }
  void OnReadable() {
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    for (ssize_t i = 0; i < n; ++i)
      Send(model_.OnHostByte(buffer[i]));
  }

  DeviceModel model_;
  std::unique_ptr<VirtualPortLink> link_;
  int master_ = -1;
  int keep_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// One option of the device set, the rest as they come.
template <typename Set>
DeviceOptions Device(Set set) {
  DeviceOptions options;
  set(options);
  return options;
}

class UpdateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    form_.reset();
    device_.reset();
  }
  // A window on the machine's port discovery, with the device on COM200, the port chosen
  // and a 40,960-byte image loaded through "Load File".
  void Start(DeviceOptions options = {}) {
    form_.reset();
    device_.reset();
    device_ = std::make_unique<PtyBootLoader>(options);
    Form1Parts parts;
    parts.messages = messages_;
    parts.dialogs = dialogs_;
    parts.program_dir = dir_.path();
    form_ = std::make_unique<Form1>(parts);
    // The machine's own ports are listed too.
    int chosen = -1;
    for (std::size_t i = 0; i < form_->Port().size(); ++i) {
      if (form_->Port()[i]->text().endsWith("(COM200)")) chosen = static_cast<int>(i);
    }
    ASSERT_GE(chosen, 0);
    form_->Port_Click(chosen);
    std::vector<std::uint8_t> image = SelfTestImage().bytes;
    Scramble(image);
    const std::string path = (fs::path(dir_.path().toStdString()) / "fw.bin").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    dialogs_->answers = {path};
    form_->LoadFile_Click();
    ASSERT_TRUE(form_->Update()->isEnabled());
  }
  // Runs the event loop until pred holds or 10 s pass.
  template <typename Pred>
  bool RunUntil(Pred pred) {
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < 10000) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return pred();
  }

  QTemporaryDir dir_;
  std::shared_ptr<test::RecordedMessages> messages_ = std::make_shared<test::RecordedMessages>();
  std::shared_ptr<test::FakeDialogs> dialogs_ = std::make_shared<test::FakeDialogs>();
  std::unique_ptr<PtyBootLoader> device_;
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
    messages_->shown.clear();
    Start(c.options);
    bool open_while_shown = false;
    messages_->on_show = [&] { open_while_shown = form_->Channel().IsOpen(); };
    form_->Update_Click();
    EXPECT_EQ(form_->Update()->text(), "Stop");
    EXPECT_FALSE(form_->LoadFile()->isEnabled());
    EXPECT_FALSE(form_->SerPort()->isEnabled());
    device_->Hello();
    ASSERT_TRUE(RunUntil([&] { return !form_->Running(); }));
    ASSERT_EQ(messages_->shown.size(), 1u);
    EXPECT_EQ(messages_->shown[0].text, c.text);
    EXPECT_EQ(messages_->shown[0].icon, c.icon);
    EXPECT_TRUE(open_while_shown);
    EXPECT_FALSE(form_->Channel().IsOpen());
    EXPECT_EQ(form_->Update()->text(), "Update");
    EXPECT_TRUE(form_->LoadFile()->isEnabled());
    EXPECT_TRUE(form_->SerPort()->isEnabled());
    EXPECT_EQ(device_->model().received_image(), form_->FirmwareImage());
    EXPECT_EQ(device_->model().host_crc(), device_->model().computed_crc());
    EXPECT_EQ(form_->Picture1()->Units(), 40960);
    EXPECT_EQ(form_->Picture1()->BarWidth(), form_->Picture1()->width());
  }
}

TEST_F(UpdateTest, StopInTheMiddleKeepsTheBarAndClosesThePort) {
  // A second port in the menu, right after COM200, to be clicked while the update runs.
  VirtualPortLink spare("/dev/null", 201);
  Start(Device([](auto& o) { o.silent_after = 3; }));
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->model().received_image().size() == 3 * 256; }));
  // Commands refused meanwhile change nothing; keys are still collected.
  const auto ticks = [&] {
    std::vector<bool> ticked;
    for (QAction* item : form_->Port())
      ticked.push_back(item->isChecked());
    return ticked;
  };
  const std::vector<bool> ticked = ticks();
  const std::uint8_t selected = form_->SelectedPort();
  const std::int32_t crc = form_->ImageCrc();
  const std::size_t dialogs_shown = dialogs_->requests.size();
  form_->Command1_Click();
  form_->Port_Click(0);
  ASSERT_GT(form_->Port().size(), selected + 1u);
  form_->Port()[selected + 1u]->trigger();  // as from the menu
  form_->LoadFile_Click();
  EXPECT_EQ(form_->SelectedPort(), selected);
  EXPECT_EQ(ticks(), ticked);
  EXPECT_EQ(form_->ImageCrc(), crc);
  for (char16_t k : std::u16string(u"Tavik"))
    form_->Form_KeyPress(k);
  EXPECT_EQ(dialogs_->requests.size(), dialogs_shown);
  EXPECT_EQ(form_->KeyBuffer(), "");
  form_->Update_Click();  // Stop
  EXPECT_FALSE(form_->Running());
  EXPECT_FALSE(form_->Channel().IsOpen());
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_EQ(form_->Picture1()->Units(), 768);
  EXPECT_TRUE(messages_->shown.empty());
  // The next one starts afresh on a port that was really closed.
  form_->Update_Click();
  EXPECT_TRUE(form_->Running());
  EXPECT_EQ(form_->Picture1()->Units(), 0);
  form_->Update_Click();
}

TEST_F(UpdateTest, IllegalFirstByteEndsTheExchange) {
  Start(Device([](auto& o) { o.bad_hello = true; }));
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return !form_->Running(); }));
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text, "Illegal command");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::None);
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_FALSE(form_->Channel().IsOpen());
}

TEST_F(UpdateTest, ClosingTheWindowInTheMiddleClosesThePort) {
  Start(Device([](auto& o) { o.silent_after = 2; }));
  form_->show();
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->model().received_image().size() == 2 * 256; }));
  EXPECT_TRUE(form_->Channel().IsOpen());
  form_->close();
  EXPECT_FALSE(form_->Running());
  EXPECT_FALSE(form_->Channel().IsOpen());
}

TEST_F(UpdateTest, APortLostInTheMiddleEndsWithAClearMessage) {
  Start(Device([](auto& o) { o.silent_after = 2; }));
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->model().received_image().size() == 2 * 256; }));
  device_->Unplug();
  ASSERT_TRUE(RunUntil([&] { return !form_->Running(); }));
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text,
            "The connection to the device was lost. Check the cable and try again.");
  EXPECT_FALSE(form_->Channel().IsOpen());
  EXPECT_EQ(form_->Update()->text(), "Update");
}

TEST_F(UpdateTest, APortThatCannotOpenEndsTheExchange) {
  Start();
  device_->Unplug();
  form_->Update_Click();
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text, "Can't open port");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::None);
  EXPECT_FALSE(form_->Running());
  EXPECT_EQ(form_->Update()->text(), "Update");
}

}  // namespace
}  // namespace pelkar
