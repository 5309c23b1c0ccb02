#include "app/main_form.h"

#include "app/burn.h"
#include "app/column_fit.h"
#include "app/globals.h"
#include "app/progress.h"
#include "app/shell_info.h"
#include "app/ui_hooks.h"
#include "drive/zbASPI.h"

#include <QActionGroup>
#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

namespace velloran::app {
namespace {

constexpr int kDesignWidth = 691;
constexpr int kDesignHeight = 465;

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback, const QStyle* style) {
  QIcon icon = QIcon::fromTheme(name);
  return icon.isNull() ? style->standardIcon(fallback) : icon;
}

// The view switch's two pictures: the two panes side by side, or stacked.
QPixmap ViewPicture(bool shellOnTop) {
  QPixmap pm(20, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(0x30, 0x30, 0x30));
  if (shellOnTop) {
    p.setBrush(QColor(0xf2, 0xc1, 0x4e));
    p.drawRect(1, 1, 17, 6);
    p.setBrush(QColor(0x6f, 0xa8, 0xdc));
    p.drawRect(1, 8, 17, 6);
  } else {
    p.setBrush(QColor(0x6f, 0xa8, 0xdc));
    p.drawRect(1, 1, 8, 13);
    p.setBrush(QColor(0xf2, 0xc1, 0x4e));
    p.drawRect(10, 1, 8, 13);
  }
  return pm;
}

QToolButton* ToolButton(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                        const QIcon& icon) {
  auto* b = new QToolButton(parent);
  b->setObjectName(name);
  b->setText(caption);
  b->setToolTip(hint);
  b->setStatusTip(hint);
  b->setIcon(icon);
  b->setAutoRaise(true);
  return b;
}

QToolButton* BandButton(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                        const QIcon& icon) {
  auto* b = ToolButton(parent, name, caption, hint, icon);
  b->setIconSize(QSize(24, 24));
  b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  b->setMinimumWidth(58);
  return b;
}

QToolButton* FlatButton(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                        const QIcon& icon) {
  auto* b = ToolButton(parent, name, caption, hint, icon);
  b->setToolButtonStyle(caption.isEmpty() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
  return b;
}

void SetHint(QWidget* w, const QString& hint) {
  w->setToolTip(hint);
  w->setStatusTip(hint);
}

}  // namespace

Tfrmmain::Tfrmmain(QWidget* parent) : QWidget(parent), sync_(this) {
  setObjectName("frmmain");
  setWindowTitle("Velloran DVD/CD Burner");
  QFont font("Tahoma");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);
  resize(kDesignWidth, kDesignHeight);

  zcdb.SetSynchronizer(&sync_);
  zcdb.OnWriteDone = [this](drive::TObject*, const std::string& error) {
    zcdbWriteDone(QString::fromStdString(error));
  };
  zcdb.OnEraseDone = [this](drive::TObject*, bool withError) { zcdbEraseDone(withError); };
  zcdb.OnVerifyDone = [this](drive::TObject*, const std::vector<image::TVerifyMismatch>& mismatches) {
    VerifyFailures.clear();
    for (const auto& m : mismatches) VerifyFailures << QString::fromStdString(image::MismatchLine(m));
  };
  zcdb.OnDebugMessage = [this](drive::TObject*, const std::string& message, std::uint8_t type) {
    std::lock_guard lock(debugMutex_);
    debugLog_.push_back(QString::fromStdString(message));
    if (type == 0) lastJobError_ = debugLog_.back();
    ++debugLines_;
    if (debugLog_.size() > 500) debugLog_.pop_front();
  };

  BuildCommandBand();
  BuildLayoutPane();
  BuildShellPane();
  BuildStatusPanel();

  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setChildrenCollapsible(false);
  Splitter1->addWidget(Panel1);
  Splitter1->addWidget(Panel2);

