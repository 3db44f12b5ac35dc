#include "dialogs/web_dialog_backend.h"

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/dialog_conversions.h"

// The page's script (app/web/page.js) holds the file a picker or a drop gave it, until
// the core takes it.
// JavaScript inside: clang-format would split its operators.
// clang-format off
EM_ASYNC_JS(int, js_pick_file, (const char* accept),
            { return (await Module.page.pickFile(UTF8ToString(accept))) ? 1 : 0; });
EM_JS(int, js_held_name_size, (), { return lengthBytesUTF8(Module.page.held.name); });
EM_JS(void, js_held_name, (char* out, int size),
      { stringToUTF8(Module.page.held.name, out, size); });
EM_JS(int, js_held_size, (), { return Module.page.held.bytes.length; });
EM_JS(void, js_take_held, (std::uint8_t* out), {
  HEAPU8.set(Module.page.held.bytes, out);
  Module.page.held = null;
});
EM_JS(int, js_holds_file, (), { return Module.page.held ? 1 : 0; });
// clang-format on

namespace pelkar {
namespace {}  // namespace

WebDialogBackend::WebDialogBackend(std::shared_ptr<PageFiles> files) : files_(std::move(files)) {}

std::optional<FileChoice> WebDialogBackend::PlaceHeldFile() {
  if (!js_holds_file()) return std::nullopt;
  std::string name(static_cast<std::size_t>(js_held_name_size()), '\0');
  js_held_name(name.data(), static_cast<int>(name.size()) + 1);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(js_held_size()));
  js_take_held(bytes.data());
  FileChoice choice;
  choice.path = files_->Place(name, bytes);
  choice.file_title = choice.path.substr(choice.path.find_last_of('/') + 1);
  return choice;
}

std::optional<FileChoice> WebDialogBackend::OpenFile(const FileRequest& request, DialogOwner) {
  std::optional<FileChoice> choice = std::exchange(answer_, std::nullopt);
  if (!choice) {
    if (!js_pick_file(BrowserAccept(request.filter_list).c_str())) return std::nullopt;
    choice = PlaceHeldFile();
  }
  // The picker does not tell which entry of the list was showing; it offers them all.
  if (choice && !request.name_filters.empty()) choice->filter_index = 1;
  return choice;
}

bool WebDialogBackend::AnswerNextWithHeldFile() {
  answer_ = PlaceHeldFile();
  return answer_.has_value();
}

std::optional<FileChoice> WebDialogBackend::SaveFile(const FileRequest&, DialogOwner) {
  return std::nullopt;
}
std::optional<ColorChoice> WebDialogBackend::GetColor(const ColorRequest&, DialogOwner) {
  return std::nullopt;
}
std::optional<FontChoice> WebDialogBackend::GetFont(const FontRequest&, DialogOwner) {
  return std::nullopt;
}

}  // namespace pelkar
