// The progress dialog of the image jobs and the erase: a status line, a bar
// and Cancel. It stays on top while its job runs; the job's end closes it.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace velloran::app {

class Tfrmmain;

class TfrmProgress : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmProgress(Tfrmmain* main);

  QLabel* Label1;  // status line
  QLabel* Image1;  // header picture
  QProgressBar* pcd;
  QPushButton* btnCancel;
  // Cancel is disabled when the dialog shows while this is set (erase).
  bool NoCancel = false;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void btnCancelClick();
  Tfrmmain* main_;
};

}  // namespace velloran::app