  for (QSplitter* splitter : {Splitter1, Splitter2, Splitter3})
    connect(splitter, &QSplitter::splitterMoved, this, [this, splitter] { SplitterMoved(splitter); });

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(CoolBar1);
  layout->addWidget(Splitter1, 1);
  layout->addWidget(Panel10);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, &Tfrmmain::Timer1Timer);

  od = new QFileDialog(this);
  od->setObjectName("od");
  od->setDefaultSuffix("iso");
  od->setNameFilters({".ISO Files (*.iso *.ISO)", "All File (*)"});
  od->setFileMode(QFileDialog::ExistingFile);
  od->setAcceptMode(QFileDialog::AcceptOpen);
  od->setOption(QFileDialog::ReadOnly);
  od->setOption(QFileDialog::DontUseNativeDialog);
  sd = new QFileDialog(this);
  sd->setObjectName("sd");
  sd->setNameFilters({"ISO File (*.iso)"});
  sd->setAcceptMode(QFileDialog::AcceptSave);
  // The dialog adds the extension itself, so it asks about overwriting the
  // file that will really be written.
  sd->setDefaultSuffix("iso");
  sd->setFileMode(QFileDialog::AnyFile);
  sd->setOption(QFileDialog::DontUseNativeDialog);  // asks before overwriting

  frmProgress = new TfrmProgress(this);
  frmBurn = new TfrmBurn(this);

  const QString home = QDir::homePath();
  ShellTreeView1->SetPath(home);
  ShellListView1->SetPath(home);
  ShellComboBox1->SetPath(home);
  SetViewGlyph();
}

Tfrmmain::~Tfrmmain() {
  closing_ = true;
  Timer1->stop();
  // A job still running is told to stop; its last events are dropped, and
  // the component's destructor waits for its threads.
  zcdb.Abort();
  sync_.Shutdown();
}

QStringList Tfrmmain::DebugLog() const {
  std::lock_guard lock(debugMutex_);
  return debugLog_;
}

QStringList Tfrmmain::JobLog() const {
  std::lock_guard lock(debugMutex_);
  const std::int64_t first = debugLines_ - debugLog_.size();  // the oldest line kept
  const std::int64_t skip = std::max<std::int64_t>(0, jobLogStart_ - first);
  return debugLog_.mid(static_cast<qsizetype>(std::min<std::int64_t>(skip, debugLog_.size())));
}

void Tfrmmain::JobStarting(bool toDrive) {
  std::lock_guard lock(debugMutex_);
  jobLogStart_ = debugLines_;
  lastJobError_.clear();
  jobToDrive_ = toDrive;
}

void SetUpApplication() {
  QApplication::setApplicationName("velloran-gui");
  QApplication::setDesktopFileName("velloran-gui");
  QApplication::setWindowIcon(QIcon::fromTheme("velloran-gui", CdIcon()));
}

