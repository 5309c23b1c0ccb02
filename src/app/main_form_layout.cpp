// Editing the compilation from the main window: the layout tree and list,
// drops from the file-system views, new folders, deletion and the capacity
// gauge.
#include "app/formats.h"
#include "app/globals.h"
#include "app/main_form.h"
#include "app/newfolder.h"
#include "app/shell_info.h"
#include "app/ui_hooks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTreeWidgetItem>

namespace velloran::app {

using image::TDEntry;
using image::TFEntry;

namespace {

constexpr int kEntryRole = Qt::UserRole + 1;

template <class T>
T* EntryOf(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<T*>(item->data(0, kEntryRole).value<quintptr>()) : nullptr;
}

template <class T>
void SetEntry(QTreeWidgetItem* item, T* entry) {
  item->setData(0, kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(entry)));
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A row of the file list. The name, icon and entry are stored as in any
// item; the size, type and date are kept as values and made into text only
// when the view paints the row: a folder may hold tens of thousands of
// entries, and three stored texts a row cost more than the rest of it.
class LayoutRow : public QTreeWidgetItem {
 public:
  LayoutRow(const TFEntry& e, QString type)
      : type_(std::move(type)), size_(e.Size), date_(e.Date), directory_(e.IsDirectory()) {}

  QVariant data(int column, int role) const override {
    if (column >= 1 && column <= 3 && (role == Qt::DisplayRole || role == Qt::EditRole)) {
      const QVariant stored = QTreeWidgetItem::data(column, role);
      if (stored.isValid()) return stored;
      if (column == 1) return directory_ ? QVariant() : QVariant(SizeKBText(size_));
      if (column == 2) return type_;
      return DateModifiedText(date_);
    }
    if (column == 1 && role == Qt::TextAlignmentRole) return QVariant(int(Qt::AlignRight | Qt::AlignVCenter));
    return QTreeWidgetItem::data(column, role);
  }

