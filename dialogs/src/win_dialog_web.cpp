#include <memory>

#include "dialogs/dialog_backend.h"
#include "dialogs/page_files.h"
#include "dialogs/web_dialog_backend.h"

namespace pelkar {

std::shared_ptr<DialogBackend> MakeSystemDialogBackend() {
  return std::make_shared<WebDialogBackend>(std::make_shared<PageFiles>("/page-files"));
}

}  // namespace pelkar
