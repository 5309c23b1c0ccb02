#include "app/shell_views.h"

#include "app/column_fit.h"
#include "app/ui_hooks.h"

#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListView>
#include <QMimeData>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QStorageInfo>
#include <QVBoxLayout>

namespace velloran::app {
namespace {

// Starts the drag of a shell view's selected entries (the file-system
// model's URLs), through the application's drag runner.
void StartShellDrag(QAbstractItemView* view, Qt::DropActions actions) {
  QModelIndexList indexes;
  for (const QModelIndex& index : view->selectionModel()->selectedIndexes())
    if (index.column() == 0 && (view->model()->flags(index) & Qt::ItemIsDragEnabled)) indexes << index;
  if (indexes.isEmpty()) return;
  QMimeData* data = view->model()->mimeData(indexes);
  if (!data) return;
  auto* drag = new QDrag(view);
  drag->setMimeData(data);
  const QIcon icon = indexes.front().data(Qt::DecorationRole).value<QIcon>();
  if (!icon.isNull()) drag->setPixmap(icon.pixmap(32, 32));
  RunDrag(drag, actions, Qt::CopyAction);
}

// A view of the file list whose drags go through StartShellDrag.
template <class View>
class TShellDragView : public View {
 public:
  using View::View;

 protected:
  void startDrag(Qt::DropActions actions) override { StartShellDrag(this, actions); }
};

// Icons with the desktop style's folder, drive and file pictures when the
// icon theme has none (the file-system model's own provider draws nothing
// then).
QFileIconProvider* IconProvider() {
  static QFileIconProvider provider;
  return &provider;
}

}  // namespace

// --- Folder tree -------------------------------------------------------------

TShellTreeView::TShellTreeView(QWidget* parent) : QTreeView(parent) {
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  model_->setReadOnly(true);
  model_->setIconProvider(IconProvider());
  model_->setRootPath(QDir::rootPath());
  setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) hideColumn(c);
  setHeaderHidden(true);
  setSortingEnabled(true);
  sortByColumn(0, Qt::AscendingOrder);
  setDragEnabled(true);
  setDragDropMode(QAbstractItemView::DragOnly);
  setDefaultDropAction(Qt::CopyAction);
  setSelectionMode(QAbstractItemView::SingleSelection);
  // Deep folders scroll sideways rather than cutting their names short.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { emit PathChanged(model_->filePath(current)); });
  // The model reads folders in the background: the chosen folder moves as
  // the folders above it fill in.
  connect(model_, &QFileSystemModel::directoryLoaded, this, [this] { FollowChosen(); });
  // So does sorting what was just read, and folders coming and going.
  connect(model_, &QAbstractItemModel::layoutChanged, this, [this] { FollowChosen(); });
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] { FollowChosen(); });
  connect(model_, &QAbstractItemModel::rowsRemoved, this, [this] { FollowChosen(); });
  // Scrolling by the scroll bars is the person's choice too.
  for (QScrollBar* bar : {verticalScrollBar(), horizontalScrollBar()})
    connect(bar, &QScrollBar::actionTriggered, this, [this] { follow_ = false; });
}

void TShellTreeView::FollowChosen() {
  if (!follow_ || !currentIndex().isValid()) return;
  // Opened, so the folders in it show beneath it.
  expand(currentIndex());
  scrollTo(currentIndex(), QAbstractItemView::PositionAtCenter);
  // Sideways, the folder's name shows whole where it can, with as much of
  // the tree to its left as there is room for (scrollTo would put the
  // folder's right end in the middle).
  QScrollBar* bar = horizontalScrollBar();
  const int left = visualRect(currentIndex()).left() + bar->value();
  const int icon = iconSize().isValid() ? iconSize().width() : style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
  const int right = left + icon + 8 + fontMetrics().horizontalAdvance(model_->fileName(currentIndex()));
  bar->setValue(std::clamp(right - viewport()->width(), 0, std::max(0, left)));
}

