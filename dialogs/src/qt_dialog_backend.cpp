#include "dialogs/qt_dialog_backend.h"

#include <algorithm>
#include <cmath>

#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QPointer>
#include <QStringList>

#include "dialogs/dialog_conversions.h"

namespace pelkar {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
  return text.toUtf8().toStdString();
}

// Runs a dialog modally. The dialog may be destroyed meanwhile with its owner, so it is
// watched rather than owned while it runs. Returns the dialog when it was accepted.
template <typename Dialog>
std::unique_ptr<Dialog> RunModal(std::unique_ptr<Dialog> dialog) {
  QPointer<Dialog> watch(dialog.release());
  const int result = watch->exec();
  std::unique_ptr<Dialog> alive(watch.data());
  if (!alive || result != QDialog::Accepted) return nullptr;
  return alive;
}

std::optional<FileChoice> RunFileDialog(const FileRequest& request, bool save) {
  std::unique_ptr<QFileDialog> dialog = RunModal(QtDialogBackend::MakeFileDialog(request, save));
  if (!dialog) return std::nullopt;
  return QtDialogBackend::ReadFileChoice(*dialog, request);
}

}  // namespace

std::unique_ptr<QFileDialog> QtDialogBackend::MakeFileDialog(const FileRequest& request,
                                                             bool save) {
  auto dialog = std::make_unique<QFileDialog>(nullptr);  // no owner, as for the platform's
  dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::AnyFile);
  if (!request.name_filters.empty()) {
    QStringList filters;
    for (const std::string& f : request.name_filters)
      filters << FromUtf8(f);
    dialog->setNameFilters(filters);
    dialog->selectNameFilter(filters.front());
  }
  if (!request.initial_dir.empty()) dialog->setDirectory(FromUtf8(request.initial_dir));
  if (!request.caption.empty()) dialog->setWindowTitle(FromUtf8(request.caption));
  if (save && !request.default_suffix.empty()) {
    dialog->setDefaultSuffix(FromUtf8(request.default_suffix));
  }
  return dialog;
}

std::optional<FileChoice> QtDialogBackend::ReadFileChoice(const QFileDialog& dialog,
                                                          const FileRequest& request) {
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
  const QFileInfo info(files.front());
  FileChoice choice;
  choice.path = ToUtf8(info.absoluteFilePath());
  choice.file_title = ToUtf8(info.fileName());
  const std::string selected = ToUtf8(dialog.selectedNameFilter());
  const auto it = std::find(request.name_filters.begin(), request.name_filters.end(), selected);
  if (it != request.name_filters.end()) {
    choice.filter_index = static_cast<std::uint8_t>(
        std::min<std::ptrdiff_t>(it - request.name_filters.begin() + 1, 255));
  }
  return choice;
}

QColor QtDialogBackend::ColorFromColorRef(std::uint32_t colorref) {
  return QColor(static_cast<int>(colorref & 0xFFu), static_cast<int>((colorref >> 8) & 0xFFu),
                static_cast<int>((colorref >> 16) & 0xFFu));
}

std::uint32_t QtDialogBackend::ColorRefFromColor(const QColor& color) {
  const QRgb rgb = color.rgb();
  return static_cast<std::uint32_t>(qRed(rgb)) | static_cast<std::uint32_t>(qGreen(rgb)) << 8 |
         static_cast<std::uint32_t>(qBlue(rgb)) << 16;
}

std::optional<FileChoice> QtDialogBackend::OpenFile(const FileRequest& request, DialogOwner) {
  return RunFileDialog(request, false);
}

std::optional<FileChoice> QtDialogBackend::SaveFile(const FileRequest& request, DialogOwner) {
  return RunFileDialog(request, true);
}

std::unique_ptr<QColorDialog> QtDialogBackend::MakeColorDialog(const ColorRequest& request,
                                                               QWidget* owner) {
  const int count = std::min(QColorDialog::customCount(), static_cast<int>(request.custom.size()));
  for (int i = 0; i < count; ++i) {
    QColorDialog::setCustomColor(i, ColorFromColorRef(request.custom[static_cast<std::size_t>(i)]));
  }
  auto dialog = std::make_unique<QColorDialog>(owner);
  dialog->setCurrentColor(ColorFromColorRef(request.initial));
  return dialog;
}

std::optional<ColorChoice> QtDialogBackend::GetColor(const ColorRequest& request,
                                                     DialogOwner owner) {
  std::unique_ptr<QColorDialog> dialog =
      RunModal(MakeColorDialog(request, static_cast<QWidget*>(owner)));
  if (!dialog) return std::nullopt;
  return ColorChoice{ColorRefFromColor(dialog->selectedColor())};
}

QFont QtDialogBackend::FontFromRequest(const FontRequest& request) {
  QFont font;
  if (!request.face_name.empty()) font.setFamily(FromUtf8(request.face_name));
  if (request.point_size_tenths > 0) font.setPointSizeF(request.point_size_tenths / 10.0);
  font.setWeight(static_cast<QFont::Weight>(std::clamp(request.weight, 1, 1000)));
  font.setItalic(request.italic != 0);
  return font;
}

std::unique_ptr<QFontDialog> QtDialogBackend::MakeFontDialog(const FontRequest& request,
                                                             QWidget* owner) {
  auto dialog = std::make_unique<QFontDialog>(owner);
  dialog->setCurrentFont(FontFromRequest(request));
  return dialog;
}

FontChoice QtDialogBackend::ReadFontChoice(const QFont& font, const FontRequest& request) {
  FontChoice choice;
  choice.face_name = FaceNameField(ToUtf8(font.family()));
  double points = font.pointSizeF();
  if (points <= 0 && font.pixelSize() > 0) points = font.pixelSize() * 72.0 / 96.0;
  if (points > 0) {
    choice.point_size_tenths =
        static_cast<std::int32_t>(std::lround(std::min(points * 10.0, 2.0e9)));
  }
  choice.weight = font.weight();
  if (font.italic()) {
    choice.italic = request.italic != 0 ? request.italic : std::uint8_t{255};
  }
  choice.charset = request.charset;
  return choice;
}

std::optional<FontChoice> QtDialogBackend::GetFont(const FontRequest& request, DialogOwner owner) {
  std::unique_ptr<QFontDialog> dialog =
      RunModal(MakeFontDialog(request, static_cast<QWidget*>(owner)));
  if (!dialog) return std::nullopt;
  return ReadFontChoice(dialog->selectedFont(), request);
}

}  // namespace pelkar
