// What comdlg32's dialogs are given, and how their answers are read back.
#include "comdlg_records_windows.h"

#include <cwchar>
#include <string>

#include <gtest/gtest.h>

namespace pelkar {
namespace {

using namespace std::string_literals;

TEST(ComDlgFileRecord, OpenAndSaveRecords) {
  FileRequest request;
  request.filter_list = "*.bin\0*.bin\0"s;
  request.initial_dir = "C:\\work";
  request.caption = "Save image";
  request.default_suffix = "bin";
  HWND owner = reinterpret_cast<HWND>(0x1234);

  FileRecord open(request, owner, false);
  const OPENFILENAMEW& o = open.record();
  EXPECT_EQ(o.lStructSize, sizeof(OPENFILENAMEW));
  EXPECT_EQ(o.hwndOwner, owner);
  // Both entries' fields, then the list's closing NUL.
  EXPECT_EQ(std::wstring(o.lpstrFilter, 13), L"*.bin\0*.bin\0\0"s);
  EXPECT_EQ(o.nFilterIndex, 0u);
  EXPECT_EQ(o.lpstrFile[0], L'\0');  // no starting name, not a row of spaces
  EXPECT_GE(o.nMaxFile, 32768u);
  EXPECT_EQ(o.lpstrFileTitle[0], L'\0');
  EXPECT_STREQ(o.lpstrInitialDir, L"C:\\work");
  EXPECT_EQ(o.lpstrTitle, nullptr);  // the open dialog keeps its own caption
  EXPECT_EQ(o.lpstrDefExt, nullptr);
  EXPECT_EQ(o.Flags & (OFN_OVERWRITEPROMPT | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR), 0u);

  FileRecord save(request, owner, true);
  const OPENFILENAMEW& s = save.record();
  EXPECT_EQ(s.nFilterIndex, 1u);
  EXPECT_STREQ(s.lpstrTitle, L"Save image");
  EXPECT_STREQ(s.lpstrDefExt, L"bin");
  EXPECT_NE(s.Flags & OFN_OVERWRITEPROMPT, 0u);

  FileRecord bare(FileRequest{}, nullptr, false);  // never-set Filter, no InitDir
  EXPECT_EQ(bare.record().lpstrFilter, nullptr);
  EXPECT_EQ(bare.record().lpstrInitialDir, nullptr);
  EXPECT_EQ(bare.record().hwndOwner, nullptr);
}

TEST(ComDlgFileRecord, AnswerReadsBackAsUtf8) {
  FileRecord open(FileRequest{}, nullptr, false);
  OPENFILENAMEW& o = open.record();
  std::wcscpy(o.lpstrFile, L"C:\\m\u0171hely\\F\u0151program.hex");
  std::wcscpy(o.lpstrFileTitle, L"F\u0151program.hex");
  o.nFilterIndex = 2;
  const FileChoice choice = open.Read();
  EXPECT_EQ(choice.path, "C:\\m\xC5\xB1hely\\F\xC5\x91program.hex");
  EXPECT_EQ(choice.file_title, "F\xC5\x91program.hex");
  EXPECT_EQ(choice.filter_index, 2);
}

TEST(ComDlgColorRecord, OpensOnColourWithTheCustomColours) {
  ColorRequest request;
  request.initial = 0xFF332211;  // the high byte is no colour
  ColorRecord record(request, nullptr);
  CHOOSECOLORW& cc = record.record();
  EXPECT_EQ(cc.lStructSize, sizeof(CHOOSECOLORW));
  EXPECT_EQ(cc.rgbResult, 0x00332211u);
  EXPECT_EQ(cc.Flags, DWORD{CC_RGBINIT | CC_FULLOPEN | CC_ANYCOLOR});
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(cc.lpCustColors[i], 0u) << i;
  cc.rgbResult = 0x00ABCDEF;
  EXPECT_EQ(record.Read().color, 0x00ABCDEFu);
}

TEST(ComDlgFontRecord, LogFontFromTheRequestAndBack) {
  FontRequest request;
  request.height = 16;
  request.point_size_tenths = 120;
  request.weight = 700;
  request.italic = 3;
  request.charset = 238;
  request.face_name = "Cour" + std::string(40, 'x');
  FontRecord record(request, nullptr);
  const LOGFONTW& lf = record.font();
  EXPECT_EQ(lf.lfHeight, 16);
  EXPECT_EQ(lf.lfWeight, 700);
  EXPECT_EQ(lf.lfItalic, 3);
  EXPECT_EQ(lf.lfCharSet, 238);
  EXPECT_EQ(std::wcslen(lf.lfFaceName), 31u);
  CHOOSEFONTW& cf = record.record();
  EXPECT_EQ(cf.lStructSize, sizeof(CHOOSEFONTW));
  EXPECT_EQ(cf.lpLogFont, &lf);
  EXPECT_EQ(cf.iPointSize, 120);
  EXPECT_EQ(cf.Flags, DWORD{CF_SCREENFONTS | CF_PRINTERFONTS | CF_INITTOLOGFONTSTRUCT});
  EXPECT_EQ(cf.rgbColors, 0u);

  std::wcscpy(cf.lpLogFont->lfFaceName, L"\u0150s");
  cf.lpLogFont->lfWeight = 600;
  cf.iPointSize = 115;
  const FontChoice choice = record.Read();
  EXPECT_EQ(choice.face_name, "\xC5\x90s");
  EXPECT_EQ(choice.weight, 600);
  EXPECT_EQ(choice.point_size_tenths, 115);
  EXPECT_EQ(choice.charset, 238);
}

}  // namespace
}  // namespace pelkar