 private:
  QString type_;  // shared with every row of the same kind
  std::int64_t size_;
  platform::TDateTime date_;
  bool directory_;
};

}  // namespace

QTreeWidgetItem* Tfrmmain::TopNode() const { return tvdir->topLevelItemCount() ? tvdir->topLevelItem(0) : nullptr; }

TDEntry* Tfrmmain::NodeDir(const QTreeWidgetItem* node) const { return EntryOf<TDEntry>(node); }

TFEntry* Tfrmmain::ItemEntry(const QTreeWidgetItem* item) const { return EntryOf<TFEntry>(item); }

bool Tfrmmain::AcceptsDragFrom(const QObject* source) const {
  return source && (ShellListView1->IsDragSource(source) || source == ShellTreeView1 ||
                    source == ShellTreeView1->viewport());
}

void Tfrmmain::GaugeAdding(double mb) {
  const GaugeState g = GaugeAdd({fs->Value(), fs->ValueMax()}, mb);
  fs->SetValueMax(g.valueMax);
  fs->SetValue(g.value);
}

void Tfrmmain::GaugeRemoving(double mb) {
  const GaugeState g = GaugeRemove({fs->Value(), fs->ValueMax()}, mb);
  fs->SetValue(g.value);
}

void Tfrmmain::ResetLayoutView() {
  tvdir->clear();
  auto* top = new QTreeWidgetItem(tvdir, {"CDRoot"});
  SetEntry(top, zcdb.RootDir());
  top->setIcon(0, CdIcon());
  tvdir->setCurrentItem(top);
  ListView1->clear();
  fs->SetValue(0);
  fs->SetValueMax(800);
}

void Tfrmmain::NewCompilation() {
  zcdb.ResetCompilation(600000, 20000);
  ResetLayoutView();
}

void Tfrmmain::tvdirClick() {
  QTreeWidgetItem* node = tvdir->currentItem();
  if (!node) return;
  ListView1->clear();
  const TDEntry* dir = NodeDir(node);
  if (!dir) return;
  // Made apart and handed to the view at once: a folder may hold tens of
  // thousands of entries, and the view would update itself for each.
  QList<QTreeWidgetItem*> items;
  static const QString folderType = "Folder";
  for (TFEntry* e = dir->FirstChild; e; e = e->Next) {
    const QString name = Q(e->JolietName);
    const QString ext = e->IsDirectory() ? QString() : ExtensionOf(name);
    auto* item = new LayoutRow(*e, e->IsDirectory() ? folderType : ShellTypeName(ext));
    items.append(item);
    SetEntry(item, e);
    item->setText(0, name);
    item->setIcon(0, e->IsDirectory() ? ClosedFolderIcon() : ShellIconForExtension(ext));
  }
  ListView1->addTopLevelItems(items);
}

void Tfrmmain::ListView1DblClick() {
  const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
  QTreeWidgetItem* node = tvdir->currentItem();
  if (selected.isEmpty() || !node) return;
  // The first selected item in list order.
  QTreeWidgetItem* first = nullptr;
  for (int i = 0; i < ListView1->topLevelItemCount() && !first; ++i)
    if (ListView1->topLevelItem(i)->isSelected()) first = ListView1->topLevelItem(i);
  const TFEntry* e = ItemEntry(first);
  if (!e || !e->IsDirectory()) return;
  for (int i = 0; i < node->childCount(); ++i) {
    if (node->child(i)->text(0) == first->text(0)) {
      tvdir->setCurrentItem(node->child(i));
      tvdirClick();
      return;
    }
  }
}

QTreeWidgetItem* Tfrmmain::AddFolderNode(QTreeWidgetItem* parent, TDEntry* dir, const QString& text) {
  auto* node = parent ? new QTreeWidgetItem(parent, {text}) : new QTreeWidgetItem(tvdir, {text});
  SetEntry(node, dir);
  node->setIcon(0, ClosedFolderIcon());
  return node;
}

void Tfrmmain::btnnewfolderClick() {
  QTreeWidgetItem* node = tvdir->currentItem();
  if (!node) return;
  Tfrmnewfolder dialog(this);
  if (ExecModal(&dialog) != QDialog::Accepted) return;
  const QString name = dialog.FolderName();
  TDEntry* dir = zcdb.CreateDir(NodeDir(node), name.toStdString(), 16);
  if (!dir) return;  // the compilation is full; the component has said why
  QTreeWidgetItem* child = AddFolderNode(node, dir, name);
  tvdir->scrollToItem(child);
  node->setExpanded(true);
  tvdirClick();
}

std::int64_t Tfrmmain::DirectorySize(const TDEntry* dir) const {
  std::int64_t total = 0;
  if (!dir) return 0;
  for (const TFEntry* e = dir->FirstChild; e; e = e->Next)
    total += e->IsDirectory() ? DirectorySize(e->Directory) : e->Size;
  return total;
}

double Tfrmmain::FileSizeMB(const QString& path) const {
  const QFileInfo info(path);
  if (!info.exists()) return 0;
  return static_cast<double>(BytesToMB(info.size()));
}

void Tfrmmain::AddDroppedFolderNode(QTreeWidgetItem* node, TDEntry* dir, const QString& name) {
  if (!dir) return;
  for (TFEntry* e = dir->FirstChild; e; e = e->Next) {
    if (e->IsDirectory() && Q(e->JolietName) == name) {
      QTreeWidgetItem* child = AddFolderNode(node, e->Directory, name);
      AddTreeChildren(child, e->Directory);
      if (node) node->setExpanded(true);
      tvdir->scrollToItem(child);
      return;
    }
  }
}

void Tfrmmain::AddTreeChildren(QTreeWidgetItem* node, TDEntry* dir) {
  if (!dir) return;
  for (TFEntry* e = dir->FirstChild; e; e = e->Next) {
    if (!e->IsDirectory()) continue;
    QTreeWidgetItem* child = AddFolderNode(node, e->Directory, Q(e->JolietName));
    AddTreeChildren(child, e->Directory);
  }
}

std::int64_t Tfrmmain::AddFolderWithProgress(TDEntry* dir, const QString& path, const QString& name) {
  // A folder of a hundred thousand files takes a few seconds: the hint line
  // counts the files as they come and the window keeps repainting; after
  // a moment a progress window offers to stop, keeping what was added.
  QProgressDialog progress(QString("Adding \"%1\"...").arg(name), "Cancel", 0, 0, this);
  progress.setObjectName("AddingProgress");
  progress.setWindowTitle("Adding Files");
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(400);
  progress.setAutoClose(false);
  progress.setAutoReset(false);
  // Starts the clock that shows the window once the minimum duration has
  // passed: a busy bar gets no other value, and without it the window
  // would wait for Qt's default of four seconds.
  progress.setValue(0);
  QElapsedTimer clock;
  clock.start();
  qint64 nextUpdate = 0;
  const image::Compilation& tree = zcdb.Tree();
  const int filesBefore = tree.FileCount() - tree.DirCount();
  std::int64_t seen = 0, bytes = 0;
  bool stopped = false;
  const auto text = [&] { return QString("Adding \"%1\": %L2 files").arg(name).arg(seen); };
  const auto poll = [&] {
    if (clock.elapsed() < nextUpdate) return;
    nextUpdate = clock.elapsed() + 50;
    Label3->setText(text());
    progress.setLabelText(text());
    // Until the progress window is up (it shuts out the rest of the
    // window), what the user does waits: no second drop into a folder
    // being filled.
    QCoreApplication::processEvents(progress.isVisible() ? QEventLoop::AllEvents
                                                         : QEventLoop::ExcludeUserInputEvents);
    stopped = progress.wasCanceled();
  };
  const image::TAddFileEvent givenAddFile = zcdb.OnAddFile;
  const image::TAddDirEvent givenAddDir = zcdb.OnAddDir;
  zcdb.OnAddFile = [&](drive::TObject* sender, const std::string& fullPath, std::string& longName,
                       std::string& shortName, image::TDateTime& date, int attr, std::int64_t size, bool& skip) {
    if (givenAddFile) givenAddFile(sender, fullPath, longName, shortName, date, attr, size, skip);
    if (stopped) {
      skip = true;
      return;
    }
    // The gauge counts the folder as it is on disk, files left out or not.
    bytes += size;
    if (!skip) ++seen;
    poll();
  };
  zcdb.OnAddDir = [&](drive::TObject* sender, std::string& longName, std::string& shortName, bool& skip) {
    if (givenAddDir) givenAddDir(sender, longName, shortName, skip);
    if (stopped) skip = true;
    if (!skip) poll();
  };
  bool full = false;
  const auto givenDebug = zcdb.OnDebugMessage;
  zcdb.OnDebugMessage = [&](drive::TObject* sender, const std::string& message, std::uint8_t type) {
    if (type == 3) full = true;  // a capacity of the compilation reached
    if (givenDebug) givenDebug(sender, message, type);
  };
  zcdb.AddFolder(dir, path.toStdString(), false, true, true, 63, "*.*");
  zcdb.OnAddFile = givenAddFile;
  zcdb.OnAddDir = givenAddDir;
  zcdb.OnDebugMessage = givenDebug;
  const int added = tree.FileCount() - tree.DirCount() - filesBefore;
  QString said = stopped ? QString("Adding \"%1\" stopped: %L2 files added").arg(name).arg(added)
                         : QString("\"%1\": %L2 files added").arg(name).arg(added);
  // The component only logs a full compilation; the person must see that
  // the folder did not go in whole.
  if (full) said += QString(": the compilation is full (%L1 files, %L2 folders at most)").arg(tree.MaxFiles()).arg(tree.MaxDirs());
  Label3->setText(said);
  return bytes;
}

void Tfrmmain::AddDroppedItems(const QObject* source, QTreeWidgetItem* targetNode, bool showAfterEachFile,
                               bool showAtEnd) {
  TDEntry* dir = targetNode ? NodeDir(targetNode) : zcdb.RootDir();
  if (!dir) dir = zcdb.RootDir();
  // The target is held by its entry, not looked up again by path: folders
  // whose names differ only in case share a path that ignores case.
  const auto addFolder = [&](const QString& path, const QString& name) {
    const std::int64_t bytes = AddFolderWithProgress(dir, path, name);
    if (targetNode) SetEntry(targetNode, dir);
    AddDroppedFolderNode(targetNode, dir, name);
    GaugeAdding(static_cast<double>(BytesToMB(bytes)));
  };

  if (ShellListView1->IsDragSource(source)) {
    for (const TShellListView::Item& item : ShellListView1->SelectedItems()) {
      // A folder is walked; anything else is one file. A zip archive is a
      // file here (the file system says so), whatever a desktop shows it as.
      if (QFileInfo(item.path).isDir()) {
        addFolder(item.path, item.name);
      } else {
        zcdb.Tree().AddFileAs(dir, item.path.toStdString(), std::string());
        GaugeAdding(FileSizeMB(item.path));
        if (showAfterEachFile) tvdirClick();
      }
    }
    if (showAtEnd) tvdirClick();
  } else if (source == ShellTreeView1 || source == ShellTreeView1->viewport()) {
    const QString path = ShellTreeView1->Path();
    if (path.isEmpty()) return;
    addFolder(path, ShellTreeView1->SelectedText());
    if (showAtEnd) tvdirClick();
  }
}

void Tfrmmain::ListView1DragDrop(const QObject* source) {
  AddDroppedItems(source, tvdir->currentItem(), false, true);
}

void Tfrmmain::tvdirDragDrop(const QObject* source, QTreeWidgetItem* target) {
  if (!target) target = TopNode();
  AddDroppedItems(source, target, true, false);
}

void Tfrmmain::RebuildLayoutView() {
  ResetLayoutView();
  QTreeWidgetItem* top = TopNode();
  AddTreeChildren(top, zcdb.RootDir());
  if (top && top->childCount() > 0) {
    top->setExpanded(true);
    tvdir->scrollToItem(top->child(0));
    tvdirClick();
  }
  const double capacityMB = static_cast<double>(zcdb.DiscCapacity()) * 2048.0 / 1048576.0;
  fs->SetValueMax(GaugeScaleForCapacity(capacityMB));
  fs->SetValue(static_cast<double>(RoundHalfEven(static_cast<double>(zcdb.NextWritableAddress()) * 2048.0 / 1048576.0)));
}

void Tfrmmain::btnDeleteClick() {
  QTreeWidgetItem* node = tvdir->currentItem();
  if ((ListView1->hasFocus() || DeleteFromList) && node) {
    DeleteFromList = false;
    TDEntry* selectedDir = NodeDir(node);
    const QList<QTreeWidgetItem*> items = ListView1->selectedItems();
    for (QTreeWidgetItem* item : items) {
      TFEntry* e = ItemEntry(item);
      if (!e || !selectedDir) continue;
      if (e->IsDirectory()) {
        const QString name = Q(e->JolietName);
        for (int i = 0; i < node->childCount(); ++i) {
          if (node->child(i)->text(0) == name) {
            delete node->child(i);
            break;
          }
        }
        TDEntry* d = e->Directory;
        GaugeRemoving(static_cast<double>(BytesToMB(DirectorySize(d))));
        if (d) zcdb.RemoveDir(d);
      } else {
        GaugeRemoving(static_cast<double>(BytesToMB(e->Size)));
        zcdb.Tree().RemoveEntry(e);
      }
      delete item;
    }
    return;
  }
  DeleteFromList = false;
  if (!node) return;
  if (node->parent()) {
    TDEntry* d = NodeDir(node);
    GaugeRemoving(static_cast<double>(BytesToMB(DirectorySize(d))));
    zcdb.RemoveDir(d);
    tvdir->setCurrentItem(TopNode());
    tvdirClick();
    delete node;
  } else {
    NewCompilation();
  }
}

}  // namespace velloran::app
