// The Qt face with its message boxes recorded instead of shown.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/qt_form1.h"
#include "app_test_support.h"

namespace pelkar::test {

class RecordingQtForm1 final : public QtForm1 {
 public:
  using QtForm1::QtForm1;
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    shown.push_back({text, icon});
    if (on_show) on_show();
  }
  std::vector<Shown> shown;
  std::function<void()> on_show;
};

}  // namespace pelkar::test