void Tfrmmain::BuildCommandBand() {
  CoolBar1 = new QFrame(this);
  CoolBar1->setObjectName("CoolBar1");
  CoolBar1->setFrameShape(QFrame::StyledPanel);
  Panel12 = new QWidget(CoolBar1);
  Panel12->setObjectName("Panel12");
  const QStyle* st = style();
  btnEject = BandButton(Panel12, "btnEject", "Eject", "Eject Medium", ThemeIcon("media-eject", QStyle::SP_ArrowUp, st));
  btnErase = BandButton(Panel12, "btnErase", "Erase", "Erase Medium", ThemeIcon("edit-clear", QStyle::SP_TrashIcon, st));
  btnISO = BandButton(Panel12, "btnISO", "ISO Image", "Build or Burn ISO files",
                      ThemeIcon("media-optical", QStyle::SP_DriveCDIcon, st));
  btnBurn = BandButton(Panel12, "btnBurn", "Burn Now", "Burn Now", CdIcon());
  QFont bold = btnBurn->font();
  bold.setBold(true);
  btnBurn->setFont(bold);
  btnHelp = BandButton(Panel12, "btnHelp", "Help", "Help", ThemeIcon("help-browser", QStyle::SP_DialogHelpButton, st));
  SpeedButton18 = BandButton(Panel12, "SpeedButton18", "Exit", "Quit",
                             ThemeIcon("application-exit", QStyle::SP_DialogCloseButton, st));
  btnview = new QToolButton(CoolBar1);
  btnview->setObjectName("btnview");
  btnview->setAutoRaise(true);
  btnview->setIconSize(QSize(20, 16));
  Image1 = new QLabel(CoolBar1);
  Image1->setObjectName("Image1");
  Image1->setPixmap(ViewPicture(true));
  Image1->hide();
  Image2 = new QLabel(CoolBar1);
  Image2->setObjectName("Image2");
  Image2->setPixmap(ViewPicture(false));
  Image2->hide();

  auto* buttons = new QHBoxLayout(Panel12);
  buttons->setContentsMargins(2, 2, 2, 2);
  buttons->setSpacing(2);
  for (QToolButton* b : {btnEject, btnErase, btnISO, btnBurn, btnHelp, SpeedButton18}) buttons->addWidget(b);
  auto* band = new QHBoxLayout(CoolBar1);
  band->setContentsMargins(0, 0, 4, 0);
  band->addWidget(Panel12);
  band->addStretch();  // keeps btnview at the band's right edge
  band->addWidget(btnview);

  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  BurnFromISOFile1 = PopupMenu2->addAction("Burn From ISO File");
  BurnFromISOFile1->setObjectName("BurnFromISOFile1");
  SaveasaISOFile1 = PopupMenu2->addAction("Save as a ISO File");
  SaveasaISOFile1->setObjectName("SaveasaISOFile1");
  PopupMenu3 = new QMenu(this);
  PopupMenu3->setObjectName("PopupMenu3");
  Topics1 = PopupMenu3->addAction("Topics");
  Topics1->setObjectName("Topics1");
  Homepage1 = PopupMenu3->addAction("Homepage");
  Homepage1->setObjectName("Homepage1");
  FrequentlyAskedQuestions1 = PopupMenu3->addAction("Frequently Asked Questions");
  FrequentlyAskedQuestions1->setObjectName("FrequentlyAskedQuestions1");

  auto popupBelow = [](QToolButton* button, QMenu* menu) {
    menu->popup(button->mapToGlobal(QPoint(0, button->height())));
  };
  connect(btnISO, &QToolButton::clicked, this, [=, this] { popupBelow(btnISO, PopupMenu2); });
  connect(btnHelp, &QToolButton::clicked, this, [=, this] { popupBelow(btnHelp, PopupMenu3); });
  connect(btnEject, &QToolButton::clicked, this, &Tfrmmain::btnEjectClick);
  connect(btnErase, &QToolButton::clicked, this, &Tfrmmain::btnEraseClick);
  connect(btnBurn, &QToolButton::clicked, this, &Tfrmmain::btnBurnClick);
  connect(SpeedButton18, &QToolButton::clicked, this, &QWidget::close);
  connect(btnview, &QToolButton::clicked, this, &Tfrmmain::btnviewClick);
  connect(BurnFromISOFile1, &QAction::triggered, this, &Tfrmmain::BurnFromISOFileClick);
  connect(SaveasaISOFile1, &QAction::triggered, this, &Tfrmmain::SaveAsISOFileClick);
  connect(Topics1, &QAction::triggered, this, [this] {
    // The help page shipped beside the program, named like it.
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + ".html";
    QString page = ProgramDataFile(name);
    if (page.isEmpty()) page = ProgramDataFile("velloran-gui.html");
    if (page.isEmpty() || !OpenUrl(QUrl::fromLocalFile(page)))
      MessageDlg(this, MsgKind::Warning, "The help page could not be opened.");
  });
  connect(Homepage1, &QAction::triggered, this, [] { OpenUrl(QUrl(kHomePageUrl)); });
  connect(FrequentlyAskedQuestions1, &QAction::triggered, this, [] { OpenUrl(QUrl(kFaqPageUrl)); });
}

