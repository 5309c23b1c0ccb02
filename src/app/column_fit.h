// Report views whose columns fit the view: each column as wide as its
// contents, and, when they do not all fit, the widest ones narrowed (their
// texts cut with "…") so that every column stays in sight.
#pragma once

#include <QList>

class QTreeView;

namespace velloran::app {

// Column widths for a view `available` pixels wide, from what each column's
// contents want (never less than their header). When they fit, the first
// column gets the room left over. When they do not, columns give way in the
// order of `steps`, each step narrowing one column down to its floor (never
// below its header), until they fit; the view scrolls only when all steps
// are taken.
struct GiveWay {
  int column;
  int floor;
};
QList<int> FitWidths(const QList<int>& want, const QList<int>& headers, int available, const QList<GiveWay>& steps);

// For the file lists (Name, Size, Type, Date Modified): names give way to
// a readable length, then types (the names' extensions tell them too),
// then names further; sizes and dates, short and of a fixed form, last.
inline const QList<GiveWay> kFileColumnsGiveWay = {{0, 120}, {2, 60}, {0, 80}, {2, 0},
                                                   {0, 60}, {3, 0},  {1, 0},  {0, 0}};

// Fits `view`'s columns now, and again whenever the view is resized or its
// rows change; `steps` as for FitWidths.
void KeepColumnsFitted(QTreeView* view, const QList<GiveWay>& steps);

}  // namespace velloran::app
