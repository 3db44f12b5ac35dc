// WinDialog: a property object around the open, save, colour and font dialogs. The caller
// sets properties, calls a method (which shows a modal dialog), and reads the outcome back
// from the properties; a cancelled dialog changes nothing and is not reported otherwise.
// To tell a cancel from a choice, set FileName("") first and test it afterwards.
//
// Shape: each property is a getter X() and a setter X(value) of the same name; FilterIndex
// has no setter. Text is UTF-8 std::string on every system.
// A new object has every string empty and every number 0. GUI thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "dialogs/dialog_backend.h"

namespace pelkar {

class WinDialog {
 public:
  // Shows the system's dialogs (MakeSystemDialogBackend).
  WinDialog();
  // Shows the given backend's dialogs; a null backend means the system's.
  explicit WinDialog(std::shared_ptr<DialogBackend> backend);

  // --- Colour and font side -------------------------------------------------------------

  // COLORREF 0x00BBGGRR (red in the low byte). GetColor's start value and result.
  std::int32_t Color() const noexcept { return color_; }
  void Color(std::int32_t value) noexcept { color_ = value; }
  // Character set number; GetFont refuses values outside 0..255 (see GetFont).
  std::int32_t CharSet() const noexcept { return charset_; }
  void CharSet(std::int32_t value) noexcept { charset_ = value; }
  // 255 means bold; any other value means normal weight.
  std::uint8_t Bold() const noexcept { return bold_; }
  void Bold(std::uint8_t value) noexcept { bold_ = value; }
  // 0 upright, anything else italic; passed through unchanged.
  std::uint8_t Italic() const noexcept { return italic_; }
  void Italic(std::uint8_t value) noexcept { italic_ = value; }
  // Font size in whole points.
  std::int32_t Size() const noexcept { return size_; }
  void Size(std::int32_t value) noexcept { size_ = value; }
  // Face name; the font dialog gets at most its first 31 bytes.
  const std::string& FontName() const noexcept { return font_name_; }
  void FontName(std::string value) { font_name_ = std::move(value); }

  // --- File side ------------------------------------------------------------------------

  // Full path of the last successful OpenFile/SaveFile, or what was last set. Never offered
  // to the dialogs as a starting name.
  const std::string& FileName() const noexcept { return file_name_; }
  void FileName(std::string value) { file_name_ = std::move(value); }
  // 0 until a dialog succeeds, then the 1-based filter entry selected when it closed.
  std::uint8_t FilterIndex() const noexcept { return filter_index_; }
  // Starting folder of both file dialogs; empty: the platform's default.
  const std::string& InitDir() const noexcept { return init_dir_; }
  void InitDir(std::string value) { init_dir_ = std::move(value); }
  // Set stores the text plus one NUL, and reads back with it ("Save" -> "Save\0"). SaveFile
  // shows it (up to its first NUL) as the caption; OpenFile overwrites it with the chosen
  // file's name without folder (no NUL).
  const std::string& Title() const noexcept { return title_; }
  void Title(const std::string& value) { title_ = value + '\0'; }
  // Description|pattern pairs, e.g. "*.bin|*.bin" or "Images|*.bin;*.img|All|*". Stored
  // with each "|" as NUL plus one NUL; read back with each NUL as "|", so "*.bin|*.bin"
  // reads "*.bin|*.bin|". Never set: "" and the dialogs get no filter list.
  std::string Filter() const;
  void Filter(std::string_view value);
  // The stored form itself ("*.bin\0*.bin\0").
  const std::string& StoredFilter() const noexcept { return filter_; }

  // --- Methods --------------------------------------------------------------------------

  // Open dialog with the filter list and InitDir, default caption, starting with no file
  // name, owned by Owner(). On success sets FileName, FilterIndex and Title (file name
  // without folder).
  void OpenFile();
  // Save dialog with the filter list, InitDir, Title as caption and the first entry's
  // extension as default suffix ("bin" for "*.bin|*.bin"; none when Filter has fewer than
  // two fields or was never set), owned by Owner(); it asks before replacing a file. On
  // success sets FileName and FilterIndex, not Title.
  void SaveFile();
  // Colour dialog on Color, with 16 black custom colours every time, owned by Owner(). On
  // success sets Color.
  void GetColor();
  // Font dialog on FontName, Size, Bold, Italic and CharSet, owned by Owner(). On success
  // sets FontName (<= 31 bytes), Size (tenths rounded half to even), CharSet, Bold (255 for
  // weight 700, else 0) and Italic; never Color. Throws std::out_of_range, showing nothing
  // and changing nothing, when CharSet is outside 0..255 or Size * 96 leaves 32 bits.
  void GetFont();

  // Window that owns the dialogs (the main window); null: none. The owner must outlive this
  // object or be reset to null before it goes.
  DialogOwner Owner() const noexcept { return owner_; }
  void Owner(DialogOwner owner) noexcept { owner_ = owner; }

 private:
  std::shared_ptr<DialogBackend> backend_;
  DialogOwner owner_ = nullptr;
  std::string filter_;
  std::string init_dir_;
  std::string title_;
  std::uint8_t filter_index_ = 0;
  std::string file_name_;
  std::uint8_t bold_ = 0;
  std::uint8_t italic_ = 0;
  std::string font_name_;
  std::int32_t charset_ = 0;
  std::int32_t size_ = 0;
  std::int32_t color_ = 0;
};

}  // namespace pelkar
