// The window: start-up, port choice, command states, loading, the self-test, the encoder.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/progress_picture.h"
#include "app_test_support.h"
#include "firmware/crc.h"
#include "firmware/image.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using test::FakeDialogs;
using test::FakePorts;
using test::RecordedMessages;

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
    parts_.ports = std::make_shared<FakePorts>(std::move(ports));
    parts_.dialogs = dialogs_;
    parts_.messages = messages_;
    parts_.program_dir = dir_.path();
    form_ = std::make_unique<Form1>(parts_);
  }
  void Type(const QString& text) {
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(
          QApplication::focusWidget() ? QApplication::focusWidget() : form_.get(), &press);
    }
  }
  fs::path Path(const char* name) const { return fs::path(dir_.path().toStdString()) / name; }

  QTemporaryDir dir_;
  Form1Parts parts_;
  std::shared_ptr<FakeDialogs> dialogs_ = std::make_shared<FakeDialogs>();
  std::shared_ptr<RecordedMessages> messages_ = std::make_shared<RecordedMessages>();
  std::unique_ptr<Form1> form_;
};

TEST_F(Form1Test, LayoutCaptionsAndTabOrder) {
  Make({{"A (COM1)", 1}});
  EXPECT_EQ(form_->windowTitle(), "Pelkar1 Update utility");
  EXPECT_EQ(form_->centralWidget()->size(), QSize(361, 30));
  EXPECT_EQ(form_->Picture1()->geometry(), QRect(4, 4, 353, 21));
  EXPECT_EQ(form_->Command1()->geometry(), QRect(60, 56, 69, 37));
  EXPECT_EQ(form_->Command1()->text(), "Command1");
  EXPECT_TRUE(form_->Command1()->isEnabled());
  EXPECT_EQ(form_->Command1()->nextInFocusChain(), form_->Picture1());
  const QList<QAction*> bar = form_->menuBar()->actions();
  ASSERT_EQ(bar.size(), 3);
  EXPECT_EQ(bar[0]->text(), "Serial Port");
  EXPECT_EQ(bar[0]->menu(), form_->SerPort());
  EXPECT_EQ(bar[1], form_->LoadFile());
  EXPECT_EQ(bar[2], form_->Update());
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_EQ(form_->LoadFile()->text(), "Load File");
  for (QAction* a : bar)
    EXPECT_TRUE(a->shortcut().isEmpty());
  EXPECT_FALSE(form_->windowIcon().isNull());
  form_->show();
  QApplication::setActiveWindow(form_.get());
  EXPECT_EQ(QApplication::focusWidget(), form_->Command1());
  EXPECT_EQ(QDir::currentPath(), dir_.path());
}

TEST_F(Form1Test, StartUpMakesOnePortItemPerEntry) {
  struct Case {
    std::vector<std::pair<std::string, std::uint8_t>> ports;
    std::vector<QString> captions;
  };
  const Case cases[] = {
      {{}, {""}},
      {{{"FT232R USB UART /dev/ttyUSB0 (COM33)", 33}}, {"FT232R USB UART /dev/ttyUSB0 (COM33)"}},
      {{{"A (COM1)", 1}, {"B & C (COM33)", 33}, {"Simulated device /dev/pts/4 (COM200)", 200}},
       {"A (COM1)", "B && C (COM33)", "Simulated device /dev/pts/4 (COM200)"}},
  };
  for (const Case& c : cases) {
    Make(c.ports);
    ASSERT_EQ(form_->Port().size(), c.captions.size());
    for (std::size_t i = 0; i < c.captions.size(); ++i) {
      EXPECT_EQ(form_->Port()[i]->text(), c.captions[i]);
      EXPECT_TRUE(form_->Port()[i]->isEnabled());
      EXPECT_FALSE(form_->Port()[i]->isChecked());
    }
    EXPECT_EQ(form_->SelectedPort(), 0);
    EXPECT_FALSE(form_->LoadFile()->isEnabled());
    EXPECT_FALSE(form_->Update()->isEnabled());
  }
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
    form_->Port()[static_cast<std::size_t>(s.chosen)]->trigger();  // as from the menu
    EXPECT_EQ(form_->SelectedPort(), s.chosen);
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(form_->Port()[i]->isChecked(), s.ticks[i]);
    EXPECT_TRUE(form_->LoadFile()->isEnabled());
    EXPECT_FALSE(form_->Update()->isEnabled());
  }
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
  WriteAll(Path("one.bin"), stored);
  std::vector<std::uint8_t> counted = plain;
  std::fill_n(counted.begin(), 8, 0);

  // Whatever folder was current before (the encoder's dialog leaves it anywhere), the open
  // dialog starts from the program's folder.
  ASSERT_TRUE(QDir::setCurrent(QDir::tempPath()));
  dialogs_->answers = {Path("one.bin").string()};
  form_->LoadFile_Click();
  EXPECT_EQ(dialogs_->current_dirs.back(), dir_.path().toStdString());
  EXPECT_EQ(dialogs_->requests.back().name_filters, std::vector<std::string>{"*.bin (*.bin)"});
  EXPECT_EQ(form_->FirmwareImage(), stored);
  EXPECT_EQ(form_->ImageCrc(), std::int32_t{Crc16A(counted, 256)});
  EXPECT_TRUE(form_->Update()->isEnabled());
  EXPECT_TRUE(messages_->shown.empty());
}