void Tfrmmain::BuildLayoutPane() {
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  auto* caption = new QLabel("CD Layout:", Panel1);
  caption->setObjectName("Label1");
  QFont bold = caption->font();
  bold.setBold(true);
  caption->setFont(bold);
  const QStyle* st = style();
  btnNew = FlatButton(Panel1, "btnNew", "", "Clear all items in CD/DVD layout",
                      ThemeIcon("document-new", QStyle::SP_FileIcon, st));
  SpeedButton4 = FlatButton(Panel1, "SpeedButton4", "Disc Information", "Import previous session",
                            ThemeIcon("media-optical", QStyle::SP_DriveCDIcon, st));
  btnnewfolder = FlatButton(Panel1, "btnnewfolder", "", "Create a new directory ",
                            ThemeIcon("folder-new", QStyle::SP_FileDialogNewFolder, st));
  btnDelete = FlatButton(Panel1, "btnDelete", "", "Delete selected item",
                         ThemeIcon("edit-delete", QStyle::SP_DialogDiscardButton, st));

  tvdir = new TLayoutView(Panel1);
  tvdir->setObjectName("tvdir");
  tvdir->setHeaderHidden(true);
  tvdir->setRootIsDecorated(false);
  tvdir->setSelectionMode(QAbstractItemView::SingleSelection);
  tvdir->setUniformRowHeights(true);
  // Deep folders scroll sideways rather than cutting their names short.
  tvdir->header()->setStretchLastSection(false);
  tvdir->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  SetHint(tvdir, "Drag && Drop folders or files here");

  ListView1 = new TLayoutView(Panel1);
  ListView1->setObjectName("ListView1");
  ListView1->setRootIsDecorated(false);
  ListView1->setItemsExpandable(false);
  // Every row is one line with a small icon: the view need not measure
  // each of a folder's thousands of rows to lay them out and scroll.
  ListView1->setUniformRowHeights(true);
  ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1->setHeaderLabels({"Name", "Size", "Type", "Date Modified"});
  ListView1->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  KeepColumnsFitted(ListView1, kFileColumnsGiveWay);
  SetHint(ListView1, "Drag && Drop folders or files here");

  for (TLayoutView* v : {tvdir, ListView1})
    v->acceptsFrom = [this](const QObject* source) { return AcceptsDragFrom(source); };
  ListView1->dropped = [this](const QObject* source, QTreeWidgetItem*) { ListView1DragDrop(source); };
  tvdir->dropped = [this](const QObject* source, QTreeWidgetItem* target) { tvdirDragDrop(source, target); };

  Splitter2 = new QSplitter(Qt::Horizontal, Panel1);
  Splitter2->setObjectName("Splitter2");
  Splitter2->setChildrenCollapsible(false);
  Splitter2->addWidget(tvdir);
  Splitter2->addWidget(ListView1);

  fs = new TSCFloatSlider(Panel1);
  fs->setObjectName("fs");

  auto* tools = new QHBoxLayout;
  tools->setSpacing(2);
  tools->addWidget(caption);
  tools->addStretch();
  for (QToolButton* b : {btnNew, SpeedButton4, btnnewfolder, btnDelete}) tools->addWidget(b);
  auto* layout = new QVBoxLayout(Panel1);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(3);
  layout->addLayout(tools);
  layout->addWidget(Splitter2, 1);
  layout->addWidget(fs);

  connect(btnNew, &QToolButton::clicked, this, &Tfrmmain::NewCompilation);
  connect(SpeedButton4, &QToolButton::clicked, this, &Tfrmmain::SpeedButton4Click);
  connect(btnnewfolder, &QToolButton::clicked, this, &Tfrmmain::btnnewfolderClick);
  connect(btnDelete, &QToolButton::clicked, this, &Tfrmmain::btnDeleteClick);
  // The button must not take the focus: where it is says what to delete.
  btnDelete->setFocusPolicy(Qt::NoFocus);
  connect(tvdir, &QTreeWidget::itemClicked, this, [this] { tvdirClick(); });
  connect(tvdir, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (current && current != TopNode()) current->setIcon(0, OpenFolderIcon());
    if (previous && previous != TopNode()) previous->setIcon(0, ClosedFolderIcon());
    tvdirClick();
  });
  connect(ListView1, &QTreeWidget::itemDoubleClicked, this, [this] { ListView1DblClick(); });
}

