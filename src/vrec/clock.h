// The time base of the virtual recorder. Long operations (blanking,
// formatting, closing) are modelled as windows on this clock; tests install a
// manual clock to step through them without waiting.
#pragma once

#include <atomic>
#include <cstdint>

namespace velloran::vrec {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the Unix epoch (shared by processes on one machine,
  // so a window started by one process is seen by another).
  virtual std::int64_t NowMs() = 0;
  virtual void SleepMs(std::int64_t ms) = 0;
};

// The wall clock.
Clock& SystemClock();

// A clock that moves only when told to; SleepMs advances it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t startMs = 1'000'000) : now_(startMs) {}
  std::int64_t NowMs() override { return now_.load(); }
  void SleepMs(std::int64_t ms) override { Advance(ms); }
  void Advance(std::int64_t ms) { now_.fetch_add(ms > 0 ? ms : 0); }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace velloran::vrec
