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

void FitColumns(QTreeView* view, const QList<GiveWay>& steps) {
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
  // The sideways scroll bar follows the new widths now, not at the view's
  // next layout.
  QMetaObject::invokeMethod(view, "updateGeometries");
}

// Refits a view's columns, once per burst of changes.
class ColumnFitter : public QObject {
 public:
  ColumnFitter(QTreeView* view, const QList<GiveWay>& steps) : QObject(view), view_(view), steps_(steps) {
    view->header()->setStretchLastSection(false);
    view->installEventFilter(this);
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
    if (watched == view_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) timer_.start();
    return false;
  }

 private:
  QPointer<QTreeView> view_;
  QList<GiveWay> steps_;
  QTimer timer_;
};

}  // namespace

void KeepColumnsFitted(QTreeView* view, const QList<GiveWay>& steps) { new ColumnFitter(view, steps); }

}  // namespace velloran::app
