#include "app/progress_picture.h"

#include <algorithm>

#include <QPainter>

namespace pelkar {

ProgressPicture::ProgressPicture(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Picture1"));
  // In the tab order, yet Space and Enter do nothing here.
  setFocusPolicy(Qt::TabFocus);
  setAutoFillBackground(true);
}

void ProgressPicture::Start(std::int64_t scale) {
  scale_ = std::max<std::int64_t>(scale, 0);
  units_ = 0;
  update();
}

void ProgressPicture::DrawBar(std::int64_t units) {
  units_ = std::clamp<std::int64_t>(units, 0, scale_);
  update();
}

int ProgressPicture::BarWidth() const noexcept {
  if (scale_ <= 0) return 0;
  return static_cast<int>(units_ * width() / scale_);
}

void ProgressPicture::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  painter.setPen(palette().color(QPalette::Mid));
  painter.setBrush(palette().color(QPalette::Base));
  painter.drawRect(frame);
  const int bar = BarWidth();
  if (bar > 0) {
    painter.fillRect(QRect(1, 1, std::min(bar, width() - 2), height() - 2),
                     palette().color(QPalette::Highlight));
  }
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
  }
}

}  // namespace pelkar
