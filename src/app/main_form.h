// The main window: the command band, the disc layout (tree, list, capacity
// gauge) beside the file-system views, the drive and speed lists, and the
// owned burner component `zcdb`. Its commands are spread over three files:
// main_form.cpp (window, drives, speeds, settings, timer),
// main_form_layout.cpp (editing the compilation) and main_form_commands.cpp
// (burn, erase, eject, image, disc and drive dialogs).
#pragma once

#include "app/capacity_gauge.h"
#include "app/elided_label.h"
#include "app/formats.h"
#include "app/qt_synchronizer.h"
#include "app/shell_views.h"
#include "app/ui_hooks.h"
#include "image/zbCDBC.h"

#include <QFileDialog>
#include <QWidget>

#include <memory>
#include <mutex>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QSplitter;
class QTimer;
class QToolButton;
class QTreeWidgetItem;

namespace velloran::app {

class TfrmBurn;
class TfrmProgress;

// Addresses of the project's pages.
inline constexpr const char* kHomePageUrl = "https://velloran.org/";
inline constexpr const char* kFaqPageUrl = "https://velloran.org/faq.html";

// Names the application for the desktop (settings, desktop entry, icon).
// Window titles stay exactly as each window sets them: no application name
// is appended to them.
void SetUpApplication();

class Tfrmmain : public QWidget {
  Q_OBJECT
 public:
  explicit Tfrmmain(QWidget* parent = nullptr);
  ~Tfrmmain() override;

 private:
  // Declared before the component: destroyed after it, so a worker still
  // ending its job can always reach them.
  mutable std::mutex debugMutex_;
  QStringList debugLog_;
  std::int64_t debugLines_ = 0;  // lines logged in this run, kept or not
  std::int64_t jobLogStart_ = 0;  // the first line of the current job
  QString lastJobError_;          // its last error line (message type 0)
  QtSynchronizer sync_;

 public:
  image::TZCDBurner zcdb;

  // --- Command band ---------------------------------------------------------
  QFrame* CoolBar1;
  QWidget* Panel12;
  QToolButton *btnEject, *btnErase, *btnISO, *btnBurn, *btnHelp, *SpeedButton18, *btnview;
  QLabel *Image1, *Image2;  // the view switch's two pictures (hidden)
  QMenu *PopupMenu1, *PopupMenu2, *PopupMenu3;
  QAction *Icons1, *Lists1, *Details1;
  QAction *BurnFromISOFile1, *SaveasaISOFile1;
  QAction *Topics1, *Homepage1, *FrequentlyAskedQuestions1;

  // --- Layout pane ------------------------------------------------------------
  QWidget* Panel1;
  QToolButton *btnNew, *SpeedButton4, *btnnewfolder, *btnDelete;
  TLayoutView* tvdir;
  TLayoutView* ListView1;
  TSCFloatSlider* fs;

  // --- Shell pane -------------------------------------------------------------
  QWidget* Panel2;
  TShellComboBox* ShellComboBox1;
  QToolButton *SpeedButton1, *SpeedButton2;
  TShellTreeView* ShellTreeView1;
  TShellListView* ShellListView1;

  // --- Status panel -------------------------------------------------------------
  QWidget* Panel10;
  QLabel* lDrive;
  QComboBox* cbDrives;
  QToolButton* SpeedButton3;
  QComboBox* cbSpeed;
  TElidedLabel* Label3;  // hint line

  QSplitter* Splitter1 = nullptr;  // layout pane | shell pane
  QSplitter* Splitter2 = nullptr;  // layout tree | layout list
  QSplitter* Splitter3 = nullptr;  // shell tree | shell list
  QTimer* Timer1;
  QFileDialog* od;
  QFileDialog* sd;
  TfrmProgress* frmProgress;
  TfrmBurn* frmBurn;

  // False: layout pane on the left; True: shell pane on top.
  bool View = false;
  // Where the splitters stand, as shares of the room each divides (the
  // window's outer width or the panes' height between the band and the
  // status panel; a pane's width): kept as the window is resized, moved by
  // the person, and remembered in the settings file.
  double LayoutPaneShare = 0.5;  // layout pane beside the shell pane
  double ShellPaneShare = 0.4;   // shell pane above the layout pane
  double LayoutTreeShare = 0.5;  // layout tree beside the layout list
  double ShellTreeShare = 0.5;   // shell tree beside the shell list
  // The component's diagnostics of this run (most recent last); they may
  // come from its worker threads.
  QStringList DebugLog() const;
  // The diagnostics logged since the current (or last) job started.
  QStringList JobLog() const;

