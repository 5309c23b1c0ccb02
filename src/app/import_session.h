// The disc information dialog: the medium, its full, used and free space,
// one row per session, and the import of a session into the compilation.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace velloran::app {

class Tfrmmain;

class TfrmSessions : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmSessions(Tfrmmain* main);

  QTreeWidget* lb;
  QLabel* lMedium;
  QLabel* lDiscSize;
  QLabel* lUsedSpace;
  QLabel* lfreespace;
  QPushButton* btnRefresh;
  QPushButton* btnCancel;
  QPushButton* btnImport;

  // Reads the disc and fills the list and the labels.
  void FillSessions();
  void btnImportClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  Tfrmmain* main_;
};

}  // namespace velloran::app
