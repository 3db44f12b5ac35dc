// The window's message boxes, behind one small interface so tests can record them instead of
// blocking on a person.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "firmware/update_exchange.h"  // MessageIcon

namespace pelkar {

// The application's title: every message box carries it.
inline constexpr const char* kAppTitle = "Pelkar Update utility";

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows text with an OK button and the icon, modal; returns once it is dismissed.
  virtual void Show(const QString& text, MessageIcon icon) = 0;
};

// QMessageBox, application-modal over parent (not owned, tracked weakly; may be null).
class QtMessageBoxes final : public MessageBoxes {
 public:
  explicit QtMessageBoxes(QWidget* parent) : parent_(parent) {}
  void Show(const QString& text, MessageIcon icon) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace pelkar