  // --- Window, drives, speeds, settings ------------------------------------------
  void FormShow();
  void cbDrivesChange();
  void cbSpeedDropDown();
  void Timer1Timer();
  void LoadSettings();
  void SaveSettings();
  void ApplyPaneLayout();
  // The size the window opens at without settings: every column of both
  // panes in sight on a 1366 × 768 screen, never larger than the screen.
  QSize FirstSize() const;
  void btnviewClick();
  bool JobRunning() const;

  // --- Compilation editing --------------------------------------------------------
  void ResetLayoutView();
  void NewCompilation();
  void tvdirClick();
  void ListView1DblClick();
  void btnnewfolderClick();
  void btnDeleteClick();
  void ListView1DragDrop(const QObject* source);
  void tvdirDragDrop(const QObject* source, QTreeWidgetItem* target);
  void RebuildLayoutView();
  // Where a drag may come from: the shell list or the shell tree.
  bool AcceptsDragFrom(const QObject* source) const;
  QTreeWidgetItem* TopNode() const;
  image::TDEntry* NodeDir(const QTreeWidgetItem* node) const;
  image::TFEntry* ItemEntry(const QTreeWidgetItem* item) const;
  // When set, Delete works on the list's selection even without focus.
  bool DeleteFromList = false;

  // --- Commands that write ------------------------------------------------------------
  void btnBurnClick();
  void btnEraseClick();
  void btnEjectClick();
  void BurnFromISOFileClick();
  void SaveAsISOFileClick();
  void zcdbWriteDone(const QString& error);
  // What the last verification found, one line per difference.
  QStringList VerifyFailures;
  void zcdbEraseDone(bool withError);
  bool DriveReady();
  // A job starts: its log begins here, and whether it writes to the drive
  // (a burn) or to a file (an image) decides what its end may do.
  void JobStarting(bool toDrive);
  // Warns, naming who, when another program holds the drive (a mounted
  // disc, another burner); true when it does.
  bool DriveHeldElsewhere();
  // Before a burn onto a disc that holds files the compilation did not
  // import: asks whether the new session keeps them, and imports them when
  // it does. False when the burn is not to go on (cancelled, or the disc's
  // files could not be read).
  bool KeepFilesOnDisc();
  // Tells the desktop how a long job ended (burn, verification, erase) when
  // none of the application's windows is active; `text` is the message the
  // window shows.
  void NotifyIfAway(const QString& text, bool failure);
  void SetSpeedFromList();
  void SpeedButton4Click();  // disc information
  void SpeedButton3Click();  // drive capabilities
  // After a layout: how many names the disc shows otherwise and how many
  // entries were left out, on the status line (the log holds each one).
  void ShowNameChanges();
  // Asks whether an existing `file` may be replaced (No unless the person
  // says Yes); true to replace it.
  bool AskToReplace(const QString& file);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void BuildCommandBand();
  void BuildLayoutPane();
  void BuildShellPane();
  void BuildStatusPanel();
  void SetViewGlyph();
  void RestoreGeometry();
  QMargins FrameMargins() const;
  void SplitterMoved(const QSplitter* splitter);
  void GaugeAdding(double mb);
  void GaugeRemoving(double mb);
  void AddDroppedItems(const QObject* source, QTreeWidgetItem* targetNode, bool showAfterEachFile,
                       bool showAtEnd);
  QTreeWidgetItem* AddFolderNode(QTreeWidgetItem* parent, image::TDEntry* dir, const QString& text);
  void AddDroppedFolderNode(QTreeWidgetItem* node, image::TDEntry* dir, const QString& name);
  void AddTreeChildren(QTreeWidgetItem* node, image::TDEntry* dir);
  std::int64_t AddFolderWithProgress(image::TDEntry* dir, const QString& path, const QString& name);
  std::int64_t DirectorySize(const image::TDEntry* dir) const;
  double FileSizeMB(const QString& path) const;
  bool shown_ = false;
  bool closing_ = false;
  bool jobToDrive_ = true;
  // A failed job's message: the text, the reason and the job's log.
  Message JobFailure(const QString& text, const QString& reason) const;
  QString LastJobError() const;
};

}  // namespace velloran::app
