// Texts and numbers the windows show: speed entries, sizes, dates, the
// capacity gauge's arithmetic. Pure functions, so the rules can be tested
// without a window.
#pragma once

#include "platform/time_zone.h"

#include <QString>

#include <cstdint>

namespace velloran::app {

// Nearest integer, halves to even (2.5 gives 2, 3.5 gives 4).
std::int64_t RoundHalfEven(double value);

// "1,234,567"; "0" for 0 (the pattern #,##0).
QString GroupedNumber(std::int64_t value);

// One entry of the speed list for a read-back speed in KB/s: "24X (4,234 KB/s)"
// for the CD family (disc kind below 4), "4.0X (5,540 KB/s)" for DVDs.
QString SpeedEntryText(std::uint8_t discKind, int kbPerSecond);
// The KB/s an entry of the speed list asks for: 0 for "Max" or an empty
// text, else the number before the first "X" times 177 (CD family) or 1385.
int SpeedFromText(const QString& text, std::uint8_t discKind);

// Size column of the layout list: whole KB plus one ("1 KB" for an empty
// file, "2 KB" for 1024 bytes, "1,465 KB" for 1,500,000 bytes).
QString SizeKBText(std::int64_t bytes);
// "03/07/2004 14:05:09"; empty when the date cannot be decoded.
QString DateModifiedText(platform::TDateTime date);

// Bytes to whole megabytes, rounded.
std::int64_t BytesToMB(std::int64_t bytes);

// The capacity gauge's running count.
struct GaugeState {
  double value = 0;
  double valueMax = 800;
};
// Adds m megabytes; the scale grows to the next hundred plus one hundred
// when the total reaches it (850 gives 1000, 800 gives 1000).
GaugeState GaugeAdd(GaugeState g, double m);
// Removes m megabytes, never below 0; the scale never shrinks.
GaugeState GaugeRemove(GaugeState g, double m);
// Scale end for a disc capacity in MB: the next multiple of 100 above it.
double GaugeScaleForCapacity(double capacityMB);

// The long part of a hint ("short|long" gives "long"), with "&&" shown as "&".
QString HintLongPart(const QString& hint);

// Session list cells: "0:02:00"; size " 300 Mb" (four characters, blank padded).
QString SessionStartText(int m, int s, int f);
QString SessionSizeText(std::int64_t mb);

// "Saving (12.34 Mb) ..." for an image of `sectors` 2048-byte sectors.
QString SavingStatusText(std::int64_t sectors);

// The status line after a layout: "3 names changed for the disc, 1 entry
// left out (see the log)"; empty when every name is kept and nothing was
// left out.
QString NameChangesStatusText(int namesChanged, int entriesLeftOut);

}  // namespace velloran::app
