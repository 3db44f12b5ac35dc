// Whole updates through a real pseudo-terminal offered as virtual port COM200, with a small
// boot loader on its other end, driven from the same event loop.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/progress_picture.h"
#include "app_test_support.h"
#include "serial_adapters.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

// The device side: says hello, asks for `blocks_to_ask` blocks (then falls silent when fewer
// than the image holds), asks for the checksum and answers with `verdict`.
class PtyBootLoader {
 public:
  PtyBootLoader(const fs::path& runtime_dir, std::size_t blocks) : blocks_(blocks) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(master_, 0);
    ::grantpt(master_);
    ::unlockpt(master_);
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    link_ = runtime_dir / "pelkar1" / "COM200";
    fs::create_directories(link_.parent_path());
    fs::create_symlink(::ptsname(master_), link_);
    // Keep the slave open on our side too, so the host's close is no hang-up for us.
    keep_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
  }
  ~PtyBootLoader() {
    Unplug();
    std::error_code ec;
    fs::remove(link_, ec);
  }

  void Hello() { Send(10); }
  void Unplug() {
    notifier_.reset();
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
    keep_ = master_ = -1;
  }

  std::size_t ask_blocks = SIZE_MAX;  // fall silent after this many block requests
  std::uint8_t verdict = 15;
  std::vector<std::uint8_t> received;
  std::size_t blocks_asked = 0;

  void Send(std::uint8_t byte) { ASSERT_EQ(::write(master_, &byte, 1), 1); }

 private:
  void AskNext() {
    if (blocks_asked < blocks_ && blocks_asked < ask_blocks) {
      ++blocks_asked;
      Send(12);
    } else if (blocks_asked == blocks_) {
      Send(13);
    }
  }
  void OnReadable() {
    std::uint8_t buffer[1024];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    received.insert(received.end(), buffer, buffer + n);
    const std::size_t after_hello = 1, blocks_end = 1 + 256 * blocks_;
    const std::size_t total = received.size();
    const std::size_t before = total - static_cast<std::size_t>(n);
    if (before < after_hello && total >= after_hello) AskNext();
    for (std::size_t b = 1; b <= blocks_; ++b) {
      const std::size_t end = 1 + 256 * b;
      if (before < end && total >= end) AskNext();
    }
    if (before < blocks_end + 4 && total >= blocks_end + 4) Send(verdict);
  }

  std::size_t blocks_;
  fs::path link_;
  int master_ = -1;
  int keep_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_runtime_ = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
  }
  void TearDown() override {
    form_.reset();
    device_.reset();
    qputenv("XDG_RUNTIME_DIR", old_runtime_);
  }
  // A window on the machine's port discovery, with the device on COM200, port chosen and
  // the self-test image (40,960 bytes, checksum 2,610,720) in place.
  void Start(std::size_t blocks = 160) {
    form_.reset();
    device_.reset();
    device_ = std::make_unique<PtyBootLoader>(fs::path(dir_.path().toStdString()), blocks);
    Form1Parts parts;
    parts.messages = messages_;
    parts.dialogs = dialogs_;
    parts.program_dir = dir_.path();
    form_ = std::make_unique<Form1>(parts);
    // The machine's own ports are listed too; the simulated one is the last.
    ASSERT_GE(form_->Port().size(), 1u);
    const int last = static_cast<int>(form_->Port().size()) - 1;
    ASSERT_TRUE(form_->Port()[static_cast<std::size_t>(last)]->text().endsWith("(COM200)"));
    form_->Port_Click(last);
    form_->Command1_Click();
    form_->Update()->setEnabled(true);
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
  QByteArray old_runtime_;
  std::shared_ptr<test::RecordedMessages> messages_ = std::make_shared<test::RecordedMessages>();
  std::shared_ptr<test::FakeDialogs> dialogs_ = std::make_shared<test::FakeDialogs>();
  std::unique_ptr<PtyBootLoader> device_;
  std::unique_ptr<Form1> form_;
};

TEST_F(UpdateTest, WholeUpdateShowsTheVerdictWithThePortStillOpen) {
  struct Case {
    std::uint8_t verdict;
    std::string text;
    MessageIcon icon;
  };
  const Case cases[] = {{15, "Update OK", MessageIcon::Information},
                        {14, "Update unsuccessful", MessageIcon::Error},
                        {0x10, "Unexpected answer from the device (0x10)", MessageIcon::Error}};
  for (const Case& c : cases) {
    messages_->shown.clear();
    Start();
    device_->verdict = c.verdict;
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
    // Hello answered, 160 blocks of the image, then 2,610,720 least significant byte first.
    ASSERT_EQ(device_->received.size(), 40965u);
    EXPECT_EQ(device_->received[0], 11);
    EXPECT_TRUE(std::equal(form_->FirmwareImage().begin(), form_->FirmwareImage().end(),
                           device_->received.begin() + 1));
    const std::vector<std::uint8_t> crc(device_->received.end() - 4, device_->received.end());
    EXPECT_EQ(crc, (std::vector<std::uint8_t>{0x20, 0xD6, 0x27, 0x00}));
    EXPECT_EQ(form_->Picture1()->Units(), 40960);
    EXPECT_EQ(form_->Picture1()->BarWidth(), form_->Picture1()->width());
  }
}

TEST_F(UpdateTest, StopInTheMiddleKeepsTheBarAndClosesThePort) {
  Start();
  device_->ask_blocks = 3;
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->received.size() == 1 + 3 * 256; }));
  // Commands refused meanwhile change nothing; keys are still collected.
  form_->Command1_Click();
  form_->Port_Click(0);
  EXPECT_EQ(form_->ImageCrc(), 2610720);
  for (char16_t k : std::u16string(u"Tavik"))
    form_->Form_KeyPress(k);
  EXPECT_TRUE(dialogs_->requests.empty());
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
  Start();
  form_->Update_Click();
  device_->Send(0x00);  // only the first byte counts
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return !form_->Running(); }));
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text, "Illegal command");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::None);
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_FALSE(form_->Channel().IsOpen());
  EXPECT_TRUE(device_->received.empty());
}

TEST_F(UpdateTest, ClosingTheWindowInTheMiddleClosesThePort) {
  Start();
  device_->ask_blocks = 2;
  form_->show();
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->received.size() == 1 + 2 * 256; }));
  EXPECT_TRUE(form_->Channel().IsOpen());
  form_->close();
  EXPECT_FALSE(form_->Running());
  EXPECT_FALSE(form_->Channel().IsOpen());
}

TEST_F(UpdateTest, APortLostInTheMiddleEndsWithAClearMessage) {
  Start();
  device_->ask_blocks = 2;
  form_->Update_Click();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->received.size() == 1 + 2 * 256; }));
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
  fs::remove(fs::path(dir_.path().toStdString()) / "pelkar1" / "COM200");
  form_->Update_Click();
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text, "Can't open port");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::None);
  EXPECT_FALSE(form_->Running());
  EXPECT_EQ(form_->Update()->text(), "Update");
}

}  // namespace
}  // namespace pelkar
