// Draws the application's icons: cd.ico (the disc root), closed.ico and
// open.ico (layout folders), velloran-gui.png (the desktop entry).
// Build and run by hand when a picture changes, from this folder:
//   g++ -std=c++17 -fPIC draw_icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/draw_icons
//   QT_QPA_PLATFORM=offscreen /tmp/draw_icons .
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <functional>

namespace {

void Disc(QPainter& p, double s) {
  const QPointF c(s / 2, s / 2);
  QRadialGradient g(c, s * 0.48);
  g.setColorAt(0.0, QColor(0xf4, 0xf4, 0xf8));
  g.setColorAt(0.35, QColor(0xb8, 0xd8, 0xf4));
  g.setColorAt(0.6, QColor(0xe8, 0xc8, 0xf0));
  g.setColorAt(0.85, QColor(0xc8, 0xf0, 0xd8));
  g.setColorAt(1.0, QColor(0x9a, 0xa8, 0xc0));
  p.setPen(QPen(QColor(0x50, 0x58, 0x68), s / 32));
  p.setBrush(g);
  p.drawEllipse(c, s * 0.46, s * 0.46);
  p.setBrush(QColor(0xd0, 0xd4, 0xdc));
  p.drawEllipse(c, s * 0.16, s * 0.16);
  p.setBrush(Qt::white);
  p.drawEllipse(c, s * 0.07, s * 0.07);
  // A highlight across the recording surface.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 110));
  QPainterPath shine;
  shine.moveTo(c);
  shine.arcTo(QRectF(c.x() - s * 0.44, c.y() - s * 0.44, s * 0.88, s * 0.88), 100, 35);
  shine.closeSubpath();
  p.drawPath(shine);
}

void Folder(QPainter& p, double s, bool open) {
  const QColor back(0xd9, 0xa4, 0x2c), front(0xf6, 0xc9, 0x5a), edge(0x8a, 0x62, 0x10);
  p.setPen(QPen(edge, s / 24));
  p.setBrush(back);
  QPainterPath tab;
  tab.moveTo(s * 0.06, s * 0.22);
  tab.lineTo(s * 0.38, s * 0.22);
  tab.lineTo(s * 0.46, s * 0.30);
  tab.lineTo(s * 0.94, s * 0.30);
  tab.lineTo(s * 0.94, s * 0.84);
  tab.lineTo(s * 0.06, s * 0.84);
  tab.closeSubpath();
  p.drawPath(tab);
  p.setBrush(front);
  QPainterPath lid;
  if (open) {
    p.setBrush(Qt::white);
    p.drawRect(QRectF(s * 0.16, s * 0.26, s * 0.66, s * 0.3));
    p.setBrush(front);
    lid.moveTo(s * 0.18, s * 0.44);
    lid.lineTo(s * 0.99, s * 0.44);
    lid.lineTo(s * 0.86, s * 0.84);
    lid.lineTo(s * 0.04, s * 0.84);
  } else {
    lid.moveTo(s * 0.06, s * 0.38);
    lid.lineTo(s * 0.94, s * 0.38);
    lid.lineTo(s * 0.94, s * 0.84);
    lid.lineTo(s * 0.06, s * 0.84);
  }
  lid.closeSubpath();
  p.drawPath(lid);
}

QImage Draw(int size, const std::function<void(QPainter&, double)>& draw) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  draw(p, size);
  return img;
}

bool SaveIco(const QString& file, const std::function<void(QPainter&, double)>& draw) {
  // The ICO writer stores one image; 32 x 32 scales well to both list sizes.
  QImageWriter w(file, "ico");
  return w.write(Draw(32, draw));
}

}  // namespace

int main(int argc, char* argv[]) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  bool ok = SaveIco(dir + "/cd.ico", Disc);
  ok &= SaveIco(dir + "/closed.ico", [](QPainter& p, double s) { Folder(p, s, false); });
  ok &= SaveIco(dir + "/open.ico", [](QPainter& p, double s) { Folder(p, s, true); });
  ok &= Draw(64, [](QPainter& p, double s) {
          Disc(p, s);
          // A flame-red recording arc: the burner.
          p.setPen(QPen(QColor(0xd8, 0x30, 0x20), s / 12, Qt::SolidLine, Qt::RoundCap));
          p.setBrush(Qt::NoBrush);
          p.drawArc(QRectF(s * 0.12, s * 0.12, s * 0.76, s * 0.76), -30 * 16, -110 * 16);
        }).save(dir + "/velloran-gui.png");
  return ok ? 0 : 1;
}