TEST_F(Form1Test, CancelAndRefusedLoadsKeepTheEarlierImage) {
  Make({{"A", 1}});
  form_->Port_Click(0);
  dialogs_->answers = {""};
  form_->LoadFile_Click();
  EXPECT_FALSE(form_->Update()->isEnabled());  // cancel on first use

  WriteAll(Path("good.bin"), std::vector<std::uint8_t>(512, 0x5A));
  dialogs_->answers = {Path("good.bin").string()};
  form_->LoadFile_Click();
  const auto image = form_->FirmwareImage();
  const auto crc = form_->ImageCrc();

  WriteAll(Path("short.bin"), std::vector<std::uint8_t>(300, 1));
  WriteAll(Path("empty.bin"), {});
  const std::string refused[] = {"", Path("short.bin").string(), Path("empty.bin").string(),
                                 Path("missing.bin").string()};
  for (const std::string& name : refused) {
    messages_->shown.clear();
    dialogs_->answers = {name};
    form_->LoadFile_Click();
    EXPECT_EQ(form_->FirmwareImage(), image) << name;
    EXPECT_EQ(form_->ImageCrc(), crc) << name;
    EXPECT_TRUE(form_->Update()->isEnabled()) << name;
    EXPECT_EQ(messages_->shown.size(), name.empty() ? 0u : 1u) << name;
  }
}

TEST_F(Form1Test, TheOpenDialogBlocksTheWindow) {
  parts_.ports =
      std::make_shared<FakePorts>(std::vector<std::pair<std::string, std::uint8_t>>{{"A", 1}});
  parts_.messages = messages_;
  parts_.program_dir = dir_.path();
  form_ = std::make_unique<Form1>(parts_);  // Qt's own file dialogs
  form_->show();
  form_->Port_Click(0);
  auto modality = std::make_shared<std::optional<Qt::WindowModality>>();
  QTimer::singleShot(0, [modality] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      *modality = dialog->windowModality();
      dialog->reject();
    }
  });
  form_->LoadFile_Click();
  EXPECT_EQ(*modality, Qt::ApplicationModal);
  EXPECT_FALSE(form_->Update()->isEnabled());  // cancelled
}

TEST_F(Form1Test, SelfTestSetsThePatternAndItsSum) {
  Make({{"A", 1}});
  form_->Command1()->click();
  EXPECT_EQ(form_->ImageCrc(), 2610720);
  form_->Command1_Click();
  EXPECT_EQ(form_->ImageCrc(), 2610720);  // set, not added
  ASSERT_EQ(form_->FirmwareImage().size(), 40960u);
  EXPECT_EQ(form_->FirmwareImage()[257], 1);
  EXPECT_FALSE(form_->Update()->isEnabled());
  EXPECT_FALSE(form_->LoadFile()->isEnabled());
}

TEST_F(Form1Test, SpaceOnCommand1RunsTheSelfTestAndStillCounts) {
  Make({{"A", 1}});
  form_->show();
  QApplication::setActiveWindow(form_.get());
  form_->Command1()->setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(form_->Command1(), &press);
  QApplication::sendEvent(form_->Command1(), &release);
  EXPECT_EQ(form_->ImageCrc(), 2610720);
  EXPECT_EQ(form_->KeyBuffer(), " ");
}

// A HEX file with data at 0 and 4: "01 02 03 04" then "AA".
const char kHex[] =
    ":0400000001020304F2\r\n"
    ":01000400AA51\r\n"
    ":00000001FF\r\n";

