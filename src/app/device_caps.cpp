#include "app/device_caps.h"

#include "drive/mmc_reply.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace velloran::app {

namespace cap = drive::mmc::cap;

const TfrmDevCap::Box TfrmDevCap::kBoxes[17] = {
    {&TfrmDevCap::ReadCDR, cap::ReadCDR},         {&TfrmDevCap::ReadCDRW, cap::ReadCDRW},
    {&TfrmDevCap::ReadDVDR, cap::ReadDVDR},       {&TfrmDevCap::ReadDVDRW, cap::ReadDVDRW},
    {&TfrmDevCap::ReadDVDRAM, cap::ReadDVDRAM},   {&TfrmDevCap::ReadDVDPR, cap::ReadDVDPR},
    {&TfrmDevCap::ReadDVDPRW, cap::ReadDVDPRW},   {&TfrmDevCap::ReadDVD, cap::ReadDVD},
    {&TfrmDevCap::WriteCDR, cap::WriteCDR},       {&TfrmDevCap::WriteCDRW, cap::WriteCDRW},
    {&TfrmDevCap::WriteDVDR, cap::WriteDVDR},     {&TfrmDevCap::WriteDVDRW, cap::WriteDVDRW},
    {&TfrmDevCap::WriteDVDRAM, cap::WriteDVDRAM}, {&TfrmDevCap::WriteDVDPR, cap::WriteDVDPR},
    {&TfrmDevCap::WriteDVDPRW, cap::WriteDVDPRW}, {&TfrmDevCap::WriteTest, cap::WriteTest},
    {&TfrmDevCap::UnderrunProtection, cap::UnderrunProtection},
};

TfrmDevCap::TfrmDevCap(QWidget* owner) : QDialog(owner) {
  setObjectName("frmDevCap");
  setWindowTitle("Device Capabilities");

  Label1 = new QLabel(this);
  Label1->setObjectName("Label1");
  auto* panel = new QWidget(this);
  panel->setObjectName("Panel1");
  panel->setEnabled(false);  // greyed: a view, not a choice

  auto make = [&](QCheckBox*& box, const char* name, const QString& caption) {
    box = new QCheckBox(caption, panel);
    box->setObjectName(name);
    box->setLayoutDirection(Qt::RightToLeft);  // text to the left of the box
  };
  make(ReadCDR, "ReadCDR", "Read CDR");
  make(ReadCDRW, "ReadCDRW", "Read CDRW");
  make(ReadDVDR, "ReadDVDR", "Read DVD-R");
  make(ReadDVDRW, "ReadDVDRW", "Read DVD-RW");
  make(ReadDVDRAM, "ReadDVDRAM", "Read DVD-RAM");
  make(ReadDVDPR, "ReadDVDPR", "Read DVD+R");
  make(ReadDVDPRW, "ReadDVDPRW", "Read DVD+RW");
  make(ReadDVD, "ReadDVD", "Read DVD");
  make(WriteCDR, "WriteCDR", "Write CDR");
  make(WriteCDRW, "WriteCDRW", "Write CDRW");
  make(WriteDVDR, "WriteDVDR", "Write DVD-R");
  make(WriteDVDRW, "WriteDVDRW", "Write DVD-RW");
  make(WriteDVDRAM, "WriteDVDRAM", "Write DVD-RAM");
  make(WriteDVDPR, "WriteDVDPR", "Write DVD+R");
  make(WriteDVDPRW, "WriteDVDPRW", "Write DVD+RW");
  make(WriteTest, "WriteTest", "Write Test");
  make(UnderrunProtection, "UnderrunProtection", "Underrun Protection");
  QFont bold = UnderrunProtection->font();
  bold.setBold(true);
  UnderrunProtection->setFont(bold);
  Label2 = new QLabel(panel);
  Label2->setObjectName("Label2");
  Label3 = new QLabel(panel);
  Label3->setObjectName("Label3");
  QFont mono("Courier New");
  mono.setStyleHint(QFont::TypeWriter);
  Label2->setFont(mono);
  Label3->setFont(mono);

  auto* grid = new QGridLayout(panel);
  grid->setHorizontalSpacing(24);
  for (int i = 0; i < 8; ++i) {
    grid->addWidget(this->*kBoxes[i].box, i, 0);
    grid->addWidget(this->*kBoxes[8 + i].box, i, 1);
  }
  grid->addWidget(UnderrunProtection, 8, 0, 1, 2);
  grid->addWidget(Label2, 9, 0, 1, 2);
  grid->addWidget(Label3, 10, 0, 1, 2);

  btnClose = new QPushButton("Close", this);
  btnClose->setObjectName("btnClose");
  btnClose->setDefault(true);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(panel);
  layout->addLayout(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(340, 0)));
}

void TfrmDevCap::Fill(std::uint32_t capabilities, const QString& deviceId, int maxWriteSpeed, int maxReadSpeed) {
  for (const Box& b : kBoxes) (this->*b.box)->setChecked((capabilities & b.bit) != 0);
  Label1->setText("  " + deviceId);
  Label2->setText("Max Write Speed   :  " + QString::number(maxWriteSpeed) + " KB/s");
  Label3->setText("Max Read Speed    :  " + QString::number(maxReadSpeed) + " KB/s");
  setFixedSize(sizeHint().expandedTo(QSize(340, 0)));
}

}  // namespace velloran::app
