// The component's synchroniser for a Qt program: a worker's call runs on the
// thread of the window that owns the component, and the worker waits until
// it has run (a queued, blocking invocation). Called on the window's thread
// itself, the call runs at once.
#pragma once

#include "platform/synchronizer.h"

#include <QObject>

#include <condition_variable>
#include <mutex>

namespace velloran::app {

class QtSynchronizer final : public platform::Synchronizer {
 public:
  // The calls run on the thread `owner` lives in (the creating thread when
  // none is given).
  explicit QtSynchronizer(QObject* owner = nullptr);
  ~QtSynchronizer() override;
  QtSynchronizer(const QtSynchronizer&) = delete;
  QtSynchronizer& operator=(const QtSynchronizer&) = delete;

  void Synchronize(const std::function<void()>& call) override;

  // Stops delivering: calls that are waiting are released without running,
  // later ones return at once. The window calls this as it goes, so a worker
  // still ending its job never touches widgets that are being destroyed and
  // never waits for a window thread that no longer runs its loop. Call on
  // the owner's thread.
  void Shutdown();

 private:
  QObject receiver_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int inFlight_ = 0;
  bool closed_ = false;
};

}  // namespace velloran::app
