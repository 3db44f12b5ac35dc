#include "app/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pelkar {

QImage DrawAppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, size >= 32);
  // Drawn on a 32-unit grid, scaled to the size asked for.
  p.scale(size / 32.0, size / 32.0);

  const QColor pin(0xC0, 0xC0, 0xC0);
  const QColor body(0x00, 0x00, 0x80);
  const QColor edge(0x00, 0x00, 0x00);
  const QColor arrow(0xFF, 0xFF, 0x00);

  // Pins on both sides of the chip.
  p.setPen(Qt::NoPen);
  p.setBrush(pin);
  for (int y = 9; y <= 25; y += 4) {
    p.drawRect(QRectF(3, y, 4, 2));
    p.drawRect(QRectF(25, y, 4, 2));
  }
  // The chip's body.
  p.setPen(QPen(edge, 1));
  p.setBrush(body);
  p.drawRect(QRectF(7.5, 7.5, 17, 20));
  // An arrow coming down into it.
  QPainterPath path;
  path.moveTo(13, 1);
  path.lineTo(19, 1);
  path.lineTo(19, 13);
  path.lineTo(23, 13);
  path.lineTo(16, 22);
  path.lineTo(9, 13);
  path.lineTo(13, 13);
  path.closeSubpath();
  p.setBrush(arrow);
  p.drawPath(path);
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(QPixmap::fromImage(DrawAppIcon(16)));
  icon.addPixmap(QPixmap::fromImage(DrawAppIcon(32)));
  return icon;
}

}  // namespace pelkar
