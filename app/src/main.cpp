// Pelkar1_Update: the firmware update window. No arguments, no settings.
#include <QApplication>

#include "app/form1.h"
#include "app/message_boxes.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(pelkar::kAppTitle));
  QApplication::setDesktopFileName(QStringLiteral("pelkar1-update"));
  pelkar::Form1 window;
  window.show();
  return QApplication::exec();
}
