// The drive capabilities dialog: what the selected drive can read and write,
// as the component last read it. It sends nothing to the drive.
#pragma once

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QLabel;
class QPushButton;

namespace velloran::app {

class Tfrmmain;

class TfrmDevCap : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmDevCap(QWidget* owner);

  // Shows the capability bits, the device line and the maximum speeds.
  void Fill(std::uint32_t capabilities, const QString& deviceId, int maxWriteSpeed, int maxReadSpeed);

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QCheckBox *ReadCDR, *ReadCDRW, *ReadDVDR, *ReadDVDRW, *ReadDVDRAM, *ReadDVDPR, *ReadDVDPRW, *ReadDVD;
  QCheckBox *WriteCDR, *WriteCDRW, *WriteDVDR, *WriteDVDRW, *WriteDVDRAM, *WriteDVDPR, *WriteDVDPRW, *WriteTest;
  QCheckBox* UnderrunProtection;
  QPushButton* btnClose;

  struct Box {
    QCheckBox* TfrmDevCap::*box;
    std::uint32_t bit;
  };
  // Each check box with the capability bit it shows.
  static const Box kBoxes[17];
};

}  // namespace velloran::app
