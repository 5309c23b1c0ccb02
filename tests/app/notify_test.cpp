// Desktop notifications through a D-Bus daemon of the test's own, with a
// notification service that records what it was told.
#include "app/desktop_notify.h"
#include "app/ui_hooks.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cstdlib>

namespace velloran::app::testing {
namespace {

class NotificationService : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
    if (m.interface() != kNotificationsService || m.member() != "Notify") return false;
    calls.push_back(m.arguments());
    bus.send(m.createReply(QVariant::fromValue(1u)));  // the notification's id
    return true;
  }
  std::vector<QList<QVariant>> calls;
};

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
      GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon_.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return daemon_.canReadLine(); }, 10000)) << "dbus-daemon gave no address";
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
  }
  void TearDown() override {
    QDBusConnection::disconnectFromBus("velloran-test-service");
    QDBusConnection::disconnectFromBus("velloran-test-client");
    if (daemon_.state() != QProcess::NotRunning) {
      daemon_.kill();
      daemon_.waitForFinished(5000);
    }
  }

  QProcess daemon_;
  QString address_;
};

TEST_F(NotifyTest, TheServiceIsToldTheEndAndNothingIsSentWithoutOne) {
  QDBusConnection client = QDBusConnection::connectToBus(address_, "velloran-test-client");
  ASSERT_TRUE(client.isConnected()) << client.lastError().message().toStdString();
  EXPECT_FALSE(SendDesktopNotification(client, "Operation process done successfully.", false))
      << "no notification service on the bus";

  NotificationService service;
  QDBusConnection server = QDBusConnection::connectToBus(address_, "velloran-test-service");
  ASSERT_TRUE(server.registerService(kNotificationsService));
  ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &service));

  struct Row {
    const char* text;
    bool failure;
    uchar urgency;  // 1 normal, 2 critical
  };
  for (const Row& r : {Row{"Operation process done successfully.", false, 1},
                       Row{"Erase process done with error.", true, 2}}) {
    const std::size_t before = service.calls.size();
    ASSERT_TRUE(SendDesktopNotification(client, r.text, r.failure)) << r.text;
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.calls.size() > before; }, 10000)) << r.text;
    const QList<QVariant> a = service.calls.back();
    ASSERT_EQ(a.size(), 8);
    EXPECT_EQ(a[0].toString(), "velloran-gui");             // application
    EXPECT_EQ(a[1].toUInt(), 0u);                           // replaces no earlier one
    EXPECT_EQ(a[3].toString(), "Velloran DVD/CD Burner");   // summary
    EXPECT_EQ(a[4].toString(), r.text);                     // body
    const QVariantMap hints = qdbus_cast<QVariantMap>(a[6]);
    EXPECT_EQ(hints.value("desktop-entry").toString(), "velloran-gui");
    EXPECT_EQ(hints.value("urgency").value<uchar>(), r.urgency) << r.text;
    EXPECT_EQ(a[7].toInt(), -1);                            // the service's own time-out
  }

  // Without a session bus named by the desktop, nothing is started or sent.
  const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_FALSE(NotifyDesktop("Operation process done successfully.", false));
  if (!saved.isEmpty()) qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
}

}  // namespace
}  // namespace velloran::app::testing
