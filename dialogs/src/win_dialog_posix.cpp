#include "dialogs/dialog_backend.h"
#include "dialogs/qt_dialog_backend.h"

namespace pelkar {

std::shared_ptr<DialogBackend> MakeSystemDialogBackend() {
  return std::make_shared<QtDialogBackend>();
}

}  // namespace pelkar
