#include "app/elided_label.h"

#include <QPainter>
#include <QStyle>

namespace velloran::app {

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setTextFormat(Qt::PlainText);
}

QString TElidedLabel::ShownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize TElidedLabel::sizeHint() const { return {0, QLabel::sizeHint().height()}; }

QSize TElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), palette(), isEnabled(), ShownText(),
                        foregroundRole());
}

}  // namespace velloran::app
