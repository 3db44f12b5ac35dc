// The Qt dialogs as the backend builds them, and answered as a person would.
#include "dialogs/qt_dialog_backend.h"

#include <functional>

#include <QApplication>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFontDialog>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace pelkar {
namespace {

// Accepts (after `act`) or rejects the next modal dialog once it runs.
template <typename Dialog>
void AnswerNextDialog(bool accept, std::function<void(Dialog&)> act = {}) {
  QTimer::singleShot(0, [accept, act] {
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    if (act) act(*dialog);
    if (accept) {
      static_cast<QDialog*>(dialog)->accept();  // as the dialog's own button does
    } else {
      dialog->reject();
    }
  });
}

TEST(QtFileDialog, BuiltWithFiltersDirCaptionAndSuffix) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  FileRequest request{{"*.bin (*.bin)"}, dir.path().toStdString(), "Save image", "bin", ""};
  const auto open = QtDialogBackend::MakeFileDialog(request, false);
  EXPECT_EQ(open->parentWidget(), nullptr);
  EXPECT_EQ(open->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(open->fileMode(), QFileDialog::AnyFile);
  EXPECT_EQ(open->nameFilters(), QStringList{"*.bin (*.bin)"});
  EXPECT_EQ(QDir(open->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
  EXPECT_EQ(open->defaultSuffix(), "");
  const auto save = QtDialogBackend::MakeFileDialog(request, true);
  EXPECT_EQ(save->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(save->windowTitle(), "Save image");
  EXPECT_EQ(save->defaultSuffix(), "bin");
  EXPECT_FALSE(save->testOption(QFileDialog::DontConfirmOverwrite));
}

TEST(QtFileDialog, AnsweredAndCancelled) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const FileRequest request{
      {"Images (*.bin)", "HEX (*.hex)"}, dir.path().toStdString(), "", "", ""};
  QtDialogBackend backend;
  AnswerNextDialog<QFileDialog>(true, [&](QFileDialog& d) {
    d.selectNameFilter("HEX (*.hex)");
    d.selectFile(dir.filePath("fw.hex"));
  });
  const std::optional<FileChoice> chosen = backend.OpenFile(request, nullptr);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(QDir::cleanPath(QString::fromStdString(chosen->path)),
            QDir::cleanPath(QDir(dir.path()).absoluteFilePath("fw.hex")));
  EXPECT_EQ(chosen->file_title, "fw.hex");
  EXPECT_EQ(chosen->filter_index, 2);
  AnswerNextDialog<QFileDialog>(false);
  EXPECT_FALSE(backend.SaveFile(request, nullptr));
}

TEST(QtColorDialog, ColorRefIsRedInTheLowByte) {
  EXPECT_EQ(QtDialogBackend::ColorFromColorRef(0x00123456), QColor(0x56, 0x34, 0x12));
  EXPECT_EQ(QtDialogBackend::ColorFromColorRef(0xFF0000FF),
            QColor(255, 0, 0));  // high byte ignored
  EXPECT_EQ(QtDialogBackend::ColorRefFromColor(QColor(0x56, 0x34, 0x12, 9)), 0x00123456u);
}

TEST(QtColorDialog, OpensOnColourWithBlackCustomColours) {
  QWidget owner;
  QColorDialog::setCustomColor(3, Qt::red);  // left from an earlier dialog
  ColorRequest request;
  request.initial = 0x00332211;
  const auto dialog = QtDialogBackend::MakeColorDialog(request, &owner);
  EXPECT_EQ(dialog->parentWidget(), &owner);
  EXPECT_EQ(dialog->currentColor(), QColor(0x11, 0x22, 0x33));
  for (int i = 0; i < QColorDialog::customCount(); ++i) {
    EXPECT_EQ(QColorDialog::customColor(i), QColor(Qt::black)) << i;
  }
  QtDialogBackend backend;
  AnswerNextDialog<QColorDialog>(true, [](QColorDialog& d) { d.setCurrentColor(QColor(1, 2, 3)); });
  const std::optional<ColorChoice> color = backend.GetColor(request, &owner);
  ASSERT_TRUE(color);
  EXPECT_EQ(color->color, 0x00030201u);
  AnswerNextDialog<QColorDialog>(false);
  EXPECT_FALSE(backend.GetColor(request, &owner));
}

TEST(QtFontDialog, RequestBecomesFontAndFontBecomesChoice) {
  const FontRequest request{16, 120, 700, 1, 238, "DejaVu Sans"};
  const QFont font = QtDialogBackend::FontFromRequest(request);
  EXPECT_EQ(font.family(), "DejaVu Sans");
  EXPECT_EQ(font.pointSizeF(), 12.0);
  EXPECT_EQ(font.weight(), QFont::Bold);
  EXPECT_TRUE(font.italic());
  const FontChoice back = QtDialogBackend::ReadFontChoice(font, request);
  EXPECT_EQ(back.face_name, "DejaVu Sans");
  EXPECT_EQ(back.point_size_tenths, 120);
  EXPECT_EQ(back.weight, 700);
  EXPECT_EQ(back.italic, 1);  // the caller's nonzero value survives
  EXPECT_EQ(back.charset, 238);

  QFont other(QString(40, 'z'));
  other.setPixelSize(14);  // no point size: 14 px at 96 dpi is 10.5 pt
  other.setItalic(true);
  const FontChoice from_pixels = QtDialogBackend::ReadFontChoice(other, FontRequest{});
  EXPECT_EQ(from_pixels.face_name, std::string(31, 'z'));
  EXPECT_EQ(from_pixels.point_size_tenths, 105);
  EXPECT_EQ(from_pixels.italic, 255);

  QWidget owner;
  QtDialogBackend backend;
  AnswerNextDialog<QFontDialog>(true);
  const std::optional<FontChoice> chosen = backend.GetFont(request, &owner);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->point_size_tenths, 120);
  EXPECT_EQ(chosen->charset, 238);
  AnswerNextDialog<QFontDialog>(false);
  EXPECT_FALSE(backend.GetFont(request, &owner));
}

}  // namespace
}  // namespace pelkar
