// The Qt face's arrivals: whole updates through a real pseudo-terminal offered as virtual
// port COM200, with the boot loader on its other end driven from the same event loop.
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
#include "app/qt_form1.h"
#include "files/files.h"
#include "firmware/image.h"
#include "qt_test_support.h"
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

class QtUpdateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    form_.reset();
    device_.reset();
  }
  // A window on the machine's port discovery, with the device on COM200, the port chosen
  // and a 40,960-byte image loaded through "Load File".
  void Start(DeviceOptions options = {}) {
    device_ = std::make_unique<PtyBootLoader>(options);
    Form1Parts parts;
    parts.dialogs = dialogs_;
    parts.program_dir = dir_.path().toStdString();
    form_ = std::make_unique<test::RecordingQtForm1>(parts);
    int chosen = -1;  // the machine's own ports are listed too
    for (std::size_t i = 0; i < form_->Port().size(); ++i) {
      if (form_->Port()[i]->text().endsWith("(COM200)")) chosen = static_cast<int>(i);
    }
    ASSERT_GE(chosen, 0);
    form_->Port()[static_cast<std::size_t>(chosen)]->trigger();
    std::vector<std::uint8_t> image = SelfTestImage().bytes;
    Scramble(image);
    const std::string path = (fs::path(dir_.path().toStdString()) / "fw.bin").string();
    WriteFileAtomically(Utf8Path(path), image, {}, Durability::Unsynced);
    dialogs_->answers = {path};
    form_->LoadFile()->trigger();
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
  std::shared_ptr<test::FakeDialogs> dialogs_ = std::make_shared<test::FakeDialogs>();
  std::unique_ptr<PtyBootLoader> device_;
  std::unique_ptr<test::RecordingQtForm1> form_;
};

TEST_F(QtUpdateTest, WholeUpdateFromThePortsArrivals) {
  Start();
  form_->Update()->trigger();
  EXPECT_EQ(form_->Update()->text(), "Stop");
  EXPECT_FALSE(form_->LoadFile()->isEnabled());
  EXPECT_FALSE(form_->SerPort()->isEnabled());
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return !form_->core().Running(); }));
  ASSERT_EQ(form_->shown.size(), 1u);
  EXPECT_EQ(form_->shown[0].text, "Update OK");
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_TRUE(form_->SerPort()->isEnabled());
  EXPECT_EQ(device_->model().received_image(), form_->core().FirmwareImage());
  EXPECT_EQ(form_->Picture1()->Units(), 40960);
  EXPECT_EQ(form_->Picture1()->BarWidth(), form_->Picture1()->width());
}

TEST_F(QtUpdateTest, StopAndClosingInTheMiddleCloseThePort) {
  Start(Device([](auto& o) { o.silent_after = 2; }));
  form_->show();
  for (bool by_closing : {false, true}) {
    form_->Update()->trigger();
    device_->Hello();
    ASSERT_TRUE(RunUntil([&] { return device_->model().received_image().size() == 2 * 256; }));
    EXPECT_TRUE(form_->core().Channel().IsOpen());
    EXPECT_EQ(form_->Picture1()->Units(), 512);
    if (by_closing) {
      form_->close();
    } else {
      form_->Update()->trigger();                  // Stop
      EXPECT_EQ(form_->Picture1()->Units(), 512);  // the bar keeps what was drawn
      device_.reset();
      device_ = std::make_unique<PtyBootLoader>(Device([](auto& o) { o.silent_after = 2; }));
    }
    EXPECT_FALSE(form_->core().Running());
    EXPECT_FALSE(form_->core().Channel().IsOpen());
  }
}

TEST_F(QtUpdateTest, APortLostInTheMiddleEndsWithAClearMessage) {
  Start(Device([](auto& o) { o.silent_after = 2; }));
  form_->Update()->trigger();
  device_->Hello();
  ASSERT_TRUE(RunUntil([&] { return device_->model().received_image().size() == 2 * 256; }));
  device_->Unplug();
  ASSERT_TRUE(RunUntil([&] { return !form_->core().Running(); }));
  ASSERT_EQ(form_->shown.size(), 1u);
  EXPECT_EQ(form_->shown[0].text,
            "The connection to the device was lost. Check the cable and try again.");
  EXPECT_FALSE(form_->core().Channel().IsOpen());
}

}  // namespace
}  // namespace pelkar
