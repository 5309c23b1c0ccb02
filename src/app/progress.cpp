#include "app/progress.h"

#include "app/main_form.h"
#include "app/shell_info.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace velloran::app {

TfrmProgress::TfrmProgress(Tfrmmain* main) : QDialog(main), main_(main) {
  setObjectName("frmProgress");
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setModal(false);

  auto* header = new QWidget(this);
  header->setObjectName("Panel1");
  header->setAutoFillBackground(true);
  QPalette pal = header->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pal.setColor(QPalette::WindowText, Qt::black);
  header->setPalette(pal);
  Label1 = new QLabel(header);
  Label1->setObjectName("Label1");
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Image1 = new QLabel(header);
  Image1->setObjectName("Image1");
  Image1->setPixmap(CdIcon().pixmap(32, 32));
  auto* headerLayout = new QHBoxLayout(header);
  headerLayout->addWidget(Label1, 1);
  headerLayout->addWidget(Image1);

  pcd = new QProgressBar(this);
  pcd->setObjectName("pcd");
  pcd->setTextVisible(false);
  pcd->setRange(0, 100);
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setObjectName("btnCancel");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnCancel);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(10, 8, 10, 10);
  body->addWidget(pcd);
  body->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(header);
  layout->addLayout(body);
  setFixedSize(360, 130);

  connect(btnCancel, &QPushButton::clicked, this, &TfrmProgress::btnCancelClick);
}

void TfrmProgress::showEvent(QShowEvent* event) {
  btnCancel->setEnabled(!NoCancel);
  QDialog::showEvent(event);
}

void TfrmProgress::keyPressEvent(QKeyEvent* event) {
  // Escape would hide the dialog while its job still runs; only the job's
  // end closes it.
  if (event->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(event);
}

void TfrmProgress::closeEvent(QCloseEvent* event) {
  if (main_->JobRunning()) event->ignore();
  else QDialog::closeEvent(event);
}

void TfrmProgress::btnCancelClick() {
  main_->Timer1->stop();
  Label1->setText("Cancelling ...");
  QCoreApplication::processEvents();
  main_->zcdb.Abort();
}

}  // namespace velloran::app
