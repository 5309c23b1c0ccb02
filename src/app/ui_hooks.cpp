#include "app/ui_hooks.h"

#include "app/desktop_notify.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDrag>
#include <QPointer>
#include <QScrollBar>
#include <QTextEdit>

namespace velloran::app {

QMessageBox* NewMessageBox(QWidget* parent, const Message& m) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title = kApplicationTitle;
  switch (m.kind) {
    case MsgKind::Plain: break;
    case MsgKind::Information: icon = QMessageBox::Information, title = QObject::tr("Information"); break;
    case MsgKind::Warning: icon = QMessageBox::Warning, title = QObject::tr("Warning"); break;
    case MsgKind::Confirmation: icon = QMessageBox::Question, title = QObject::tr("Confirm"); break;
  }
  auto* box = new QMessageBox(icon, title, m.text, m.buttons, parent);
  box->setObjectName("MessageBox");
  if (!m.reason.isEmpty()) box->setInformativeText(m.reason);
  if (!m.details.isEmpty()) {
    box->setDetailedText(m.details);
    // A job's log: long lines (a failed command's bytes), read from the
    // end, where the failure is, and from the left, where each line says
    // what it is.
    if (auto* area = box->findChild<QTextEdit*>()) {
      area->setLineWrapMode(QTextEdit::NoWrap);
      // (The box gives its details a fixed height of a few lines.)
      area->setMinimumWidth(560);
      area->setFixedHeight(220);
      area->moveCursor(QTextCursor::End);
      area->moveCursor(QTextCursor::StartOfLine);
      // Laid out only when first shown: the end is in sight once the text
      // has its height.
      QScrollBar* bar = area->verticalScrollBar();
      QObject::connect(bar, &QScrollBar::rangeChanged, area, [bar](int, int max) { bar->setValue(max); });
    }
  }
  if (m.defaultButton != QMessageBox::NoButton) box->setDefaultButton(m.defaultButton);
  return box;
}

namespace {

int RealMessage(QWidget* parent, const Message& m) {
  // Guarded: the parent may close, and take the box with it, while it is up.
  const QPointer<QMessageBox> box = NewMessageBox(parent, m);
  const int answer = box->exec();
  delete box.data();
  return answer;
}

UiHooks DefaultHooks() {
  UiHooks h;
  h.message = RealMessage;
  h.modal = [](QDialog* dialog) { return dialog->exec(); };
  h.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  h.drag = [](QDrag* drag, Qt::DropActions actions, Qt::DropAction action) { return drag->exec(actions, action); };
  h.notify = NotifyDesktop;
  h.active = [] { return QApplication::activeWindow() != nullptr; };
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

namespace {
QPointer<QObject> g_dragSource;
}

Qt::DropAction RunDrag(QDrag* drag, Qt::DropActions actions, Qt::DropAction action) {
  const QPointer<QDrag> guard(drag);
  g_dragSource = drag->source();
  const Qt::DropAction result = Hooks().drag(drag, actions, action);
  g_dragSource = nullptr;
  // QDrag::exec disposes of the drag itself; a drag that never ran must not
  // stay behind.
  if (guard) guard->deleteLater();
  return result;
}

const QObject* ActiveDragSource() { return g_dragSource.data(); }

}  // namespace velloran::app
