// DialogBackend over QFileDialog, QColorDialog and QFontDialog. Needs a QApplication when a
// dialog is shown, not when constructed. The Make* functions build the dialog exactly as it
// would be shown, and the Read* functions take the answer from it, so both can be checked
// without showing anything.
#pragma once

#include <cstdint>
#include <memory>

#include <QColor>
#include <QFont>

#include "dialogs/dialog_backend.h"

class QColorDialog;
class QFileDialog;
class QFontDialog;

namespace pelkar {

class QtDialogBackend final : public DialogBackend {
 public:
  // owner is a QWidget*. The file dialogs take none: they are application-modal.
  std::optional<FileChoice> OpenFile(const FileRequest& request, DialogOwner owner) override;
  std::optional<FileChoice> SaveFile(const FileRequest& request, DialogOwner owner) override;
  std::optional<ColorChoice> GetColor(const ColorRequest& request, DialogOwner owner) override;
  std::optional<FontChoice> GetFont(const FontRequest& request, DialogOwner owner) override;

  // COLORREF is 0x00BBGGRR: red in the low byte. The high byte is ignored on the way in and
  // is 0 on the way out; alpha is ignored.
  static QColor ColorFromColorRef(std::uint32_t colorref);
  static std::uint32_t ColorRefFromColor(const QColor& color);

  // Open: any name may be typed, existing or not (the caller checks the file). Save: asks
  // before replacing an existing file. Neither changes the process's current folder.
  static std::unique_ptr<QFileDialog> MakeFileDialog(const FileRequest& request, bool save);
  // The dialog's current choice; nothing when no file is selected.
  static std::optional<FileChoice> ReadFileChoice(const QFileDialog& dialog,
                                                  const FileRequest& request);

  // Also sets Qt's (application-wide) custom colours to request.custom.
  static std::unique_ptr<QColorDialog> MakeColorDialog(const ColorRequest& request, QWidget* owner);

  // The requested font as a QFont: the face when given, the point size when positive,
  // the weight (clamped to 1..1000) and italic. The character set has no QFont
  // counterpart; it is handed back unchanged by ReadFontChoice.
  static QFont FontFromRequest(const FontRequest& request);
  static std::unique_ptr<QFontDialog> MakeFontDialog(const FontRequest& request, QWidget* owner);
  // Face cut to 31 bytes; size from the point size, or from the pixel size at 96 dpi;
  // italic keeps the requested nonzero value when still italic, else 255 / 0.
  static FontChoice ReadFontChoice(const QFont& font, const FontRequest& request);
};

}  // namespace pelkar
