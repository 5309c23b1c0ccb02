// The burn options dialog: volume label, close disc, test write, eject,
// verify, bootable; its Burn button starts the burn and its bar shows the
// progress (then that of the read-back) until the job's end closes it.
#pragma once

#include <QDialog>

class QCheckBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace velloran::app {

class Tfrmmain;

class TfrmBurn : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBurn(Tfrmmain* main);

  QGroupBox* GroupBox1;
  QLineEdit* eVolLabel;
  QCheckBox* cCloseDisc;
  QCheckBox* cTestWrite;
  QCheckBox* cEject;
  QCheckBox* cVerify;
  QCheckBox* cRockRidge;
  QCheckBox* cBootable;
  QLabel* Label2;  // boot image path
  QLabel* Label3;  // status line
  QProgressBar* pcd;
  QPushButton* btnBurn;
  QPushButton* btnCancel;
  QFileDialog* dlg;

  void btnBurnClick();
  void btnCancelClick();
  void cBootableClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  void SetOptionsEnabled(bool enabled);
  Tfrmmain* main_;
};

}  // namespace velloran::app