void TShellTreeView::mousePressEvent(QMouseEvent* event) {
  follow_ = false;
  QTreeView::mousePressEvent(event);
}

void TShellTreeView::keyPressEvent(QKeyEvent* event) {
  follow_ = false;
  QTreeView::keyPressEvent(event);
}

void TShellTreeView::wheelEvent(QWheelEvent* event) {
  follow_ = false;
  QTreeView::wheelEvent(event);
}

void TShellTreeView::resizeEvent(QResizeEvent* event) {
  QTreeView::resizeEvent(event);
  FollowChosen();
}

void TShellTreeView::startDrag(Qt::DropActions actions) { StartShellDrag(this, actions); }

QString TShellTreeView::Path() const { return currentIndex().isValid() ? model_->filePath(currentIndex()) : QString(); }

QString TShellTreeView::SelectedText() const {
  return currentIndex().isValid() ? model_->fileName(currentIndex()) : QString();
}

bool TShellTreeView::SetPath(const QString& path) {
  const QFileInfo info(path);
  if (!info.isDir()) return false;
  const QModelIndex index = model_->index(info.absoluteFilePath());
  if (!index.isValid()) return false;
  // The folder the person just clicked, coming back from the views that
  // follow the tree: it is where they left it.
  if (index == currentIndex()) return true;
  setCurrentIndex(index);
  follow_ = true;
  FollowChosen();
  return true;
}

// --- File list ---------------------------------------------------------------

TShellListView::TShellListView(QWidget* parent) : QWidget(parent) {
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot);
  model_->setReadOnly(true);
  model_->setIconProvider(IconProvider());
  selection_ = new QItemSelectionModel(model_, this);

  details_ = new TShellDragView<QTreeView>(this);
  details_->setObjectName("ShellListDetails");
  details_->setModel(model_);
  details_->setSelectionModel(selection_);
  details_->setRootIsDecorated(false);
  details_->setItemsExpandable(false);
  details_->setSortingEnabled(true);
  details_->sortByColumn(0, Qt::AscendingOrder);
  KeepColumnsFitted(details_, kFileColumnsGiveWay);

  icons_ = new TShellDragView<QListView>(this);
  icons_->setObjectName("ShellListIcons");
  icons_->setModel(model_);
  icons_->setSelectionModel(selection_);
  icons_->setResizeMode(QListView::Adjust);

  for (QAbstractItemView* v : std::initializer_list<QAbstractItemView*>{details_, icons_}) {
    v->setSelectionMode(QAbstractItemView::ExtendedSelection);
    v->setDragEnabled(true);
    v->setDragDropMode(QAbstractItemView::DragOnly);
    v->setDefaultDropAction(Qt::CopyAction);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(v, &QAbstractItemView::activated, this, &TShellListView::Open);
  }

  stack_ = new QStackedWidget(this);
  stack_->addWidget(details_);
  stack_->addWidget(icons_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  SetViewStyle(ViewStyle::Report);
}

bool TShellListView::SetPath(const QString& path) {
  const QFileInfo info(path);
  if (!info.isDir()) return false;
  const QString absolute = info.absoluteFilePath();
  if (absolute == path_) return true;
  path_ = absolute;
  const QModelIndex root = model_->setRootPath(absolute);
  selection_->clear();
  details_->setRootIndex(root);
  icons_->setRootIndex(root);
  emit PathChanged(absolute);
  return true;
}

void TShellListView::GoUp() {
  QDir dir(path_);
  if (dir.cdUp()) SetPath(dir.absolutePath());
}

void TShellListView::Open(const QModelIndex& index) {
  if (index.isValid() && model_->isDir(index)) SetPath(model_->filePath(index));
}

