#include "app/formats.h"

#include <QStringList>

#include <cmath>

namespace velloran::app {

std::int64_t RoundHalfEven(double value) { return static_cast<std::int64_t>(std::nearbyint(value)); }

QString GroupedNumber(std::int64_t value) {
  const bool negative = value < 0;
  QString digits = QString::number(negative ? -value : value);
  for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, QLatin1Char(','));
  return negative ? QLatin1Char('-') + digits : digits;
}

QString SpeedEntryText(std::uint8_t discKind, int kbPerSecond) {
  QString factor;
  if (discKind < 4) {
    // A FormatFloat "0": half away from zero.
    factor = QString::number(static_cast<std::int64_t>(std::round(kbPerSecond / 176.4))) + "X ";
  } else {
    factor = QString::number(kbPerSecond / 1385.0, 'f', 1) + "X ";
  }
  return factor + "(" + GroupedNumber(kbPerSecond) + " KB/s)";
}

int SpeedFromText(const QString& text, std::uint8_t discKind) {
  if (text.isEmpty() || text == QLatin1String("Max")) return 0;
  const int x = text.indexOf(QLatin1Char('X'));
  bool ok = false;
  const double factor = (x < 0 ? text : text.left(x)).trimmed().toDouble(&ok);
  if (!ok || factor < 0) return 0;
  // 177, not 176.4: a 24X entry asks for 4248 KB/s, which drives round down
  // to their own 24X step.
  const double unit = discKind < 4 ? 177.0 : 1385.0;
  return static_cast<int>(RoundHalfEven(factor * unit));
}

QString SizeKBText(std::int64_t bytes) { return GroupedNumber(bytes / 1024 + 1) + " KB"; }

QString DateModifiedText(platform::TDateTime date) {
  platform::DateParts p{};
  if (!platform::DecodeDateTime(date, p)) return {};
  return QString::asprintf("%02d/%02d/%04d %02d:%02d:%02d", p.month, p.day, p.year, p.hour, p.minute, p.second);
}

std::int64_t BytesToMB(std::int64_t bytes) { return RoundHalfEven(static_cast<double>(bytes) / 1048576.0); }

GaugeState GaugeAdd(GaugeState g, double m) {
  const double t = m + g.value;
  if (t >= g.valueMax) g.valueMax = (std::trunc(t / 100) + 1) * 100 + 100;
  g.value += m;
  return g;
}

GaugeState GaugeRemove(GaugeState g, double m) {
  g.value = m > g.value ? 0 : g.value - m;
  return g;
}

double GaugeScaleForCapacity(double capacityMB) { return (std::trunc(capacityMB / 100) + 1) * 100; }

QString HintLongPart(const QString& hint) {
  const int bar = hint.indexOf(QLatin1Char('|'));
  QString text = bar < 0 ? hint : hint.mid(bar + 1);
  return text.replace(QLatin1String("&&"), QLatin1String("&"));
}

QString SessionStartText(int m, int s, int f) { return QString::asprintf("%d:%02d:%02d", m, s, f); }

QString SessionSizeText(std::int64_t mb) { return QString::asprintf("%4lld Mb", static_cast<long long>(mb)); }

QString SavingStatusText(std::int64_t sectors) {
  const double mb = static_cast<double>(sectors) * 2048.0 / 1048576.0;
  const auto hundredths = static_cast<std::int64_t>(std::llround(mb * 100));
  return "Saving (" + GroupedNumber(hundredths / 100) + "." + QString::asprintf("%02lld", static_cast<long long>(hundredths % 100)) +
         " Mb) ...";
}

QString NameChangesStatusText(int namesChanged, int entriesLeftOut) {
  QStringList parts;
  if (namesChanged > 0)
    parts << QString("%1 %2 changed for the disc").arg(namesChanged).arg(namesChanged == 1 ? "name" : "names");
  if (entriesLeftOut > 0)
    parts << QString("%1 %2 left out").arg(entriesLeftOut).arg(entriesLeftOut == 1 ? "entry" : "entries");
  return parts.isEmpty() ? QString() : parts.join(", ") + " (see the log)";
}

}  // namespace velloran::app
