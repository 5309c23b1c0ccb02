#include "cli/job_runner.h"

#include "cli/commands.h"
#include "recording/zbWrite.h"

#include <atomic>
#include <csignal>

namespace velloran::cli {
namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

}  // namespace

JobRunner::JobRunner(image::TZCDBurner& burner, const std::string& label)
    : burner_(burner), progress_(label) {
  burner_.SetSynchronizer(&sync_);
  burner_.OnWriteDone = [this](drive::TObject*, const std::string& error) {
    error_ = error;
    done_ = true;
  };
}

JobRunner::~JobRunner() {
  burner_.OnWriteDone = nullptr;
  burner_.SetSynchronizer(nullptr);
}

int JobRunner::Run(const std::function<bool()>& start, std::int64_t totalBytes, bool showBuffer) {
  g_interrupted = false;
  struct sigaction action {}, oldInt {}, oldTerm {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &oldInt);
  ::sigaction(SIGTERM, &action, &oldTerm);

  bool started = start();
  bool abortSent = false;
  while (started && !done_) {
    sync_.WaitAndProcess(200);
    if (g_interrupted && !abortSent) {
      burner_.Abort();
      abortSent = true;
    }
    if (!done_) progress_.Update(burner_.BytesWritten(), totalBytes, showBuffer ? burner_.DriveBufferFill() : -1);
  }
  if (started && error_.empty()) progress_.Update(totalBytes, totalBytes, -1);
  progress_.Finish();
  if (burner_.Writing()) burner_.Jobs().WaitFor();
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  if (!started && !done_ && error_.empty()) error_ = "the job could not be started";
  if (error_.empty()) return kExitOk;
  if (error_.find("ABORTED BY USER") != std::string::npos) return kExitAborted;
  return kExitFailure;
}

}  // namespace velloran::cli
