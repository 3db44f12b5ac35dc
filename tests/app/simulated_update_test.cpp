// The window against the simulated device: encode the sample build, load the image and update
// the device through a real pseudo-terminal, as a technician would with the demo.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "firmware/encoder.h"
#include "firmware/image.h"
#include "qt_test_support.h"
#include "sim/simulated_device.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

TEST(SimulatedUpdate, EncodeLoadAndUpdateFromTheWindow) {
  QTemporaryDir dir;
  const fs::path folder = dir.path().toStdString();
  {
    SimulatorOptions options;
    options.save = folder / "received.bin";
    options.once = true;
    SimulatedDevice device(options);
    std::thread run([&] { device.Run(); });
    struct Join {
      SimulatedDevice& device;
      std::thread& run;
      ~Join() {
        device.RequestStop();
        run.join();
      }
    } join{device, run};

    fs::copy_file(fs::path(PELKAR_SAMPLES_DIR) / "demo-firmware.hex", folder / "demo.hex");
    auto dialogs = std::make_shared<test::FakeDialogs>();
    Form1Parts parts;
    parts.dialogs = dialogs;
    parts.program_dir = dir.path().toStdString();
    test::RecordingQtForm1 window(parts);
    Form1& form = window.core();
    auto* messages = &window;
    const int last = static_cast<int>(window.Port().size()) - 1;
    ASSERT_TRUE(window.Port()[static_cast<std::size_t>(last)]->text().endsWith(
        QString("(COM%1)").arg(device.port())));
    form.Port_Click(last);

    dialogs->answers = {(folder / "demo.hex").string(), (folder / "demo.bin").string()};
    for (char16_t k : std::u16string(u"Tavik"))
      form.Form_KeyPress(k);
    ASSERT_EQ(messages->shown.size(), 1u);
    EXPECT_EQ(messages->shown[0].text, "Kész");
    form.LoadFile_Click();
    ASSERT_TRUE(window.Update()->isEnabled());

    bool port_open_at_verdict = false;
    messages->on_show = [&] { port_open_at_verdict = form.Channel().IsOpen(); };
    form.Update_Click();
    QElapsedTimer timer;
    timer.start();
    while (form.Running() && timer.elapsed() < 10000) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_EQ(messages->shown.size(), 2u);
    EXPECT_EQ(messages->shown[1].text, "Update OK");
    EXPECT_EQ(messages->shown[1].icon, MessageIcon::Information);
    EXPECT_TRUE(port_open_at_verdict);
    EXPECT_FALSE(form.Channel().IsOpen());
    EXPECT_EQ(window.Update()->text(), "Update");
    EXPECT_EQ(LoadImageFile(folder / "received.bin").bytes,
              LoadImageFile(folder / "demo.bin").bytes);
  }
}

}  // namespace
}  // namespace pelkar
