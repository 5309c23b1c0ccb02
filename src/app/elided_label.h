// A one-line label that shows as much of its text as fits, cut with "…" at
// the end, and never asks its window for more room: a long text must not
// widen the window it sits in.
#pragma once

#include <QLabel>

namespace velloran::app {

class TElidedLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TElidedLabel(QWidget* parent = nullptr);
  // What the label shows at its present width (text() is the whole text).
  QString ShownText() const;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace velloran::app
