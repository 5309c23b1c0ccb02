#include "app/column_fit.h"

#include <QAbstractItemModel>
#include <QEvent>
#include <QHeaderView>
#include <QPointer>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <numeric>

namespace velloran::app {

QList<int> FitWidths(const QList<int>& want, const QList<int>& headers, int available, const QList<GiveWay>& steps) {
  const qsizetype n = want.size();
  QList<int> width(n);
  for (qsizetype i = 0; i < n; ++i) width[i] = std::max(want[i], headers[i]);
  if (n == 0) return width;
  int excess = std::accumulate(width.begin(), width.end(), 0) - available;
  if (excess <= 0) {
    width[0] -= excess;
    return width;
  }
  for (const GiveWay& step : steps) {
    if (excess <= 0) break;
    if (step.column < 0 || step.column >= n) continue;
    int& w = width[step.column];
    const int give = std::clamp(w - std::max(step.floor, headers[step.column]), 0, excess);
    w -= give;
    excess -= give;
  }
  return width;
}

namespace {

void FitColumnsOnce(QTreeView* view, const QList<GiveWay>& steps) {
  QHeaderView* header = view->header();
  QList<int> want, headers;
  for (int c = 0; c < header->count(); ++c) {
    // sizeHintForColumn looks at the rows in sight, which is what the
    // person sees.
    want << (header->isSectionHidden(c) ? 0 : static_cast<const QAbstractItemView*>(view)->sizeHintForColumn(c));
    headers << (header->isSectionHidden(c) || header->isHidden() ? 0 : header->sectionSizeHint(c));
  }
  const QList<int> widths = FitWidths(want, headers, view->viewport()->width(), steps);
  for (int c = 0; c < header->count(); ++c)
    if (!header->isSectionHidden(c)) header->resizeSection(c, widths[c]);
  // The scroll bars follow the new widths now, not at the view's next
  // layout.
  QMetaObject::invokeMethod(view, "updateGeometries");
}

// Runs the layout of rows a view has pending (it keeps that to itself and
// its subclasses), and nothing when none is.
struct PendingLayout : QTreeView {
  static void Run(QTreeView* view) { (view->*&PendingLayout::executeDelayedItemsLayout)(); }
};

void FitColumns(QTreeView* view, const QList<GiveWay>& steps) {
  // The rows as they will be drawn: a layout still pending would leave the
  // rows in sight and the vertical scroll bar as they were before the last
  // change.
  PendingLayout::Run(view);
  // Fitting can bring a scroll bar up or take it down, which changes the
  // viewport's width: fit again to the new width (a second change cannot
  // follow, as the same rows fit the same width the same way).
  for (int pass = 0; pass < 3; ++pass) {
    const int width = view->viewport()->width();
    FitColumnsOnce(view, steps);
    if (view->viewport()->width() == width) break;
  }
}

// Refits a view's columns, once per burst of changes.
class ColumnFitter : public QObject {
 public:
  ColumnFitter(QTreeView* view, const QList<GiveWay>& steps) : QObject(view), view_(view), steps_(steps) {
    view->header()->setStretchLastSection(false);
    view->installEventFilter(this);
    // The viewport also narrows without the view resizing, when the
    // vertical scroll bar comes up.
    view->viewport()->installEventFilter(this);
    watchedView_ = view;
    watchedViewport_ = view->viewport();
    timer_.setSingleShot(true);
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (view_) FitColumns(view_, steps_);
    });
    QAbstractItemModel* model = view->model();
    const auto later = [this] { timer_.start(); };
    connect(model, &QAbstractItemModel::rowsInserted, this, later);
    connect(model, &QAbstractItemModel::rowsRemoved, this, later);
    connect(model, &QAbstractItemModel::modelReset, this, later);
    connect(model, &QAbstractItemModel::layoutChanged, this, later);
    connect(model, &QAbstractItemModel::dataChanged, this, later);
    timer_.start();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    // Compared by address only: the viewport's last events come while the
    // view is being destroyed.
    if ((watched == watchedView_ || watched == watchedViewport_) &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show))
      timer_.start();
    return false;
  }

 private:
  QPointer<QTreeView> view_;
  const QObject* watchedView_ = nullptr;
  const QObject* watchedViewport_ = nullptr;
  QList<GiveWay> steps_;
  QTimer timer_;
};

}  // namespace

void KeepColumnsFitted(QTreeView* view, const QList<GiveWay>& steps) { new ColumnFitter(view, steps); }

}  // namespace velloran::app
