// The page's face of Form1: the window drawn in HTML by the page's script (app/web/window.js).
// The script calls the functions below for the person's actions, one at a time and never
// while another runs; the message box and the file picker suspend the call (Asyncify) until
// they are dismissed, so Form1 sees them as modal as on the desktop. Whatever the core writes
// beside a chosen file (the encoder's image) is offered as a download before anything is
// shown about it.
#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/form1.h"
#include "dialogs/page_files.h"
#include "dialogs/web_dialog_backend.h"
#include "serial_adapters.h"

// JavaScript inside: clang-format would split its operators.
// clang-format off
EM_JS(void, js_add_port_item, (const char* caption),
      { Module.page.addPortItem(UTF8ToString(caption)); });
EM_JS(void, js_clear_port_items, (), { Module.page.clearPortItems(); });
EM_JS(void, js_set_port_ticked, (int index, int ticked),
      { Module.page.setPortTicked(index, ticked != 0); });
EM_JS(void, js_set_enabled, (const char* item, int enabled),
      { Module.page.setEnabled(UTF8ToString(item), enabled != 0); });
EM_JS(void, js_set_update_caption, (const char* caption),
      { Module.page.setUpdateCaption(UTF8ToString(caption)); });
EM_JS(void, js_show_progress, (double units, double scale),
      { Module.page.showProgress(units, scale); });
EM_ASYNC_JS(void, js_show_message, (const char* text, int icon),
            { await Module.page.showMessage(UTF8ToString(text), icon); });
EM_JS(void, js_watch_port, (int watching), { Module.page.serial.watch(watching != 0); });
EM_JS(void, js_offer_download, (const char* name, const std::uint8_t* bytes, int size),
      { Module.page.offerDownload(UTF8ToString(name), HEAPU8.slice(bytes, bytes + size)); });
// clang-format on

namespace pelkar {
namespace {

class WebFace final : public Form1Face {
 public:
  WebFace()
      : files_(std::make_shared<PageFiles>("/page-files")),
        dialogs_(std::make_shared<WebDialogBackend>(files_)) {
    Form1Parts parts;
    parts.ports = MakeSystemPortDiscovery();
    parts.channel = MakeSerialChannel();
    parts.dialogs = dialogs_;
    core_ = std::make_unique<Form1>(*this, std::move(parts));
  }

  Form1& core() { return *core_; }
  WebDialogBackend& dialogs() { return *dialogs_; }

  void OfferOutputs() {
    for (const PageFiles::Output& output : files_->TakeOutputs()) {
      js_offer_download(output.name.c_str(), output.bytes.data(),
                        static_cast<int>(output.bytes.size()));
    }
  }

  void AddPortItem(const std::string& caption) override { js_add_port_item(caption.c_str()); }
  void ClearPortItems() override { js_clear_port_items(); }
  void SetPortTicked(std::size_t index, bool ticked) override {
    js_set_port_ticked(static_cast<int>(index), ticked);
  }
  void SetSerPortEnabled(bool enabled) override { js_set_enabled("serial-port", enabled); }
  void SetLoadFileEnabled(bool enabled) override { js_set_enabled("load-file", enabled); }
  void SetUpdateEnabled(bool enabled) override { js_set_enabled("update", enabled); }
  void SetUpdateCaption(const std::string& caption) override {
    js_set_update_caption(caption.c_str());
  }
  void ShowProgress(std::int64_t units, std::int64_t scale) override {
    js_show_progress(static_cast<double>(units), static_cast<double>(scale));
  }
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    OfferOutputs();
    js_show_message(text.c_str(), static_cast<int>(icon));
  }
  void WatchPort(PortChannel&) override { js_watch_port(1); }
  void StopWatching() override { js_watch_port(0); }
  DialogOwner DialogParent() override { return nullptr; }  // the page is the only window

 private:
  std::shared_ptr<PageFiles> files_;
  std::shared_ptr<WebDialogBackend> dialogs_;
  std::unique_ptr<Form1> core_;
};

WebFace* face = nullptr;

// Runs one handler, then hands over what it wrote.
template <class Handler>
void Run(Handler handler) {
  if (face == nullptr) return;
  handler(face->core());
  face->OfferOutputs();
}

}  // namespace
}  // namespace pelkar

using pelkar::face;
using pelkar::Form1;
using pelkar::Run;

extern "C" {

EMSCRIPTEN_KEEPALIVE void pelkar_form_load() {
  if (face != nullptr) return;
  face = new pelkar::WebFace();  // lives as long as the page
  Run([](Form1& core) { core.Form_Load(); });
}
EMSCRIPTEN_KEEPALIVE void pelkar_ports_changed() {
  Run([](Form1& core) { core.Ports_Changed(); });
}
EMSCRIPTEN_KEEPALIVE void pelkar_port_click(int index) {
  Run([index](Form1& core) { core.Port_Click(index); });
}
EMSCRIPTEN_KEEPALIVE void pelkar_load_file_click() {
  Run([](Form1& core) { core.LoadFile_Click(); });
}
// A file dropped on the page loads as if "Load File" had chosen it, when "Load File" may.
EMSCRIPTEN_KEEPALIVE void pelkar_file_dropped() {
  Run([](Form1& core) {
    if (!core.LoadFileEnabled() || core.Running()) return;
    if (face->dialogs().AnswerNextWithHeldFile()) core.LoadFile_Click();
    face->dialogs().ClearAnswer();
  });
}
EMSCRIPTEN_KEEPALIVE void pelkar_update_click() {
  Run([](Form1& core) { core.Update_Click(); });
}
EMSCRIPTEN_KEEPALIVE void pelkar_command1_click() {
  Run([](Form1& core) { core.Command1_Click(); });
}
EMSCRIPTEN_KEEPALIVE void pelkar_key_press(int unit) {
  Run([unit](Form1& core) { core.Form_KeyPress(static_cast<char16_t>(unit)); });
}
// The exchange writes no file, and a box it shows offers what there is first: no look for
// outputs after every arrival, which cost more than the arrival itself.
EMSCRIPTEN_KEEPALIVE void pelkar_port_data_arrived() {
  if (face != nullptr) face->core().Port_DataArrived();
}
EMSCRIPTEN_KEEPALIVE void pelkar_form_unload() {
  Run([](Form1& core) { core.Form_Unload(); });
}

}  // extern "C"
