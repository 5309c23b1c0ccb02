#include "app/newfolder.h"

#include "app/ui_hooks.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace velloran::app {

Tfrmnewfolder::Tfrmnewfolder(QWidget* parent) : QDialog(parent) {
  setObjectName("frmnewfolder");
  setWindowTitle("Input new directory name");
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName("Edit1");
  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setObjectName("btnCancel");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Edit1);
  layout->addLayout(buttons);
  setFixedWidth(300);

  // Characters are dropped as they are typed or pasted, so the name the
  // user sees is the name the compilation gets.
  connect(Edit1, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QString clean = Filtered(text);
    if (clean == text) return;
    const int removedBefore = text.left(Edit1->cursorPosition()).size() -
                              Filtered(text.left(Edit1->cursorPosition())).size();
    const int pos = Edit1->cursorPosition() - removedBefore;
    Edit1->setText(clean);
    Edit1->setCursorPosition(pos);
  });
  connect(btnOK, &QPushButton::clicked, this, &Tfrmnewfolder::OKClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString Tfrmnewfolder::Filtered(const QString& text) {
  static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
  QString out;
  out.reserve(text.size());
  for (QChar c : text)
    if (!forbidden.contains(c)) out += c;
  return out;
}

QString Tfrmnewfolder::FolderName() const { return Edit1->text().trimmed(); }

void Tfrmnewfolder::OKClick() {
  if (FolderName().isEmpty()) {
    MessageDlg(this, MsgKind::Warning, "Please input new directory name.");
    return;
  }
  accept();
}

}  // namespace velloran::app
