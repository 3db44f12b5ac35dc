// What WinDialog asks of a dialog and what a dialog answers, and the interface that shows
// them. The Qt backend shows Qt's dialogs, the comdlg32 backend the Windows common dialogs;
// tests answer in place of a person. Text is UTF-8 std::string on every system.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <memory>

namespace pelkar {

// The window that owns a dialog, as its toolkit knows it: a QWidget* for the Qt backend, an
// HWND for comdlg32. Null: no owner. Not owned; it must outlive the dialog it is given to.
using DialogOwner = void*;

// An open or save dialog. Both start with no file name and on the first filter entry.
struct FileRequest {
  std::vector<std::string> name_filters;  // Qt name filters, entry n at [n-1]; empty: none
  std::string initial_dir;                // empty: the platform's default folder
  std::string caption;                    // empty: the platform's default caption
  std::string default_suffix;             // save only: extension without "."; empty: none
  std::string filter_list;  // the same list as comdlg32 takes it, "desc\0pattern\0...\0"
};

struct FileChoice {
  std::string path;               // full path of the chosen file
  std::uint8_t filter_index = 0;  // 1-based entry selected at close; 0 when no list
  std::string file_title;         // the file's name without its folder
};

struct ColorRequest {
  std::uint32_t initial = 0;               // COLORREF 0x00BBGGRR the dialog opens on
  std::array<std::uint32_t, 16> custom{};  // custom colours offered (COLORREF each)
};

struct ColorChoice {
  std::uint32_t color = 0;  // COLORREF 0x00BBGGRR
};

// The font the dialog opens on, in the fields of a LOGFONT and its point size.
struct FontRequest {
  std::int32_t height = 0;             // cell height in pixels at 96 dpi (0: default)
  std::int32_t point_size_tenths = 0;  // size in tenths of a point (0: default)
  std::int32_t weight = 400;           // 100..900, 400 normal, 700 bold
  std::uint8_t italic = 0;             // 0 upright, anything else italic
  std::uint8_t charset = 0;            // character set number, passed through
  std::string face_name;               // at most 31 bytes; empty: default face
};

struct FontChoice {
  std::string face_name;               // at most 31 bytes
  std::int32_t point_size_tenths = 0;  // tenths of a point
  std::int32_t weight = 400;
  std::uint8_t italic = 0;
  std::uint8_t charset = 0;
};

// Shows one modal dialog per call and returns the choice, or nothing when the dialog was
// cancelled or could not be shown (the two are one case). Called on the GUI thread only.
class DialogBackend {
 public:
  virtual ~DialogBackend() = default;

  // Every dialog is modal to owner: the main window takes no input while one is open, so
  // nothing changes under the choice being made. (Qt's file dialogs reach the same with no
  // owner, being application-modal.)
  virtual std::optional<FileChoice> OpenFile(const FileRequest& request, DialogOwner owner) = 0;
  virtual std::optional<FileChoice> SaveFile(const FileRequest& request, DialogOwner owner) = 0;
  virtual std::optional<ColorChoice> GetColor(const ColorRequest& request, DialogOwner owner) = 0;
  virtual std::optional<FontChoice> GetFont(const FontRequest& request, DialogOwner owner) = 0;
};

// The system's own dialogs: Qt's on Linux, comdlg32's on Windows.
std::shared_ptr<DialogBackend> MakeSystemDialogBackend();

}  // namespace pelkar