void Tfrmmain::BuildShellPane() {
  Panel2 = new QWidget(this);
  Panel2->setObjectName("Panel2");
  ShellComboBox1 = new TShellComboBox(Panel2);
  ShellComboBox1->setObjectName("ShellComboBox1");
  const QStyle* st = style();
  SpeedButton1 = FlatButton(Panel2, "SpeedButton1", "", "Up one level", st->standardIcon(QStyle::SP_FileDialogToParent));
  SpeedButton2 = FlatButton(Panel2, "SpeedButton2", "", "Views", st->standardIcon(QStyle::SP_FileDialogDetailedView));
  ShellTreeView1 = new TShellTreeView(Panel2);
  ShellTreeView1->setObjectName("ShellTreeView1");
  ShellListView1 = new TShellListView(Panel2);
  ShellListView1->setObjectName("ShellListView1");

  Splitter3 = new QSplitter(Qt::Horizontal, Panel2);
  Splitter3->setObjectName("Splitter3");
  Splitter3->setChildrenCollapsible(false);
  Splitter3->addWidget(ShellTreeView1);
  Splitter3->addWidget(ShellListView1);

  auto* top = new QHBoxLayout;
  top->setSpacing(2);
  top->addWidget(ShellComboBox1, 1);
  top->addWidget(SpeedButton1);
  top->addWidget(SpeedButton2);
  auto* layout = new QVBoxLayout(Panel2);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(3);
  layout->addLayout(top);
  layout->addWidget(Splitter3, 1);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  auto* group = new QActionGroup(this);
  group->setExclusive(true);
  Icons1 = PopupMenu1->addAction("Icons");
  Icons1->setObjectName("Icons1");
  Lists1 = PopupMenu1->addAction("Lists");
  Lists1->setObjectName("Lists1");
  Details1 = PopupMenu1->addAction("Details");
  Details1->setObjectName("Details1");
  for (QAction* a : {Icons1, Lists1, Details1}) {
    a->setCheckable(true);
    group->addAction(a);
  }
  Details1->setChecked(true);
  connect(Icons1, &QAction::triggered, this, [this] { ShellListView1->SetViewStyle(TShellListView::ViewStyle::Icon); });
  connect(Lists1, &QAction::triggered, this, [this] { ShellListView1->SetViewStyle(TShellListView::ViewStyle::List); });
  connect(Details1, &QAction::triggered, this,
          [this] { ShellListView1->SetViewStyle(TShellListView::ViewStyle::Report); });
  connect(SpeedButton2, &QToolButton::clicked, this,
          [this] { PopupMenu1->popup(SpeedButton2->mapToGlobal(QPoint(0, SpeedButton2->height()))); });
  connect(SpeedButton1, &QToolButton::clicked, this, [this] { ShellListView1->GoUp(); });

  // The combo, the tree and the list follow the folder chosen in any of them.
  connect(ShellTreeView1, &TShellTreeView::PathChanged, this, [this](const QString& path) {
    ShellListView1->SetPath(path);
    ShellComboBox1->SetPath(path);
  });
  connect(ShellListView1, &TShellListView::PathChanged, this, [this](const QString& path) {
    ShellTreeView1->SetPath(path);
    ShellComboBox1->SetPath(path);
  });
  connect(ShellComboBox1, &TShellComboBox::PathChosen, this, [this](const QString& path) {
    ShellTreeView1->SetPath(path);
    ShellListView1->SetPath(path);
  });
}

void Tfrmmain::BuildStatusPanel() {
  Panel10 = new QWidget(this);
  Panel10->setObjectName("Panel10");
  lDrive = new QLabel(" Drive :", Panel10);
  lDrive->setObjectName("lDrive");
  cbDrives = new QComboBox(Panel10);
  cbDrives->setObjectName("cbDrives");
  cbDrives->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbDrives->setMinimumContentsLength(28);
  SpeedButton3 = FlatButton(Panel10, "SpeedButton3", "", "Display Drive Capabilities",
                            style()->standardIcon(QStyle::SP_MessageBoxInformation));
  auto* speedLabel = new QLabel("Speed :", Panel10);
  speedLabel->setObjectName("Label2");
  cbSpeed = new QComboBox(Panel10);
  cbSpeed->setObjectName("cbSpeed");
  cbSpeed->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbSpeed->setMinimumContentsLength(16);
  auto* bevel = new QFrame(Panel10);
  bevel->setObjectName("Bevel1");
  bevel->setFrameShape(QFrame::StyledPanel);
  bevel->setFrameShadow(QFrame::Sunken);
  Label3 = new TElidedLabel(bevel);
  Label3->setObjectName("Label3");
  auto* bevelLayout = new QHBoxLayout(bevel);
  bevelLayout->setContentsMargins(4, 1, 4, 1);
  bevelLayout->addWidget(Label3);

  auto* layout = new QHBoxLayout(Panel10);
  layout->setContentsMargins(4, 3, 4, 3);
  layout->addWidget(lDrive);
  layout->addWidget(cbDrives);
  layout->addWidget(SpeedButton3);
  layout->addSpacing(6);
  layout->addWidget(speedLabel);
  layout->addWidget(cbSpeed);
  layout->addWidget(bevel, 1);

  connect(cbDrives, &QComboBox::activated, this, [this] { cbDrivesChange(); });
  // Every choice in the speed list probes the drive again.
  connect(cbSpeed, &QComboBox::activated, this, [this] { cbSpeedDropDown(); });
  connect(SpeedButton3, &QToolButton::clicked, this, &Tfrmmain::SpeedButton3Click);
}

