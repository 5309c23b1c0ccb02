// The new-folder dialog: one name, without the characters a path cannot hold.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace velloran::app {

class Tfrmnewfolder : public QDialog {
  Q_OBJECT
 public:
  explicit Tfrmnewfolder(QWidget* parent = nullptr);

  // The typed name without its surrounding blanks.
  QString FolderName() const;

  QLineEdit* Edit1;
  QPushButton* btnOK;
  QPushButton* btnCancel;

  // Removes \ / : * ? " < > | from a name; everything else passes.
  static QString Filtered(const QString& text);

 private:
  void OKClick();
};

}  // namespace velloran::app
