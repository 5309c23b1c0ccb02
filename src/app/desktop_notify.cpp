#include "app/desktop_notify.h"

#include "app/ui_hooks.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

#include <cstdlib>

namespace velloran::app {

namespace {

bool ServiceAvailable(QDBusConnection& bus) {
  QDBusConnectionInterface* daemon = bus.interface();
  if (!daemon) return false;
  if (daemon->isServiceRegistered(kNotificationsService)) return true;
  // Most notification daemons are started by the bus on the first call.
  const QDBusReply<QStringList> activatable =
      daemon->call("ListActivatableNames");
  return activatable.isValid() && activatable.value().contains(kNotificationsService);
}

}  // namespace

bool SendDesktopNotification(QDBusConnection bus, const QString& body, bool failure) {
  if (!bus.isConnected() || !ServiceAvailable(bus)) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, "/org/freedesktop/Notifications",
                                                     kNotificationsService, "Notify");
  QVariantMap hints;
  hints.insert("desktop-entry", QStringLiteral("velloran-gui"));
  hints.insert("urgency", QVariant::fromValue<uchar>(failure ? 2 : 1));  // critical or normal
  call << QStringLiteral("velloran-gui") << 0u << QStringLiteral("velloran-gui") << QString(kApplicationTitle)
       << body << QStringList() << hints << -1;  // -1: the service's own time-out
  return bus.send(call);
}

bool NotifyDesktop(const QString& body, bool failure) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!address || !*address) return false;
  return SendDesktopNotification(QDBusConnection::sessionBus(), body, failure);
}

}  // namespace velloran::app
