// The end of a long job told through the desktop's notification service
// (the freedesktop.org Notifications interface on the session D-Bus), for
// a person who turned to another window while the job ran.
#pragma once

#include <QDBusConnection>
#include <QString>

namespace velloran::app {

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";

// Sends one notification over `bus`: the application's title as summary,
// `body` as text, critical urgency when `failure`. Asynchronous: a slow
// service never holds up the window. False, and nothing sent, when the bus
// is not connected or no notification service is there (neither running
// nor startable by the bus).
bool SendDesktopNotification(QDBusConnection bus, const QString& body, bool failure);

// The same over the session bus; false when there is none. The session bus
// is used only when the desktop named it (DBUS_SESSION_BUS_ADDRESS): no bus
// daemon is started for a notification.
bool NotifyDesktop(const QString& body, bool failure);

}  // namespace velloran::app
