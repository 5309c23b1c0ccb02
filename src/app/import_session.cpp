#include "app/import_session.h"

#include "app/formats.h"
#include "app/main_form.h"
#include "app/ui_hooks.h"
#include "drive/byte_order.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cmath>
#include <vector>

namespace velloran::app {

TfrmSessions::TfrmSessions(Tfrmmain* main) : QDialog(nullptr), main_(main) {
  setObjectName("frmSessions");
  setWindowTitle("Disc & Sessions Information");
  setAttribute(Qt::WA_DeleteOnClose, false);

  lb = new QTreeWidget(this);
  lb->setObjectName("lb");
  lb->setRootIsDecorated(false);
  lb->setSelectionBehavior(QAbstractItemView::SelectRows);
  lb->setSelectionMode(QAbstractItemView::SingleSelection);
  lb->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lb->setHeaderLabels({"Session", "Start", "Size"});
  lb->header()->setSectionsClickable(false);
  lb->header()->setStretchLastSection(false);
  for (int c = 0; c < 3; ++c) lb->setColumnWidth(c, 100);
  lb->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  lb->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  QFont mono("Courier New");
  mono.setStyleHint(QFont::TypeWriter);
  mono.setFamilies({"Courier New", QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
  lb->setFont(mono);

  auto* info = new QGroupBox("Disc Info", this);
  info->setObjectName("GroupBox1");
  auto* grid = new QGridLayout(info);
  auto addPair = [&](int row, const QString& caption, QLabel*& value, const char* name) {
    grid->addWidget(new QLabel(caption, info), row, 0);
    value = new QLabel(info);
    value->setObjectName(name);
    grid->addWidget(value, row, 1);
  };
  addPair(0, "Medium Type :", lMedium, "lMedium");
  addPair(1, "Full Capacity :", lDiscSize, "lDiscSize");
  addPair(2, "Used Space :", lUsedSpace, "lUsedSpace");
  addPair(3, "Free Space :", lfreespace, "lfreespace");
  grid->setColumnStretch(1, 1);

  btnRefresh = new QPushButton("Refresh", this);
  btnRefresh->setObjectName("btnRefresh");
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setObjectName("btnCancel");
  btnImport = new QPushButton("Import", this);
  btnImport->setObjectName("btnImport");
  btnImport->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnRefresh);
  buttons->addStretch();
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnImport);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lb, 1);
  layout->addWidget(info);
  layout->addLayout(buttons);
  setFixedSize(340, 360);

  connect(btnRefresh, &QPushButton::clicked, this, &TfrmSessions::FillSessions);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnImport, &QPushButton::clicked, this, &TfrmSessions::btnImportClick);
}

void TfrmSessions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FillSessions();
}

void TfrmSessions::FillSessions() {
  auto& zcdb = main_->zcdb;
  lb->clear();
  drive::TDisc disc{};
  if (!zcdb.GetDiscInfo(disc) || disc.ready == 0) {
    MessageDlg(this, MsgKind::Information, "Error getting session information");
    return;
  }
  std::vector<std::uint8_t> toc(65536);
  std::vector<std::uint8_t> pvd(2048);
  for (int n = disc.firstSession; n <= disc.lastSession && n > 0; ++n) {
    std::fill(toc.begin(), toc.end(), 0);
    int m = 0, s = 0, f = 0, a = 0;
    if (zcdb.ReadTOC(0, toc.data(), 0, true, static_cast<std::uint8_t>(n), 248)) {
      m = toc[9], s = toc[10], f = toc[11];
      a = m * 4500 + s * 75 + f;
    }
    if (a != 0) {
      const std::uint32_t l = static_cast<std::uint32_t>(a - 150);
      const QString start = SessionStartText(m, s, f);
      zcdb.ReadTrackInformation(static_cast<std::uint32_t>(n));
      std::fill(pvd.begin(), pvd.end(), 0);
      const bool read = zcdb.Read10(l + 16, 1, 2048, pvd.data());
      const std::uint32_t volumeBlocks = read ? le::load32(pvd.data() + 80) : 0;
      auto* row = new QTreeWidgetItem(lb);
      if (volumeBlocks != 0) {
        const std::uint32_t blocks = zcdb.TrackInfo.trackSize != 0 ? zcdb.TrackInfo.trackSize : volumeBlocks;
        const std::int64_t mb = RoundHalfEven(static_cast<double>(blocks) * 2048.0 / 1048576.0);
        row->setText(0, QString::asprintf("Session%02d", n));
        row->setText(2, SessionSizeText(mb));
      } else {
        row->setText(0, QString::asprintf(" Session%02d", n));
        row->setText(2, "  ???? Mb");
      }
      row->setText(1, start);
      row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
      row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }
    if (lb->topLevelItemCount() > 0) lb->setCurrentItem(lb->topLevelItem(lb->topLevelItemCount() - 1));
  }
  zcdb.GetDiscInfo(disc);
  const auto mbText = [](std::uint32_t blocks) {
    return GroupedNumber(std::llround(static_cast<double>(blocks) * 2048.0 / 1048576.0)) + " Mb";
  };
  lMedium->setText(QString::fromStdString(drive::mmc::DiscKindNames()[zcdb.GetDiscKind() & 15]));
  lDiscSize->setText(mbText(zcdb.DiscCapacity()));
  lUsedSpace->setText(mbText(zcdb.NextWritableAddress()));
  lfreespace->setText(mbText(zcdb.FreeBlocks()));
}

void TfrmSessions::btnImportClick() {
  QTreeWidgetItem* row = lb->currentItem();
  if (!row || !row->isSelected()) {
    MessageDlg(this, MsgKind::Plain, "Please select session from list");
    return;
  }
  auto& zcdb = main_->zcdb;
  const int position = lb->indexOfTopLevelItem(row) + 1;
  zcdb.ResetCompilation(65535, 8191);
  // A failed import leaves what could be read; the layout shows just that.
  zcdb.ImportSession(static_cast<std::uint8_t>(position), zcdb.RootDir());
  main_->RebuildLayoutView();
  accept();
}

}  // namespace velloran::app
