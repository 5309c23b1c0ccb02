#include "vrec/clock.h"

#include <chrono>
#include <thread>

namespace velloran::vrec {
namespace {

class WallClock final : public Clock {
 public:
  std::int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
  void SleepMs(std::int64_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

Clock& SystemClock() {
  static WallClock clock;
  return clock;
}

}  // namespace velloran::vrec
