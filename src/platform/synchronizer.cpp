#include "platform/synchronizer.h"

#include <chrono>

namespace velloran::platform {

QueueSynchronizer::QueueSynchronizer() : owner_(std::this_thread::get_id()) {}

void QueueSynchronizer::Synchronize(const std::function<void()>& call) {
  if (std::this_thread::get_id() == owner_) {
    call();
    return;
  }
  auto request = std::make_shared<Request>();
  request->call = call;
  std::unique_lock lock(mutex_);
  queue_.push_back(request);
  queued_.notify_all();
  finished_.wait(lock, [&] { return request->done; });
}

int QueueSynchronizer::ProcessPending() {
  int ran = 0;
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      request = queue_.front();
      queue_.pop_front();
    }
    request->call();
    ++ran;
    std::lock_guard lock(mutex_);
    request->done = true;
    finished_.notify_all();
  }
  return ran;
}

int QueueSynchronizer::WaitAndProcess(int timeoutMs) {
  {
    std::unique_lock lock(mutex_);
    queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); });
  }
  return ProcessPending();
}

}  // namespace velloran::platform
