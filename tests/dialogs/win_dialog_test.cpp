#include "dialogs/win_dialog.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace pelkar {
namespace {

using namespace std::string_literals;

// Answers each dialog with the next queued choice (nothing = cancel) and records requests.
class FakeBackend : public DialogBackend {
 public:
  std::optional<FileChoice> file_answer;
  std::optional<ColorChoice> color_answer;
  std::optional<FontChoice> font_answer;

  std::vector<FileRequest> open_requests, save_requests;
  std::vector<ColorRequest> color_requests;
  std::vector<FontRequest> font_requests;
  std::vector<DialogOwner> owners;

  std::optional<FileChoice> OpenFile(const FileRequest& r, DialogOwner owner) override {
    open_requests.push_back(r);
    owners.push_back(owner);
    return file_answer;
  }
  std::optional<FileChoice> SaveFile(const FileRequest& r, DialogOwner owner) override {
    save_requests.push_back(r);
    owners.push_back(owner);
    return file_answer;
  }
  std::optional<ColorChoice> GetColor(const ColorRequest& r, DialogOwner owner) override {
    color_requests.push_back(r);
    owners.push_back(owner);
    return color_answer;
  }
  std::optional<FontChoice> GetFont(const FontRequest& r, DialogOwner owner) override {
    font_requests.push_back(r);
    owners.push_back(owner);
    return font_answer;
  }
};

class WinDialogTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> fake = std::make_shared<FakeBackend>();
  WinDialog dlg{fake};
};

TEST_F(WinDialogTest, NewObjectAndStoredForms) {
  EXPECT_EQ(dlg.Filter(), "");
  EXPECT_EQ(dlg.FilterIndex(), 0);
  EXPECT_EQ(dlg.Title(), "");
  EXPECT_EQ(dlg.Size(), 0);
  dlg.Filter("*.bin|*.bin");
  EXPECT_EQ(dlg.StoredFilter(), "*.bin\0*.bin\0"s);
  EXPECT_EQ(dlg.Filter(), "*.bin|*.bin|");
  dlg.Title("Save image");
  EXPECT_EQ(dlg.Title(), "Save image\0"s);
}

TEST_F(WinDialogTest, OpenFileSendsFilterAndDirAndSetsThreeProperties) {
  dlg.OpenFile();  // never-set Filter: no list
  ASSERT_EQ(fake->open_requests.size(), 1u);
  EXPECT_TRUE(fake->open_requests[0].name_filters.empty());

  dlg.Filter("*.hex|*.hex");
  dlg.InitDir("/work");
  dlg.Title("Caption");
  fake->file_answer = FileChoice{"/work/fw.hex", 1, "fw.hex"};
  dlg.OpenFile();
  const FileRequest& r = fake->open_requests.at(1);
  EXPECT_EQ(r.name_filters, std::vector<std::string>{"*.hex (*.hex)"});
  EXPECT_EQ(r.filter_list, "*.hex\0*.hex\0"s);
  EXPECT_EQ(r.initial_dir, "/work");
  EXPECT_EQ(r.caption, "");  // the open dialog keeps its own caption
  EXPECT_EQ(r.default_suffix, "");
  EXPECT_EQ(dlg.FileName(), "/work/fw.hex");
  EXPECT_EQ(dlg.FilterIndex(), 1);
  EXPECT_EQ(dlg.Title(), "fw.hex");  // no NUL
}

TEST_F(WinDialogTest, CancelledFileDialogsChangeNothing) {
  dlg.Filter("A|*.a|B|*.b");
  fake->file_answer = FileChoice{"/d/first.b", 2, "first.b"};
  dlg.OpenFile();
  fake->file_answer.reset();
  dlg.OpenFile();
  EXPECT_EQ(dlg.FileName(), "/d/first.b");
  EXPECT_EQ(dlg.FilterIndex(), 2);
  EXPECT_EQ(dlg.Title(), "first.b");
  dlg.Title("Keep");
  dlg.FileName("");
  dlg.SaveFile();
  EXPECT_EQ(dlg.FileName(), "");  // the caller's way to see a cancel
  EXPECT_EQ(dlg.FilterIndex(), 2);
  EXPECT_EQ(dlg.Title(), "Keep\0"s);
}

TEST_F(WinDialogTest, SaveFileUsesTitleAsCaptionAndKeepsIt) {
  dlg.SaveFile();  // never-set Filter: no list, no extension, default caption
  EXPECT_TRUE(fake->save_requests.at(0).name_filters.empty());
  EXPECT_EQ(fake->save_requests.at(0).default_suffix, "");
  EXPECT_EQ(fake->save_requests.at(0).caption, "");

  dlg.Filter("*.bin|*.bin");
  dlg.Title("Save image");
  fake->file_answer = FileChoice{"/out/new.bin", 1, "new.bin"};
  dlg.SaveFile();
  const FileRequest& r = fake->save_requests.at(1);
  EXPECT_EQ(r.name_filters, std::vector<std::string>{"*.bin (*.bin)"});
  EXPECT_EQ(r.caption, "Save image");
  EXPECT_EQ(r.default_suffix, "bin");
  EXPECT_EQ(dlg.FileName(), "/out/new.bin");
  EXPECT_EQ(dlg.FilterIndex(), 1);
  EXPECT_EQ(dlg.Title(), "Save image\0"s);

  dlg.OpenFile();  // Title's other role: the chosen name becomes the next caption
  dlg.SaveFile();
  EXPECT_EQ(fake->save_requests.at(2).caption, "new.bin");
}

