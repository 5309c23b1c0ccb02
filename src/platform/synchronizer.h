// Running a call on the owner's thread (the window thread of the desktop
// application, the main loop of the command line), with the worker waiting
// until it has run.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velloran::platform {

class Synchronizer {
 public:
  virtual ~Synchronizer() = default;
  // Runs call on the owner's thread and returns once it has run. Called on
  // the owner's thread itself, runs it at once.
  virtual void Synchronize(const std::function<void()>& call) = 0;
};

// Runs the call at once on the calling thread: for owners without a loop of
// their own (tests, embedding programs that lock for themselves).
class DirectSynchronizer final : public Synchronizer {
 public:
  void Synchronize(const std::function<void()>& call) override { call(); }
};

// A queue the owner's thread drains: the command line's small event loop.
// Workers block in Synchronize until the owner has run their call in
// ProcessPending or WaitAndProcess.
class QueueSynchronizer final : public Synchronizer {
 public:
  QueueSynchronizer();
  void Synchronize(const std::function<void()>& call) override;
  // Runs every queued call; returns how many ran.
  int ProcessPending();
  // Waits up to timeoutMs for a call, then runs what is queued.
  int WaitAndProcess(int timeoutMs);

 private:
  struct Request {
    std::function<void()> call;
    bool done = false;
  };
  std::mutex mutex_;
  std::condition_variable queued_, finished_;
  std::deque<std::shared_ptr<Request>> queue_;
  std::thread::id owner_;
};

}  // namespace velloran::platform
