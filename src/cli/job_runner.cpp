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

  bool verifying = false;
  // The read-back's bar ends before the outcome is listed.
  const auto onVerifyDone = burner_.OnVerifyDone;
  burner_.OnVerifyDone = [&](drive::TObject* sender, const std::vector<image::TVerifyMismatch>& mismatches) {
    if (verifying) {
      if (mismatches.empty()) verify_->Update(burner_.VerifyBytesTotal(), burner_.VerifyBytesTotal());
      verify_->Finish();
    } else if (totalBytes > 0) {
      progress_.Update(totalBytes, totalBytes, -1);
      progress_.Finish();
    }
    verifying = false;
    totalBytes = 0;
    if (onVerifyDone) onVerifyDone(sender, mismatches);
  };
  bool started = start();
  bool abortSent = false;
  while (started && !done_) {
    sync_.WaitAndProcess(200);
    if (g_interrupted && !abortSent) {
      burner_.Abort();
      abortSent = true;
    }
    if (done_) break;
    if (burner_.Verifying()) {
      // The recording is done; the disc is read back.
      if (!verifying && totalBytes > 0) {
        progress_.Update(totalBytes, totalBytes, -1);
        progress_.Finish();
      }
      if (!verify_) verify_ = std::make_unique<ProgressDisplay>("Verifying");
      verifying = true;
      verify_->Update(burner_.VerifyBytesDone(), burner_.VerifyBytesTotal());
    } else if (!verifying && totalBytes > 0) {
      progress_.Update(burner_.BytesWritten(), totalBytes, showBuffer ? burner_.DriveBufferFill() : -1);
    }
  }
  burner_.OnVerifyDone = onVerifyDone;
  if (verifying) {
    verify_->Finish();
  } else if (totalBytes > 0) {
    if (started && error_.empty()) progress_.Update(totalBytes, totalBytes, -1);
    progress_.Finish();
  }
  if (burner_.Writing()) burner_.Jobs().WaitFor();
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  if (!started && !done_ && error_.empty()) error_ = "the job could not be started";
  if (error_.empty()) return kExitOk;
  if (error_.find("ABORTED BY USER") != std::string::npos) return kExitAborted;
  return kExitFailure;
}

}  // namespace velloran::cli
