// WinDialog's dialogs on Windows: comdlg32's open, save, colour and font dialogs, through the
// W functions so that any file or face name survives.
#include <windows.h>

#include <commdlg.h>

#include <algorithm>
#include <cwchar>

#include "comdlg_records_windows.h"
#include "dialogs/dialog_backend.h"
#include "dialogs/dialog_conversions.h"
#include "platform/utf16_windows.h"

namespace pelkar {
namespace {

const wchar_t* OrNull(const std::wstring& text) {
  return text.empty() ? nullptr : text.c_str();
}

std::string UpToNulUtf8(const wchar_t* text, std::size_t capacity) {
  return Utf8(std::wstring_view(text, ::wcsnlen(text, capacity)));
}

class ComDlgBackend final : public DialogBackend {
 public:
  std::optional<FileChoice> OpenFile(const FileRequest& request, DialogOwner owner) override {
    FileRecord record(request, static_cast<HWND>(owner), false);
    if (!::GetOpenFileNameW(&record.record())) return std::nullopt;
    return record.Read();
  }
  std::optional<FileChoice> SaveFile(const FileRequest& request, DialogOwner owner) override {
    FileRecord record(request, static_cast<HWND>(owner), true);
    if (!::GetSaveFileNameW(&record.record())) return std::nullopt;
    return record.Read();
  }
  std::optional<ColorChoice> GetColor(const ColorRequest& request, DialogOwner owner) override {
    ColorRecord record(request, static_cast<HWND>(owner));
    if (!::ChooseColorW(&record.record())) return std::nullopt;
    return record.Read();
  }
  std::optional<FontChoice> GetFont(const FontRequest& request, DialogOwner owner) override {
    FontRecord record(request, static_cast<HWND>(owner));
    if (!::ChooseFontW(&record.record())) return std::nullopt;
    return record.Read();
  }
};

}  // namespace

FileRecord::FileRecord(const FileRequest& request, HWND owner, bool save)
    : filter_(Utf16(request.filter_list)),
      init_dir_(Utf16(request.initial_dir)),
      caption_(save ? Utf16(request.caption) : std::wstring()),
      default_ext_(save ? Utf16(request.default_suffix) : std::wstring()),
      file_(kFileChars, L'\0'),
      file_title_(MAX_PATH, L'\0') {
  ofn_.lStructSize = sizeof ofn_;
  ofn_.hwndOwner = owner;
  ofn_.hInstance = ::GetModuleHandleW(nullptr);
  // The stored list ends in NUL; the string's own terminator makes it double.
  ofn_.lpstrFilter = OrNull(filter_);
  ofn_.nFilterIndex = save ? 1 : 0;
  ofn_.lpstrFile = file_.data();
  ofn_.nMaxFile = static_cast<DWORD>(file_.size());
  ofn_.lpstrFileTitle = file_title_.data();
  ofn_.nMaxFileTitle = static_cast<DWORD>(file_title_.size());
  ofn_.lpstrInitialDir = OrNull(init_dir_);
  ofn_.lpstrTitle = OrNull(caption_);
  // The open dialog takes any name, existing or not: the caller reads the file and says
  // what is wrong with it. The save dialog asks before replacing a file.
  ofn_.Flags = OFN_EXPLORER | (save ? OFN_OVERWRITEPROMPT : 0);
  ofn_.lpstrDefExt = OrNull(default_ext_);
}

FileChoice FileRecord::Read() const {
  FileChoice choice;
  choice.path = UpToNulUtf8(file_.data(), file_.size());
  choice.file_title = UpToNulUtf8(file_title_.data(), file_title_.size());
  choice.filter_index = static_cast<std::uint8_t>(std::min<DWORD>(ofn_.nFilterIndex, 255));
  return choice;
}

ColorRecord::ColorRecord(const ColorRequest& request, HWND owner) {
  std::copy(request.custom.begin(), request.custom.end(), custom_.begin());
  cc_.lStructSize = sizeof cc_;
  cc_.hwndOwner = owner;
  cc_.rgbResult = request.initial & 0x00FFFFFFu;
  cc_.lpCustColors = custom_.data();
  cc_.Flags = CC_RGBINIT | CC_FULLOPEN | CC_ANYCOLOR;
}

FontRecord::FontRecord(const FontRequest& request, HWND owner) : owner_(owner) {
  lf_.lfHeight = request.height;
  lf_.lfWeight = request.weight;
  lf_.lfItalic = request.italic;
  lf_.lfCharSet = request.charset;
  const std::wstring face = Utf16(FaceNameField(request.face_name));
  std::copy_n(face.begin(), std::min<std::size_t>(face.size(), LF_FACESIZE - 1), lf_.lfFaceName);
  cf_.lStructSize = sizeof cf_;
  cf_.hwndOwner = owner;
  cf_.hDC = ::GetDC(owner);
  cf_.lpLogFont = &lf_;
  cf_.iPointSize = request.point_size_tenths;
  cf_.Flags = CF_SCREENFONTS | CF_PRINTERFONTS | CF_INITTOLOGFONTSTRUCT;
  cf_.rgbColors = 0;
}

FontRecord::~FontRecord() {
  if (cf_.hDC != nullptr) ::ReleaseDC(owner_, cf_.hDC);
}

FontChoice FontRecord::Read() const {
  FontChoice choice;
  choice.face_name = FaceNameField(UpToNulUtf8(lf_.lfFaceName, LF_FACESIZE));
  choice.point_size_tenths = cf_.iPointSize;
  choice.weight = lf_.lfWeight;
  choice.italic = lf_.lfItalic;
  choice.charset = lf_.lfCharSet;
  return choice;
}

std::shared_ptr<DialogBackend> MakeSystemDialogBackend() {
  return std::make_shared<ComDlgBackend>();
}

}  // namespace pelkar