bool Tfrmmain::event(QEvent* e) {
  if (e->type() == QEvent::StatusTip) {
    // The hint line shows the long part of the hint under the mouse.
    Label3->setText(HintLongPart(static_cast<QStatusTipEvent*>(e)->tip()));
    return true;
  }
  return QWidget::event(e);
}

void Tfrmmain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (shown_) return;
  shown_ = true;
  RestoreGeometry();
  FormShow();
}

QSize Tfrmmain::FirstSize() const {
  // The outer size: a 1366 x 768 screen's room, or the room there is.
  QRect room(0, 0, 1366, 768);
  if (const QScreen* s = screen()) room = s->availableGeometry();
  const QSize outer(std::min(room.width(), 1366), std::min(room.height(), 768));
  const QMargins frame = FrameMargins();
  return {outer.width() - frame.left() - frame.right(), outer.height() - frame.top() - frame.bottom()};
}

QMargins Tfrmmain::FrameMargins() const {
  // The window manager's frame is known only once the window is on the
  // screen: allow for a title bar and thin borders until then.
  const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  if (!frame.isNull()) return frame;
  const int border = 4;
  return {border, style()->pixelMetric(QStyle::PM_TitleBarHeight) + border, border, border};
}

void Tfrmmain::RestoreGeometry() {
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  // Qt's own record keeps the window's inner size apart from the frame, so a
  // window reopens at exactly the size it closed with (the outer values of
  // "Top" to "Height" would grow it by its frame at every start), and it
  // puts a window whose screen has gone back on one that is there.
  const QByteArray saved = ini.value("Form/Geometry").toByteArray();
  if (!saved.isEmpty() && restoreGeometry(saved)) return;
  resize(FirstSize());
  if (const QScreen* screen = this->screen()) {
    // Centred with its frame (a window's position is its frame's).
    const QRect room = screen->availableGeometry();
    const QMargins frame = FrameMargins();
    const QSize outer = size().grownBy(frame);
    move(room.x() + (room.width() - outer.width()) / 2, room.y() + (room.height() - outer.height()) / 2);
  }
}

void Tfrmmain::FormShow() {
  setWindowTitle("Velloran DVD/CD Burner 3.38");
  zcdb.InitializeASPI(true, "");
  if (!drive::ASPIInitialized()) {
    Message error;
    error.text = QString("Error initializing ASPI Layer, Please visit support page, ") + kFaqPageUrl +
                 " for more information.";
    // A drive that is there but refused to open (no permission, held by
    // another program) says so: the support page cannot know it.
    QStringList notes;
    for (const std::string& note : zcdb.DriveNotes) notes << QString::fromStdString(note);
    error.reason = notes.join("\n");
    MessageDlg(this, error);
    return;
  }
  if (!zcdb.Devices.empty()) {
    cbDrives->clear();
    for (const std::string& line : zcdb.Devices) cbDrives->addItem(QString::fromStdString(line));
    cbDrives->setCurrentIndex(0);
    cbDrivesChange();
  }
  cbSpeedDropDown();
  zcdb.JolietFileSystem = true;
  zcdb.SetLastFolderOnly(true);
  zcdb.SetCacheSize(4194304);
  zcdb.PerformOPC = true;
  zcdb.UnderrunProtection = true;
  // A failed job's message carries its log: with the layout it built and
  // the drive command that failed.
  zcdb.DoDebug = true;
  // The application's own capacities from the start, not the component's
  // smaller defaults: a folder of a hundred thousand photos dropped on a
  // freshly opened window must go in whole, not stop silently part way.
  NewCompilation();
  LoadSettings();
  SetViewGlyph();
  ApplyPaneLayout();
  const QString last = GlobalVars().LastOpenDir;
  if (!last.isEmpty() && QFileInfo(last).isDir()) ShellTreeView1->SetPath(last);
}

void Tfrmmain::cbDrivesChange() {
  const QString id = cbDrives->currentText();
  zcdb.SetDevice(id.toStdString());
  cbDrives->setToolTip(id);
  cbDrives->setStatusTip(id);
  const char letter = zcdb.DriveLetter();
  lDrive->setText(letter != '\0' ? QString("Drive %1:").arg(QChar(letter)) : QString("  Drive :"));
}

