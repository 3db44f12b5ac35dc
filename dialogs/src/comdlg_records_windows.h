// The records that comdlg32's dialogs are given, filled from a request and read back, apart
// from showing them so that what is sent can be checked without a person.
#pragma once

#include <windows.h>

#include <commdlg.h>

#include <array>
#include <optional>
#include <string>

#include "dialogs/dialog_backend.h"

namespace pelkar {

// OPENFILENAMEW and the buffers it points into. Not copyable: the record points into itself.
class FileRecord {
 public:
  // The file buffer starts empty (a buffer of spaces would come back as a name of spaces)
  // and holds any path Windows can make.
  static constexpr std::size_t kFileChars = 32768;

  FileRecord(const FileRequest& request, HWND owner, bool save);
  FileRecord(const FileRecord&) = delete;
  FileRecord& operator=(const FileRecord&) = delete;

  OPENFILENAMEW& record() noexcept { return ofn_; }
  // The choice after the dialog returned nonzero.
  FileChoice Read() const;

 private:
  OPENFILENAMEW ofn_{};
  std::wstring filter_, init_dir_, caption_, default_ext_;
  std::wstring file_, file_title_;
};

class ColorRecord {
 public:
  ColorRecord(const ColorRequest& request, HWND owner);
  ColorRecord(const ColorRecord&) = delete;
  ColorRecord& operator=(const ColorRecord&) = delete;

  CHOOSECOLORW& record() noexcept { return cc_; }
  ColorChoice Read() const { return ColorChoice{cc_.rgbResult & 0x00FFFFFFu}; }

 private:
  CHOOSECOLORW cc_{};
  std::array<COLORREF, 16> custom_{};
};

// CHOOSEFONTW and its LOGFONTW. hDC is the owner's device context, released with the record.
class FontRecord {
 public:
  FontRecord(const FontRequest& request, HWND owner);
  FontRecord(const FontRecord&) = delete;
  FontRecord& operator=(const FontRecord&) = delete;
  ~FontRecord();

  CHOOSEFONTW& record() noexcept { return cf_; }
  const LOGFONTW& font() const noexcept { return lf_; }
  FontChoice Read() const;

 private:
  CHOOSEFONTW cf_{};
  LOGFONTW lf_{};
  HWND owner_ = nullptr;
};

}  // namespace pelkar
