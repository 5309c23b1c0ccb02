// The synchroniser hands a worker's call to the window thread and waits.
#include "app/qt_synchronizer.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

namespace velloran::app {
namespace {

TEST(QtSynchronizerTest, WorkerCallsRunOnTheOwnersThreadAndTheWorkerWaits) {
  QtSynchronizer sync;
  std::atomic<bool> ran{false}, returned{false};
  QThread* ranOn = nullptr;
  std::thread worker([&] {
    sync.Synchronize([&] {
      ranOn = QThread::currentThread();
      ran = true;
    });
    returned = true;
  });
  // Nothing runs until the owner's loop does.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(ran);
  EXPECT_FALSE(returned);
  EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 5000));
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(ranOn, QThread::currentThread());
}

TEST(QtSynchronizerTest, OwnersOwnCallsRunAtOnce) {
  QtSynchronizer sync;
  bool ran = false;
  sync.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(QtSynchronizerTest, ShutdownReleasesAWaitingWorkerWithoutRunningItsCall) {
  QtSynchronizer sync;
  std::atomic<bool> ran{false}, returned{false};
  std::atomic<bool> entered{false};
  std::thread worker([&] {
    entered = true;
    sync.Synchronize([&] { ran = true; });
    returned = true;
  });
  while (!entered) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  sync.Shutdown();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_FALSE(ran);
  // Later calls return at once.
  std::thread late([&] { sync.Synchronize([&] { ran = true; }); });
  late.join();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velloran::app