void Tfrmmain::cbSpeedDropDown() {
  const std::uint8_t kind = zcdb.GetDiscKind();
  const bool cd = kind < 4;
  const int step = cd ? 176 : 700;
  const int selected = cbSpeed->currentIndex();
  QSignalBlocker block(cbSpeed);
  cbSpeed->clear();
  cbSpeed->addItem("Max");
  for (int s = zcdb.MaxWriteSpeed(); s > 0; s -= step) {
    zcdb.SetWriteSpeed(static_cast<std::uint16_t>(s));
    const QString entry = SpeedEntryText(kind, zcdb.CurrentWriteSpeed());
    if (cbSpeed->findText(entry, Qt::MatchExactly) < 0) cbSpeed->addItem(entry);
  }
  cbSpeed->setCurrentIndex(selected >= 0 && selected < cbSpeed->count() ? selected : 0);
}

bool Tfrmmain::JobRunning() const { return zcdb.Writing() || zcdb.Erasing(); }

void Tfrmmain::Timer1Timer() {
  if (zcdb.Erasing()) {
    if (frmProgress->isVisible()) {
      if (zcdb.EraseProgressFromDrive()) {
        frmProgress->pcd->setRange(0, 100);
        frmProgress->pcd->setValue(std::clamp(zcdb.EraseProgress(), 0, 100));
      } else {
        // No figure from the drive: an estimate of the time would sit near
        // the start and then jump, so the bar only shows that work goes on.
        frmProgress->pcd->setRange(0, 0);
      }
    }
    return;
  }
  if (zcdb.Verifying()) {
    // The disc is read back: the bar shows that, and Cancel stops it.
    const std::int64_t total = std::max<std::int64_t>(1, zcdb.VerifyBytesTotal());
    const int value = static_cast<int>(std::min<std::int64_t>(1000, zcdb.VerifyBytesDone() * 1000 / total));
    QProgressBar* bar = frmBurn->isVisible() ? frmBurn->pcd : frmProgress->isVisible() ? frmProgress->pcd : nullptr;
    if (!bar) return;
    bar->setMaximum(1000);
    bar->setValue(value);
    if (frmBurn->isVisible()) {
      frmBurn->Label3->setText("Verifying ...");
      frmBurn->btnCancel->setEnabled(true);
    } else {
      frmProgress->Label1->setText("Verifying ...");
      frmProgress->btnCancel->setEnabled(true);
    }
    return;
  }
  const auto position = [this](QProgressBar* bar) {
    const std::int64_t sectors = zcdb.BytesWritten() / 2048;
    bar->setValue(static_cast<int>(std::min<std::int64_t>(sectors, bar->maximum())));
    return sectors >= bar->maximum();
  };
  if (frmBurn->isVisible()) {
    if (position(frmBurn->pcd)) {
      frmBurn->Label3->setText("Closing Session ...");
      frmBurn->btnCancel->setEnabled(false);
    }
  } else if (frmProgress->isVisible()) {
    if (position(frmProgress->pcd)) frmProgress->btnCancel->setEnabled(false);
  }
}

void Tfrmmain::LoadSettings() {
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  auto& g = GlobalVars();
  const QRect frame = frameGeometry();
  g.Top = ini.value("Form/Top", frame.top()).toInt();
  g.Left = ini.value("Form/Left", frame.left()).toInt();
  g.Width = ini.value("Form/Width", frame.width()).toInt();
  g.Height = ini.value("Form/Height", frame.height()).toInt();
  g.Maximized = ini.value("Form/Maximized", false).toBool();
  View = ini.value("Form/View", false).toBool();
  const auto share = [&](const char* key, double fallback) {
    bool ok = false;
    const double v = ini.value(key).toDouble(&ok);
    return ok && v >= 0.05 && v <= 0.95 ? v : fallback;
  };
  LayoutPaneShare = share("Form/LayoutPaneShare", LayoutPaneShare);
  ShellPaneShare = share("Form/ShellPaneShare", ShellPaneShare);
  LayoutTreeShare = share("Form/LayoutTreeShare", LayoutTreeShare);
  ShellTreeShare = share("Form/ShellTreeShare", ShellTreeShare);
  g.LastOpenDir = ini.value("Shell/LastOpenDir", QString()).toString();
  g.Eject = ini.value("Burning/Eject", true).toBool();
  g.Verify = ini.value("Burning/Verify", false).toBool();
  g.RockRidge = ini.value("Burning/RockRidge", true).toBool();
  zcdb.RockRidge = g.RockRidge;
}

