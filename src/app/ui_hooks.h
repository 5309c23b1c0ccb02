// The few places where the application hands control to the person in front
// of it: message boxes, modal dialogs and opening a page in the desktop's
// browser. Each goes through one replaceable function, so the tests can
// answer for the person and check what they were told.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>

class QDialog;
class QWidget;

namespace velloran::app {

enum class MsgKind { Plain, Information, Warning, Confirmation };

// Shows a message and returns the button pressed (QMessageBox::StandardButton).
using MessageFunction =
    std::function<int(QWidget* parent, MsgKind kind, const QString& text, QMessageBox::StandardButtons buttons)>;
// Runs a dialog modally and returns its result (QDialog::DialogCode).
using ModalFunction = std::function<int(QDialog* dialog)>;
// Opens a file or web page with the desktop's default program.
using OpenUrlFunction = std::function<bool(const QUrl& url)>;

struct UiHooks {
  MessageFunction message;
  ModalFunction modal;
  OpenUrlFunction openUrl;
};

// The hooks in use (the real ones until a test replaces them).
UiHooks& Hooks();
// Restores the real message box, exec() and the desktop's URL handler.
void RestoreDefaultHooks();

// Shorthands through the hooks.
int MessageDlg(QWidget* parent, MsgKind kind, const QString& text,
               QMessageBox::StandardButtons buttons = QMessageBox::Ok);
int ExecModal(QDialog* dialog);
bool OpenUrl(const QUrl& url);

}  // namespace velloran::app
