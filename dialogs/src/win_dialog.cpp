#include "dialogs/win_dialog.h"

#include <stdexcept>

#include "dialogs/dialog_conversions.h"

namespace pelkar {

WinDialog::WinDialog() : WinDialog(nullptr) {}

WinDialog::WinDialog(std::shared_ptr<DialogBackend> backend)
    : backend_(backend ? std::move(backend) : MakeSystemDialogBackend()) {}

std::string WinDialog::Filter() const {
  return ReadFilter(filter_);
}

void WinDialog::Filter(std::string_view value) {
  filter_ = StoreFilter(value);
}

void WinDialog::OpenFile() {
  FileRequest request;
  request.filter_list = filter_;
  request.name_filters = QtNameFilters(filter_);
  request.initial_dir = init_dir_;
  const std::optional<FileChoice> choice = backend_->OpenFile(request, owner_);
  if (!choice) return;
  file_name_ = choice->path;
  filter_index_ = choice->filter_index;
  title_ = choice->file_title;
}

void WinDialog::SaveFile() {
  FileRequest request;
  request.filter_list = filter_;
  request.name_filters = QtNameFilters(filter_);
  request.initial_dir = init_dir_;
  request.caption = UpToNul(title_);
  request.default_suffix = DefaultExtension(filter_);
  const std::optional<FileChoice> choice = backend_->SaveFile(request, owner_);
  if (!choice) return;
  file_name_ = choice->path;
  filter_index_ = choice->filter_index;
}

void WinDialog::GetColor() {
  ColorRequest request;
  request.initial = static_cast<std::uint32_t>(color_);
  request.custom.fill(0);  // made anew each time: colours defined in a dialog are not kept
  const std::optional<ColorChoice> choice = backend_->GetColor(request, owner_);
  if (!choice) return;
  color_ = static_cast<std::int32_t>(choice->color & 0x00FFFFFFu);
}

void WinDialog::GetFont() {
  const std::optional<std::int32_t> height = FontHeightFromSize(size_);
  const std::optional<std::int32_t> tenths = PointSizeTenthsFromSize(size_);
  if (!height || !tenths) {
    throw std::out_of_range("WinDialog::GetFont: Size " + std::to_string(size_) +
                            " is too large (Size * 96 must fit in 32 bits)");
  }
  const std::optional<std::uint8_t> charset = CharSetByte(charset_);
  if (!charset) {
    throw std::out_of_range("WinDialog::GetFont: CharSet " + std::to_string(charset_) +
                            " is outside 0..255");
  }
  FontRequest request;
  request.height = *height;
  request.point_size_tenths = *tenths;
  request.weight = WeightFromBold(bold_);
  request.italic = italic_;
  request.charset = *charset;
  request.face_name = FaceNameField(font_name_);
  const std::optional<FontChoice> choice = backend_->GetFont(request, owner_);
  if (!choice) return;
  font_name_ = FaceNameField(choice->face_name);
  size_ = SizeFromPointSizeTenths(choice->point_size_tenths);
  charset_ = choice->charset;
  bold_ = BoldFromWeight(choice->weight);
  italic_ = choice->italic;
}

}  // namespace pelkar
