// The capacity gauge: a horizontal scale of megabytes, used only as a
// display of how much the compilation or the disc fills. The user cannot
// move it.
#pragma once

#include <QWidget>

namespace velloran::app {

class TSCFloatSlider : public QWidget {
  Q_OBJECT
 public:
  explicit TSCFloatSlider(QWidget* parent = nullptr);

  double Value() const { return value_; }
  void SetValue(double value);
  double ValueMax() const { return valueMax_; }
  void SetValueMax(double value);

  static constexpr int kMajorTicks = 5;
  static constexpr int kMinorTicks = 20;
  // The label of a scale position: "%4.0fM".
  static QString Label(double megabytes);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double value_ = 0;
  double valueMax_ = 800;
};

}  // namespace velloran::app
