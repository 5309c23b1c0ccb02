// The file-system side of the main window: the folder combo, the folder
// tree and the file list (with its icon, list and details styles), on Qt's
// file-system model; and the layout views that accept drops from them.
#pragma once

#include <QComboBox>
#include <QTreeView>
#include <QTreeWidget>
#include <QWidget>

#include <functional>

class QFileSystemModel;
class QItemSelectionModel;
class QListView;
class QStackedWidget;

namespace velloran::app {

// The folder tree: folders only, from the file system's root, with the
// user's home chosen at start. A click only selects: the tree moves by
// itself only to bring a folder the program chose (SetPath) into sight, and
// keeps it there while the folders load and the tree is laid out, until the
// person scrolls, clicks or types in it.
class TShellTreeView : public QTreeView {
  Q_OBJECT
 public:
  explicit TShellTreeView(QWidget* parent = nullptr);
  QString Path() const;
  // Chooses a folder and brings it into sight; nothing moves when it is
  // already the chosen one. False when the folder does not exist.
  bool SetPath(const QString& path);
  QString SelectedText() const;
  QFileSystemModel* Model() const { return model_; }

 signals:
  void PathChanged(const QString& path);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void startDrag(Qt::DropActions actions) override;

 private:
  void FollowChosen();
  QFileSystemModel* model_;
  bool follow_ = false;  // keep the folder the program chose in sight
};

// The file list: folders and files of one folder, sorted, multi-select.
class TShellListView : public QWidget {
  Q_OBJECT
 public:
  enum class ViewStyle { Icon, List, Report };
  struct Item {
    QString path;  // file-system path
    QString name;  // display name
    bool folder = false;
  };

  explicit TShellListView(QWidget* parent = nullptr);
  QString Path() const { return path_; }
  bool SetPath(const QString& path);
  // The parent of the current folder.
  void GoUp();
  ViewStyle Style() const { return style_; }
  void SetViewStyle(ViewStyle style);
  // The selected items in list order.
  QList<Item> SelectedItems() const;
  // Selects the entries with these names (for keyboard-free use and tests).
  void SelectNames(const QStringList& names);
  // Whether a drag started in one of this list's views.
  bool IsDragSource(const QObject* source) const;
  QFileSystemModel* Model() const { return model_; }
  QTreeView* DetailsView() const { return details_; }
  QListView* IconView() const { return icons_; }

 signals:
  void PathChanged(const QString& path);

 private:
  void Open(const QModelIndex& index);
  QFileSystemModel* model_;
  QItemSelectionModel* selection_;
  QStackedWidget* stack_;
  QTreeView* details_;
  QListView* icons_;
  QString path_;
  ViewStyle style_ = ViewStyle::Report;
};

// The combo above the shell views: the current folder, the home folder and
// the mounted file systems.
class TShellComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TShellComboBox(QWidget* parent = nullptr);
  void SetPath(const QString& path);

 signals:
  void PathChosen(const QString& path);

 protected:
  void showPopup() override;

 private:
  void Refill(const QString& current);
};

// A layout view (tree or list) that takes drops from the shell views only.
class TLayoutView : public QTreeWidget {
  Q_OBJECT
 public:
  explicit TLayoutView(QWidget* parent = nullptr);
  // Whether a drop from this source is accepted.
  std::function<bool(const QObject* source)> acceptsFrom;
  // The drop itself, with the item under the drop point (or none).
  std::function<void(const QObject* source, QTreeWidgetItem* target)> dropped;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void startDrag(Qt::DropActions) override {}
};

}  // namespace velloran::app
