// Picture1: the thin box that shows an update's progress as a bar. It stores the progress
// and paints the bar from it, so a repaint never loses it.
#pragma once

#include <cstdint>

#include <QWidget>

namespace pelkar {

class ProgressPicture final : public QWidget {
  Q_OBJECT
 public:
  explicit ProgressPicture(QWidget* parent = nullptr);

  // Full width stands for `scale` units (the image length in bytes); clears the bar.
  void Start(std::int64_t scale);
  // The bar now covers `units` of the scale (clamped to it).
  void DrawBar(std::int64_t units);

  std::int64_t Scale() const noexcept { return scale_; }
  std::int64_t Units() const noexcept { return units_; }
  // Bar width in pixels for the present width.
  int BarWidth() const noexcept;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::int64_t scale_ = 0;
  std::int64_t units_ = 0;
};

}  // namespace pelkar