TEST_F(Form1Test, EncoderOpensOnlyOnTheExactCodeTypedFirst) {
  struct Case {
    QString typed;
    bool opens;
  };
  const Case cases[] = {{"Tavik", true}, {"tavik", false}, {"xTavik", false}, {"TAVIK", false}};
  for (const Case& c : cases) {
    Make({{"A", 1}});
    form_->show();
    QApplication::setActiveWindow(form_.get());
    Type(c.typed);
    EXPECT_EQ(dialogs_->requests.size(), c.opens ? 1u : 0u) << c.typed.toStdString();
    dialogs_->requests.clear();
  }
}

TEST_F(Form1Test, EncoderWritesTheImageBesideTheHexFile) {
  Make({{"A", 1}});
  form_->show();
  QApplication::setActiveWindow(form_.get());
  // An image loaded before, so that "Update" is already enabled.
  form_->Port_Click(0);
  WriteAll(Path("old.bin"), std::vector<std::uint8_t>(512, 0x5A));
  dialogs_->answers = {Path("old.bin").string()};
  form_->LoadFile_Click();
  const std::int32_t old_crc = form_->ImageCrc();
  const fs::path sub = Path("sub");
  fs::create_directory(sub);
  WriteText(sub / "fw.hex", kHex);
  WriteAll(sub / "fw.bin", std::vector<std::uint8_t>(50000, 7));  // replaced whole
  messages_->on_show = [&] {  // "Kész" only once the file is there
    EXPECT_EQ(fs::file_size(sub / "fw.bin"), 40960u);
  };
  dialogs_->answers = {(sub / "fw.hex").string()};
  Type("Tavik");
  ASSERT_EQ(messages_->shown.size(), 1u);
  EXPECT_EQ(messages_->shown[0].text, "Kész");
  EXPECT_EQ(messages_->shown[0].icon, MessageIcon::None);
  EXPECT_EQ(dialogs_->requests.back().name_filters, std::vector<std::string>{"*.hex (*.hex)"});
  const auto written = ReadAll(sub / "fw.bin");
  EXPECT_EQ(written, form_->FirmwareImage());
  std::vector<std::uint8_t> plain = written;
  Scramble(plain);
  EXPECT_EQ(plain[0], 1);
  EXPECT_EQ(plain[2], 3);
  EXPECT_EQ(plain[3], 0xFF);  // every fourth byte forced
  EXPECT_EQ(plain[4], 0xAA);
  EXPECT_EQ(plain[5], 0xFF);
  EXPECT_FALSE(fs::exists(Path("fw.bin")));
  EXPECT_EQ(form_->KeyBuffer(), "");
  // What "Update" sends next is the new image with its own sum.
  EXPECT_TRUE(form_->Update()->isEnabled());
  EXPECT_EQ(form_->ImageCrc(), ImageCrc(written));
  EXPECT_NE(form_->ImageCrc(), old_crc);

  dialogs_->answers = {""};
  Type("Tavik");  // again after a conversion
  EXPECT_EQ(dialogs_->requests.size(), 3u);
}

TEST_F(Form1Test, KeysReachTheEncoderWhateverHoldsTheFocus) {
  Make({{"A", 1}});
  form_->show();
  QApplication::setActiveWindow(form_.get());
  form_->Picture1()->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), form_->Picture1());
  dialogs_->answers = {""};
  Type("Tavik");
  EXPECT_EQ(dialogs_->requests.size(), 1u);
}

TEST_F(Form1Test, EncoderCancelEmptiesTheKeyBuffer) {
  Make({{"A", 1}});
  form_->show();
  QApplication::setActiveWindow(form_.get());
  dialogs_->answers = {"", ""};
  Type("Tavik");
  EXPECT_EQ(form_->KeyBuffer(), "");
  EXPECT_TRUE(messages_->shown.empty());
  EXPECT_TRUE(form_->FirmwareImage().empty());
  Type("Tavik");
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
    messages_->shown.clear();
    WriteText(Path("bad.hex"), c.text);
    dialogs_->answers = {Path("bad.hex").string()};
    form_->Form_KeyPress(u'T');
    for (char16_t k : std::u16string(u"avik"))
      form_->Form_KeyPress(k);
    ASSERT_EQ(messages_->shown.size(), 1u) << c.text;
    EXPECT_NE(messages_->shown[0].text.find(c.expected), std::string::npos)
        << c.text << messages_->shown[0].text;
    EXPECT_EQ(messages_->shown[0].icon, MessageIcon::Error);
    EXPECT_FALSE(fs::exists(Path("bad.bin")));
    EXPECT_EQ(form_->KeyBuffer(), "");
  }
}

}  // namespace
}  // namespace pelkar
