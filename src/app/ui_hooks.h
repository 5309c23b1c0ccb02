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
class QDrag;
class QObject;
class QWidget;

namespace velloran::app {

enum class MsgKind { Plain, Information, Warning, Confirmation };

// The application's title: the caption of its plain message boxes.
inline constexpr const char* kApplicationTitle = "Velloran DVD/CD Burner";

// What a message box shows.
struct Message {
  MsgKind kind = MsgKind::Plain;
  QString text;
  // Why it happened, shown below the text (empty: nothing is shown).
  QString reason;
  // The lines behind it (the job's log), in a "Details" area the person
  // opens when they want it (empty: no such area).
  QString details;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  // The button Enter presses; NoButton leaves the choice to the box. A
  // question whose Yes destroys data names No here.
  QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Shows a message and returns the button pressed (QMessageBox::StandardButton).
using MessageFunction = std::function<int(QWidget* parent, const Message& message)>;
// Runs a dialog modally and returns its result (QDialog::DialogCode).
using ModalFunction = std::function<int(QDialog* dialog)>;
// Opens a file or web page with the desktop's default program.
using OpenUrlFunction = std::function<bool(const QUrl& url)>;
// Runs a drag the mouse has started until it is dropped or given up, and
// returns what the target did (QDrag::exec).
using DragFunction = std::function<Qt::DropAction(QDrag* drag, Qt::DropActions actions, Qt::DropAction action)>;

// Tells the desktop that a long job ended (a notification); false when
// nothing could be told.
using NotifyFunction = std::function<bool(const QString& text, bool failure)>;
// Whether one of the application's windows is the active window.
using ActiveFunction = std::function<bool()>;

struct UiHooks {
  MessageFunction message;
  ModalFunction modal;
  OpenUrlFunction openUrl;
  DragFunction drag;
  NotifyFunction notify;
  ActiveFunction active;
};

// The message box the real hook shows (not yet shown), for `parent`.
QMessageBox* NewMessageBox(QWidget* parent, const Message& message);

// The hooks in use (the real ones until a test replaces them).
UiHooks& Hooks();
// Restores the real message box, exec(), the desktop's URL handler and its
// notifications.
void RestoreDefaultHooks();

// Shorthands through the hooks.
int MessageDlg(QWidget* parent, MsgKind kind, const QString& text,
               QMessageBox::StandardButtons buttons = QMessageBox::Ok);
int MessageDlg(QWidget* parent, const Message& message);
int ExecModal(QDialog* dialog);
bool OpenUrl(const QUrl& url);
// Runs a drag started in one of the application's views. While it runs,
// ActiveDragSource() names the view it started in.
Qt::DropAction RunDrag(QDrag* drag, Qt::DropActions actions, Qt::DropAction action);
// The view a drag of this application started in, while it runs; nullptr
// otherwise.
const QObject* ActiveDragSource();

}  // namespace velloran::app
