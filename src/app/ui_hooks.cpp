#include "app/ui_hooks.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>

namespace velloran::app {
namespace {

int RealMessage(QWidget* parent, const Message& m) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title = kApplicationTitle;
  switch (m.kind) {
    case MsgKind::Plain: break;
    case MsgKind::Information: icon = QMessageBox::Information, title = QObject::tr("Information"); break;
    case MsgKind::Warning: icon = QMessageBox::Warning, title = QObject::tr("Warning"); break;
    case MsgKind::Confirmation: icon = QMessageBox::Question, title = QObject::tr("Confirm"); break;
  }
  QMessageBox box(icon, title, m.text, m.buttons, parent);
  box.setObjectName("MessageBox");
  if (!m.reason.isEmpty()) box.setInformativeText(m.reason);
  if (!m.details.isEmpty()) box.setDetailedText(m.details);
  if (m.defaultButton != QMessageBox::NoButton) box.setDefaultButton(m.defaultButton);
  return box.exec();
}

UiHooks DefaultHooks() {
  UiHooks h;
  h.message = RealMessage;
  h.modal = [](QDialog* dialog) { return dialog->exec(); };
  h.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return h;
}

}  // namespace

UiHooks& Hooks() {
  static UiHooks hooks = DefaultHooks();
  return hooks;
}

void RestoreDefaultHooks() { Hooks() = DefaultHooks(); }

int MessageDlg(QWidget* parent, MsgKind kind, const QString& text, QMessageBox::StandardButtons buttons) {
  Message m;
  m.kind = kind;
  m.text = text;
  m.buttons = buttons;
  return Hooks().message(parent, m);
}

int MessageDlg(QWidget* parent, const Message& message) { return Hooks().message(parent, message); }

int ExecModal(QDialog* dialog) { return Hooks().modal(dialog); }

bool OpenUrl(const QUrl& url) { return Hooks().openUrl(url); }

}  // namespace velloran::app
