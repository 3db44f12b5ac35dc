#include "app/message_boxes.h"

#include <QMessageBox>

namespace pelkar {

void QtMessageBoxes::Show(const QString& text, MessageIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::NoIcon;
  if (icon == MessageIcon::Error) qt_icon = QMessageBox::Critical;
  if (icon == MessageIcon::Information) qt_icon = QMessageBox::Information;
  QMessageBox box(qt_icon, QString::fromLatin1(kAppTitle), text, QMessageBox::Ok, parent_);
  box.exec();
}

}  // namespace pelkar
