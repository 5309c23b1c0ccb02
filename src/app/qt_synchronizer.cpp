#include "app/qt_synchronizer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>

namespace velloran::app {

QtSynchronizer::QtSynchronizer(QObject* owner) {
  if (owner) receiver_.moveToThread(owner->thread());
}

QtSynchronizer::~QtSynchronizer() { Shutdown(); }

void QtSynchronizer::Synchronize(const std::function<void()>& call) {
  if (QThread::currentThread() == receiver_.thread()) {
    call();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    ++inFlight_;
  }
  // The receiver lives until Shutdown has seen every call in flight leave,
  // so it is safe to post to it here.
  QMetaObject::invokeMethod(
      &receiver_,
      [this, &call] {
        bool closed;
        {
          std::lock_guard lock(mutex_);
          closed = closed_;
        }
        if (!closed) call();
      },
      Qt::BlockingQueuedConnection);
  std::lock_guard lock(mutex_);
  --inFlight_;
  idle_.notify_all();
}

void QtSynchronizer::Shutdown() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  // Release the workers that wait for the window: their queued calls are
  // delivered here and skip the call, since closed_ is set.
  while (inFlight_ > 0) {
    lock.unlock();
    QCoreApplication::sendPostedEvents(&receiver_, QEvent::MetaCall);
    lock.lock();
    idle_.wait_for(lock, std::chrono::milliseconds(5));
  }
}

}  // namespace velloran::app