void Tfrmmain::SaveSettings() {
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  if (!isMaximized()) {
    const QRect frame = frameGeometry();
    ini.setValue("Form/Top", frame.top());
    ini.setValue("Form/Left", frame.left());
    ini.setValue("Form/Width", frame.width());
    ini.setValue("Form/Height", frame.height());
  }
  ini.setValue("Form/Maximized", isMaximized());
  ini.setValue("Form/Geometry", saveGeometry());
  ini.setValue("Form/View", View);
  ini.setValue("Form/LayoutPaneShare", LayoutPaneShare);
  ini.setValue("Form/ShellPaneShare", ShellPaneShare);
  ini.setValue("Form/LayoutTreeShare", LayoutTreeShare);
  ini.setValue("Form/ShellTreeShare", ShellTreeShare);
  QString path = ShellTreeView1->Path();
  if (path.right(7).toUpper() == "DESKTOP") path.clear();
  ini.setValue("Shell/LastOpenDir", path);
  ini.setValue("Burning/Eject", GlobalVars().Eject);
  ini.setValue("Burning/Verify", GlobalVars().Verify);
  ini.setValue("Burning/RockRidge", GlobalVars().RockRidge);
  ini.sync();  // a failure to write is not the user's concern at close
}

void Tfrmmain::closeEvent(QCloseEvent* e) {
  SaveSettings();
  QWidget::closeEvent(e);
}

void Tfrmmain::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  ApplyPaneLayout();
}

void Tfrmmain::ApplyPaneLayout() {
  if (!Splitter1) return;
  // The splitter fills the window between the band and the status panel;
  // its own size may not have followed a resize yet, so work from the
  // window's.
  const QRect frame = frameGeometry();
  const int handle = Splitter1->handleWidth();
  const int paneWidth = width();
  const int paneHeight = std::max(0, height() - CoolBar1->sizeHint().height() - Panel10->sizeHint().height());
  int layoutWidth, shellWidth;
  if (!View) {
    Splitter1->setOrientation(Qt::Horizontal);
    Splitter1->insertWidget(0, Panel1);
    layoutWidth = static_cast<int>(RoundHalfEven(frame.width() * LayoutPaneShare));
    shellWidth = std::max(0, paneWidth - handle - layoutWidth);
    Splitter1->setSizes({layoutWidth, shellWidth});
  } else {
    Splitter1->setOrientation(Qt::Vertical);
    Splitter1->insertWidget(0, Panel2);
    const int shellHeight = static_cast<int>(
        RoundHalfEven((frame.height() - CoolBar1->sizeHint().height() - Panel10->sizeHint().height()) * ShellPaneShare));
    Splitter1->setSizes({shellHeight, std::max(0, paneHeight - handle - shellHeight)});
    layoutWidth = shellWidth = paneWidth;
  }
  const int shellTree = static_cast<int>(RoundHalfEven(shellWidth * ShellTreeShare));
  Splitter3->setSizes({shellTree, std::max(0, shellWidth - shellTree)});
  const int layoutTree = static_cast<int>(RoundHalfEven(layoutWidth * LayoutTreeShare));
  Splitter2->setSizes({layoutTree, std::max(0, layoutWidth - layoutTree)});
}

void Tfrmmain::SplitterMoved(const QSplitter* splitter) {
  const QList<int> sizes = splitter->sizes();
  if (sizes.size() != 2 || sizes[0] + sizes[1] <= 0) return;
  const auto clamp = [](double share) { return std::clamp(share, 0.05, 0.95); };
  if (splitter == Splitter1) {
    // The same rooms ApplyPaneLayout divides.
    const QRect frame = frameGeometry();
    if (!View) {
      if (frame.width() > 0) LayoutPaneShare = clamp(static_cast<double>(sizes[0]) / frame.width());
    } else {
      const int room = frame.height() - CoolBar1->sizeHint().height() - Panel10->sizeHint().height();
      if (room > 0) ShellPaneShare = clamp(static_cast<double>(sizes[0]) / room);
    }
  } else {
    const double share = clamp(static_cast<double>(sizes[0]) / (sizes[0] + sizes[1]));
    (splitter == Splitter2 ? LayoutTreeShare : ShellTreeShare) = share;
  }
}

void Tfrmmain::SetViewGlyph() { btnview->setIcon(QIcon((View ? Image1 : Image2)->pixmap())); }

void Tfrmmain::btnviewClick() {
  View = !View;
  ApplyPaneLayout();
  SetViewGlyph();
}

}  // namespace velloran::app
