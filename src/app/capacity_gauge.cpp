#include "app/capacity_gauge.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace velloran::app {

TSCFloatSlider::TSCFloatSlider(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TSCFloatSlider::SetValue(double value) {
  value_ = value;
  update();
}

void TSCFloatSlider::SetValueMax(double value) {
  valueMax_ = value;
  update();
}

QString TSCFloatSlider::Label(double megabytes) { return QString::asprintf("%4.0fM", megabytes); }

QSize TSCFloatSlider::sizeHint() const { return {400, minimumSizeHint().height()}; }

QSize TSCFloatSlider::minimumSizeHint() const {
  const int text = fontMetrics().height();
  return {120, 10 + 14 + 4 + text + 4};
}

void TSCFloatSlider::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QFontMetrics fm = fontMetrics();
  const int margin = fm.horizontalAdvance(Label(valueMax_)) / 2 + 4;
  const int left = margin, right = width() - margin;
  const int span = std::max(1, right - left);
  const int grooveTop = 6, grooveHeight = 12;
  const double max = valueMax_ > 0 ? valueMax_ : 1;
  const double fraction = std::clamp(value_ / max, 0.0, 1.0);

  // Groove, then the filled part up to the value.
  QRectF groove(left, grooveTop, span, grooveHeight);
  p.setPen(palette().color(QPalette::Mid));
  p.setBrush(palette().color(QPalette::Base));
  p.drawRoundedRect(groove, 3, 3);
  if (fraction > 0) {
    QRectF filled(left + 1, grooveTop + 1, (span - 2) * fraction, grooveHeight - 2);
    QLinearGradient g(filled.topLeft(), filled.bottomLeft());
    g.setColorAt(0, QColor(0x6f, 0xb8, 0xf0));
    g.setColorAt(1, QColor(0x1e, 0x6f, 0xc8));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(filled, 2, 2);
  }

  // The value marker: a small pointer under the groove's end of the fill.
  const double x = left + span * fraction;
  QPainterPath marker;
  marker.moveTo(x, grooveTop + grooveHeight);
  marker.lineTo(x - 5, grooveTop + grooveHeight + 7);
  marker.lineTo(x + 5, grooveTop + grooveHeight + 7);
  marker.closeSubpath();
  p.setPen(palette().color(QPalette::Dark));
  p.setBrush(palette().color(QPalette::Button));
  p.drawPath(marker);

  // Ticks: kMinorTicks intervals, every fifth one a labelled major tick.
  const int tickTop = grooveTop + grooveHeight + 8;
  p.setPen(palette().color(QPalette::WindowText));
  const int perMajor = kMinorTicks / (kMajorTicks - 1);
  for (int i = 0; i <= kMinorTicks; ++i) {
    const double tx = left + span * static_cast<double>(i) / kMinorTicks;
    const bool major = i % perMajor == 0;
    p.drawLine(QPointF(tx, tickTop), QPointF(tx, tickTop + (major ? 5 : 2)));
    if (major) {
      const QString label = Label(valueMax_ * i / kMinorTicks);
      const int w = fm.horizontalAdvance(label);
      p.drawText(QPointF(tx - w / 2.0, tickTop + 6 + fm.ascent()), label);
    }
  }
}

}  // namespace velloran::app