void TShellListView::SetViewStyle(ViewStyle style) {
  style_ = style;
  switch (style) {
    case ViewStyle::Report: stack_->setCurrentWidget(details_); break;
    case ViewStyle::Icon:
      icons_->setViewMode(QListView::IconMode);
      icons_->setIconSize(QSize(32, 32));
      icons_->setGridSize(QSize(88, 64));
      icons_->setWordWrap(true);
      icons_->setMovement(QListView::Static);
      stack_->setCurrentWidget(icons_);
      break;
    case ViewStyle::List:
      icons_->setViewMode(QListView::ListMode);
      icons_->setIconSize(QSize(16, 16));
      icons_->setGridSize(QSize());
      icons_->setFlow(QListView::TopToBottom);
      icons_->setWrapping(true);
      stack_->setCurrentWidget(icons_);
      break;
  }
}

QList<TShellListView::Item> TShellListView::SelectedItems() const {
  QModelIndexList rows = selection_->selectedRows(0);
  // List order: as the details view shows them (sorted by the model).
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  QList<Item> items;
  for (const QModelIndex& index : rows) items.push_back({model_->filePath(index), model_->fileName(index), model_->isDir(index)});
  return items;
}

void TShellListView::SelectNames(const QStringList& names) {
  selection_->clear();
  for (const QString& name : names) {
    const QModelIndex index = model_->index(QDir(path_).filePath(name));
    if (index.isValid()) selection_->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
}

bool TShellListView::IsDragSource(const QObject* source) const {
  return source && (source == this || source == details_ || source == icons_ || source == details_->viewport() ||
                    source == icons_->viewport());
}

// --- Folder combo --------------------------------------------------------------

TShellComboBox::TShellComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setMinimumContentsLength(12);
  connect(this, &QComboBox::activated, this, [this](int index) {
    const QString path = itemData(index).toString();
    if (!path.isEmpty()) emit PathChosen(path);
  });
}

void TShellComboBox::SetPath(const QString& path) { Refill(path); }

void TShellComboBox::showPopup() {
  Refill(currentData().toString());
  QComboBox::showPopup();
}

void TShellComboBox::Refill(const QString& current) {
  QSignalBlocker block(this);
  clear();
  QFileIconProvider icons;
  auto add = [&](const QString& text, const QString& path, const QIcon& icon) {
    if (findData(path) < 0) addItem(icon, text, path);
  };
  if (!current.isEmpty()) add(current, current, icons.icon(QFileInfo(current)));
  add("Home (" + QDir::homePath() + ")", QDir::homePath(), icons.icon(QAbstractFileIconProvider::Folder));
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !volume.isReady()) continue;
    const QString root = volume.rootPath();
    // Pseudo file systems hold nothing a disc should get.
    const QByteArray type = volume.fileSystemType();
    if (type == "proc" || type == "sysfs" || type == "tmpfs" || type == "devtmpfs" || type == "cgroup2" ||
        (type == "overlay" && root != "/"))
      continue;
    add(root == "/" ? "File System (/)" : volume.displayName() + " (" + root + ")", root,
        icons.icon(QAbstractFileIconProvider::Drive));
  }
  setCurrentIndex(std::max(0, findData(current)));
}

// --- Layout views --------------------------------------------------------------

TLayoutView::TLayoutView(QWidget* parent) : QTreeWidget(parent) {
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDropIndicatorShown(false);
  setDragDropMode(QAbstractItemView::DropOnly);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

namespace {
// Where a drag comes from: the view it started in, when it is one of ours.
const QObject* DragSourceOf(const QDropEvent* event) {
  return event->source() ? event->source() : ActiveDragSource();
}
}  // namespace

void TLayoutView::dragEnterEvent(QDragEnterEvent* event) {
  if (acceptsFrom && acceptsFrom(DragSourceOf(event))) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void TLayoutView::dragMoveEvent(QDragMoveEvent* event) {
  if (acceptsFrom && acceptsFrom(DragSourceOf(event))) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void TLayoutView::dropEvent(QDropEvent* event) {
  const QObject* source = DragSourceOf(event);
  if (!acceptsFrom || !acceptsFrom(source)) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  if (dropped) dropped(source, itemAt(event->position().toPoint()));
}

}  // namespace velloran::app
