// DialogBackend in a web page: the open dialog is the browser's file picker, and the chosen
// file is placed among the PageFiles, whose path the caller then reads. The page has no save,
// colour or font dialog; those answer as cancelled. The picker is asynchronous in the browser;
// the calling code is suspended meanwhile (Asyncify) so that OpenFile returns with the choice,
// as it does on every other system. Only in the Emscripten build.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dialogs/dialog_backend.h"
#include "dialogs/page_files.h"

namespace pelkar {

class WebDialogBackend final : public DialogBackend {
 public:
  explicit WebDialogBackend(std::shared_ptr<PageFiles> files);

  std::optional<FileChoice> OpenFile(const FileRequest& request, DialogOwner owner) override;
  std::optional<FileChoice> SaveFile(const FileRequest& request, DialogOwner owner) override;
  std::optional<ColorChoice> GetColor(const ColorRequest& request, DialogOwner owner) override;
  std::optional<FontChoice> GetFont(const FontRequest& request, DialogOwner owner) override;

  // The file the page holds for the core now (the one just dropped on it), placed among the
  // PageFiles; the next OpenFile answers with it at once, showing nothing. False when the
  // page holds none.
  bool AnswerNextWithHeldFile();
  // Forgets an answer that no OpenFile took.
  void ClearAnswer() noexcept { answer_.reset(); }

 private:
  std::optional<FileChoice> PlaceHeldFile();

  std::shared_ptr<PageFiles> files_;
  std::optional<FileChoice> answer_;
};

}  // namespace pelkar
