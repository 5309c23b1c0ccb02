// The texts and numbers the windows show.
#include "app/capacity_gauge.h"
#include "app/column_fit.h"
#include "app/formats.h"
#include "app/newfolder.h"

#include <gtest/gtest.h>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace velloran::app {
namespace {

TEST(FormatsTest, SizeColumnIsWholeKilobytesPlusOne) {
  const struct {
    std::int64_t bytes;
    const char* text;
  } rows[] = {{0, "1 KB"}, {1023, "1 KB"}, {1024, "2 KB"}, {1500000, "1,465 KB"}, {5368709120, "5,242,881 KB"}};
  for (const auto& r : rows) EXPECT_EQ(SizeKBText(r.bytes), r.text) << r.bytes;
}

TEST(FormatsTest, ColumnsFitTheViewGivingWayInOrder) {
  // Name, Size, Type, Date: contents 129, 70, 118, 123; headers 40, 30, 33, 91.
  const QList<int> want{129, 70, 118, 123}, headers{40, 30, 33, 91};
  const struct {
    int available;
    QList<int> widths;
  } rows[] = {
      {500, {189, 70, 118, 123}},  // room to spare: the names get it
      {440, {129, 70, 118, 123}},  // exactly enough
      {431, {120, 70, 118, 123}},  // names first, to a readable length
      {333, {80, 70, 60, 123}},    // then types, then names further
      {290, {64, 70, 33, 123}},    // types to their header, names further
      {250, {60, 66, 33, 91}},     // only then dates and sizes, never below a header
      {150, {40, 30, 33, 91}},     // all at their headers: the view scrolls
  };
  for (const auto& r : rows) EXPECT_EQ(FitWidths(want, headers, r.available, kFileColumnsGiveWay), r.widths) << r.available;
  // Contents narrower than their header take the header's width.
  EXPECT_EQ(FitWidths({10, 10}, {40, 30}, 70, {}), (QList<int>{40, 30}));
}

TEST(FormatsTest, SpeedEntries) {
  const struct {
    std::uint8_t kind;
    int kbps;
    const char* text;
  } rows[] = {{2, 4234, "24X (4,234 KB/s)"}, {3, 7056, "40X (7,056 KB/s)"}, {0, 706, "4X (706 KB/s)"},
              {11, 5540, "4.0X (5,540 KB/s)"}, {10, 22160, "16.0X (22,160 KB/s)"}, {6, 3324, "2.4X (3,324 KB/s)"}};
  for (const auto& r : rows) EXPECT_EQ(SpeedEntryText(r.kind, r.kbps), r.text) << r.text;
}

TEST(FormatsTest, SpeedFromTheListUses177ForCds) {
  const struct {
    const char* text;
    std::uint8_t kind;
    int kbps;
  } rows[] = {{"Max", 2, 0},          {"", 11, 0},   {"24X (4,234 KB/s)", 2, 4248}, {"40X (7,056 KB/s)", 0, 7080},
              {"4.0X (5,540 KB/s)", 11, 5540}, {"2.4X (3,324 KB/s)", 5, 3324}, {"garbage", 2, 0}};
  for (const auto& r : rows) EXPECT_EQ(SpeedFromText(r.text, r.kind), r.kbps) << r.text;
}

TEST(FormatsTest, GaugeGrowsToTheNextHundredPlusOneAndNeverShrinks) {
  EXPECT_EQ(GaugeAdd({0, 800}, 850).valueMax, 1000);
  EXPECT_EQ(GaugeAdd({0, 800}, 800).valueMax, 1000);
  EXPECT_EQ(GaugeAdd({0, 800}, 799).valueMax, 800);
  const GaugeState g = GaugeAdd(GaugeAdd({0, 800}, 850), 50);
  EXPECT_EQ(g.value, 900);
  EXPECT_EQ(g.valueMax, 1000);
  EXPECT_EQ(GaugeRemove(g, 1200).value, 0);
  EXPECT_EQ(GaugeRemove(g, 1200).valueMax, 1000);
  EXPECT_EQ(GaugeRemove(g, 300).value, 600);
  // One drop that crosses the scale takes it past the total.
  EXPECT_EQ(GaugeAdd({500, 800}, 400).valueMax, 1100);
  EXPECT_EQ(GaugeScaleForCapacity(702.6), 800);
  EXPECT_EQ(GaugeScaleForCapacity(4482), 4500);
}

TEST(FormatsTest, RoundingHalvesToEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(345.5), 346);
  EXPECT_EQ(BytesToMB(1572864), 2);  // 1.5 MB
  EXPECT_EQ(BytesToMB(2621440), 2);  // 2.5 MB
}

TEST(FormatsTest, DatesHintsSessionsAndGaugeLabels) {
  // 2004-03-07 14:05:09 as days since 1899-12-30.
  const double date = 38053 + (14 * 3600 + 5 * 60 + 9) / 86400.0;
  EXPECT_EQ(DateModifiedText(date), "03/07/2004 14:05:09");
  EXPECT_EQ(HintLongPart("Short|Long text"), "Long text");
  EXPECT_EQ(HintLongPart("Drag && Drop folders or files here"), "Drag & Drop folders or files here");
  EXPECT_EQ(SessionStartText(0, 2, 0), "0:02:00");
  EXPECT_EQ(SessionStartText(12, 5, 74), "12:05:74");
  EXPECT_EQ(SessionSizeText(300), " 300 Mb");
  EXPECT_EQ(SessionSizeText(4482), "4482 Mb");
  EXPECT_EQ(SavingStatusText(6318), "Saving (12.34 Mb) ...");
  EXPECT_EQ(SavingStatusText(2295104), "Saving (4,482.63 Mb) ...");
  EXPECT_EQ(TSCFloatSlider::Label(0), "   0M");
  EXPECT_EQ(TSCFloatSlider::Label(800), " 800M");
}

TEST(FormatsTest, NewFolderNamesLoseOnlyTheNineCharacters) {
  EXPECT_EQ(Tfrmnewfolder::Filtered("a:b"), "ab");
  EXPECT_EQ(Tfrmnewfolder::Filtered("\\/:*?\"<>|"), "");
  EXPECT_EQ(Tfrmnewfolder::Filtered(QString::fromUtf8("Fotos 2004 \u00e9t\u00e9 (1)")),
            QString::fromUtf8("Fotos 2004 \u00e9t\u00e9 (1)"));
}

}  // namespace
}  // namespace velloran::app
