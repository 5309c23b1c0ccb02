#include "app/burn.h"

#include "app/globals.h"
#include "app/main_form.h"
#include "app/ui_hooks.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace velloran::app {

TfrmBurn::TfrmBurn(Tfrmmain* main) : QDialog(main), main_(main) {
  setObjectName("frmBurn");
  setWindowTitle("Burn CD/DVD");

  GroupBox1 = new QGroupBox("Burning Settings ", this);
  GroupBox1->setObjectName("GroupBox1");
  auto* volLabel = new QLabel("Volume Label :", GroupBox1);
  eVolLabel = new QLineEdit(GroupBox1);
  eVolLabel->setObjectName("eVolLabel");
  eVolLabel->setMaxLength(16);
  cCloseDisc = new QCheckBox("Close Disc (Finalize)", GroupBox1);
  cCloseDisc->setObjectName("cCloseDisc");
  cTestWrite = new QCheckBox("Test Write", GroupBox1);
  cTestWrite->setObjectName("cTestWrite");
  cEject = new QCheckBox("Eject after burning done", GroupBox1);
  cEject->setObjectName("cEject");
  cVerify = new QCheckBox("Verify written data", GroupBox1);
  cVerify->setObjectName("cVerify");
  // Short enough for the box's width; the hint tells the rest.
  cRockRidge = new QCheckBox("Rock Ridge (Linux and macOS names)", GroupBox1);
  cRockRidge->setObjectName("cRockRidge");
  cRockRidge->setToolTip("Also records the names as given, permissions, owners, times and links, for Linux and macOS");
  cBootable = new QCheckBox("Bootable", GroupBox1);
  cBootable->setObjectName("cBootable");
  Label2 = new QLabel(GroupBox1);
  Label2->setObjectName("Label2");
  Label2->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* grid = new QGridLayout(GroupBox1);
  grid->addWidget(volLabel, 0, 0);
  grid->addWidget(eVolLabel, 0, 1);
  grid->addWidget(cCloseDisc, 1, 0, 1, 2);
  grid->addWidget(cTestWrite, 2, 0, 1, 2);
  grid->addWidget(cEject, 3, 0, 1, 2);
  grid->addWidget(cVerify, 4, 0, 1, 2);
  grid->addWidget(cRockRidge, 5, 0, 1, 2);
  grid->addWidget(cBootable, 6, 0);
  grid->addWidget(Label2, 6, 1);
  grid->setColumnStretch(1, 1);

  Label3 = new QLabel(this);
  Label3->setObjectName("Label3");
  Label3->setAlignment(Qt::AlignCenter);
  pcd = new QProgressBar(this);
  pcd->setObjectName("pcd");
  pcd->setTextVisible(false);
  pcd->setRange(0, 100);
  pcd->setValue(0);
  btnBurn = new QPushButton("Burn", this);
  btnBurn->setObjectName("btnBurn");
  btnBurn->setDefault(true);
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setObjectName("btnCancel");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnBurn);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(GroupBox1);
  layout->addWidget(Label3);
  layout->addWidget(pcd);
  layout->addLayout(buttons);
  setFixedSize(360, 348);

  dlg = new QFileDialog(this);
  dlg->setObjectName("dlg");
  dlg->setDefaultSuffix("Img");
  dlg->setNameFilters({"All Image Files (*.IMG *.IMA *.BIN *.img *.ima *.bin)", "All Files (*)"});
  dlg->setFileMode(QFileDialog::ExistingFile);
  dlg->setAcceptMode(QFileDialog::AcceptOpen);
  dlg->setOption(QFileDialog::DontUseNativeDialog);

  connect(btnBurn, &QPushButton::clicked, this, &TfrmBurn::btnBurnClick);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmBurn::btnCancelClick);
  connect(cBootable, &QCheckBox::clicked, this, &TfrmBurn::cBootableClick);
}

void TfrmBurn::SetOptionsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{eVolLabel, cCloseDisc, cTestWrite, cEject, cVerify, cRockRidge, cBootable, btnBurn})
    w->setEnabled(enabled);
}

void TfrmBurn::showEvent(QShowEvent* event) {
  SetOptionsEnabled(true);
  btnCancel->setEnabled(true);
  pcd->setValue(0);
  Label3->clear();
  auto& zcdb = main_->zcdb;
  eVolLabel->setText(QString::fromStdString(zcdb.IdVolume));
  cCloseDisc->setChecked(zcdb.FinalizeDisc);
  cTestWrite->setChecked(zcdb.TestWrite);
  cBootable->setChecked(zcdb.Bootable);
  Label2->setText(QString::fromStdString(zcdb.BootImageFile));
  cEject->setChecked(GlobalVars().Eject);
  cVerify->setChecked(GlobalVars().Verify);
  cRockRidge->setChecked(zcdb.RockRidge);
  QDialog::showEvent(event);
}

void TfrmBurn::cBootableClick() {
  if (!cBootable->isChecked()) return;
  dlg->selectFile(Label2->text());
  if (ExecModal(dlg) == QDialog::Accepted && !dlg->selectedFiles().isEmpty())
    Label2->setText(dlg->selectedFiles().front());
  else
    cBootable->setChecked(false);
}

void TfrmBurn::btnBurnClick() {
  auto& zcdb = main_->zcdb;
  zcdb.IdVolume = eVolLabel->text().toStdString();
  zcdb.FinalizeDisc = cCloseDisc->isChecked();
  zcdb.TestWrite = cTestWrite->isChecked();
  zcdb.Bootable = cBootable->isChecked();
  zcdb.BootImageFile = Label2->text().toStdString();
  GlobalVars().Eject = cEject->isChecked();
  GlobalVars().Verify = cVerify->isChecked();
  zcdb.Verify = cVerify->isChecked();
  zcdb.RockRidge = GlobalVars().RockRidge = cRockRidge->isChecked();
  main_->VerifyFailures.clear();

  Label3->setText("Preparing...");
  QCoreApplication::processEvents();
  SetOptionsEnabled(false);
  zcdb.BuildLayout(false, zcdb.RootDir());
  main_->ShowNameChanges();
  pcd->setMaximum(static_cast<int>(std::max<std::int64_t>(1, zcdb.ImageSectors())));
  Label3->setText("Burning ...");
  QCoreApplication::processEvents();
  main_->Timer1->start();
  main_->zcdb.BurnCompilation();
}

void TfrmBurn::btnCancelClick() {
  if (btnBurn->isEnabled()) {
    QDialog::reject();
    return;
  }
  main_->Timer1->stop();
  Label3->setText("Cancelling ...");
  btnCancel->setEnabled(false);
  QCoreApplication::processEvents();
  main_->zcdb.Abort();
}

void TfrmBurn::reject() {
  // Escape and the close box count as Cancel: during a job they only ask it
  // to stop, and the job's end closes the dialog.
  if (btnBurn->isEnabled()) {
    QDialog::reject();
  } else if (btnCancel->isEnabled()) {
    btnCancelClick();
  }
}

}  // namespace velloran::app