TEST_F(WinDialogTest, EveryDialogGoesToTheOwner) {
  int window = 0;
  dlg.Owner(&window);
  dlg.OpenFile();
  dlg.SaveFile();
  dlg.GetColor();
  dlg.GetFont();
  EXPECT_EQ(fake->owners, std::vector<DialogOwner>(4, &window));
}

TEST_F(WinDialogTest, GetColorStartsOnColorWithBlackCustomColoursEachTime) {
  int window = 0;
  dlg.Owner(&window);
  dlg.Color(0x00332211);
  fake->color_answer = ColorChoice{0x00ABCDEF};
  dlg.GetColor();
  EXPECT_EQ(dlg.Color(), 0x00ABCDEF);
  fake->color_answer.reset();
  dlg.Owner(nullptr);
  dlg.GetColor();
  EXPECT_EQ(dlg.Color(), 0x00ABCDEF);
  ASSERT_EQ(fake->color_requests.size(), 2u);
  EXPECT_EQ(fake->color_requests[0].initial, 0x00332211u);
  for (const ColorRequest& r : fake->color_requests) {
    for (std::uint32_t c : r.custom)
      EXPECT_EQ(c, 0u);
  }
  EXPECT_NE(fake->owners[0], nullptr);
  EXPECT_EQ(fake->owners[1], nullptr);
}

TEST_F(WinDialogTest, GetFontRequestFromProperties) {
  dlg.GetFont();  // new object: height 0, weight 400, no face, size 0
  const FontRequest& a = fake->font_requests.at(0);
  EXPECT_EQ(std::tie(a.height, a.point_size_tenths, a.weight, a.italic, a.charset),
            std::make_tuple(0, 0, 400, std::uint8_t{0}, std::uint8_t{0}));
  EXPECT_EQ(a.face_name, "");

  dlg.Size(12);
  dlg.Bold(1);  // only 255 is bold
  dlg.Italic(3);
  dlg.CharSet(238);
  dlg.FontName(std::string(31, 'n') + "xyz");
  dlg.GetFont();
  const FontRequest& b = fake->font_requests.at(1);
  EXPECT_EQ(std::tie(b.height, b.point_size_tenths, b.weight, b.italic, b.charset),
            std::make_tuple(16, 120, 400, std::uint8_t{3}, std::uint8_t{238}));
  EXPECT_EQ(b.face_name, std::string(31, 'n'));
  EXPECT_EQ(dlg.FontName(), std::string(31, 'n') + "xyz");  // the property is not cut
}

TEST_F(WinDialogTest, GetFontAnswerSetsFiveFontPropertiesNeverColor) {
  dlg.Color(0x00010203);
  fake->font_answer = FontChoice{"Mono", 115, 600, 255, 7};
  dlg.GetFont();
  EXPECT_EQ(dlg.FontName(), "Mono");
  EXPECT_EQ(dlg.Size(), 12);
  EXPECT_EQ(dlg.CharSet(), 7);
  EXPECT_EQ(dlg.Bold(), 0);
  EXPECT_EQ(dlg.Italic(), 255);
  fake->font_answer = FontChoice{"Sans", 105, 700, 0, 0};
  dlg.GetFont();
  EXPECT_EQ(dlg.Size(), 10);
  EXPECT_EQ(dlg.Bold(), 255);
  EXPECT_EQ(dlg.Italic(), 0);
  fake->font_answer.reset();
  dlg.GetFont();  // cancel
  EXPECT_EQ(dlg.FontName(), "Sans");
  EXPECT_EQ(dlg.Size(), 10);
  EXPECT_EQ(dlg.Bold(), 255);
  EXPECT_EQ(dlg.Color(), 0x00010203);
}

TEST_F(WinDialogTest, GetFontRefusesUnusableSizeOrCharSetWithoutShowing) {
  for (std::int32_t size : {22369622, -22369622}) {
    dlg.Size(size);
    EXPECT_THROW(dlg.GetFont(), std::out_of_range) << size;
  }
  dlg.Size(22369621);  // the largest that fits
  EXPECT_NO_THROW(dlg.GetFont());
  for (std::int32_t charset : {256, -1}) {
    dlg.CharSet(charset);
    EXPECT_THROW(dlg.GetFont(), std::out_of_range) << charset;
  }
  EXPECT_EQ(fake->font_requests.size(), 1u);
}

}  // namespace
}  // namespace pelkar
