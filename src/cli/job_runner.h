// Runs a recording job from the command line: the main thread is the owner
// whose small loop delivers OnWriteDone, shows progress, and turns Ctrl-C
// into an abort.
#pragma once

#include "cli/progress.h"
#include "image/zbCDBC.h"
#include "platform/synchronizer.h"

#include <functional>
#include <memory>
#include <string>

namespace velloran::cli {

class JobRunner {
 public:
  JobRunner(image::TZCDBurner& burner, const std::string& label);
  ~JobRunner();

  // start() starts the job (false: it did not start; its OnWriteDone may
  // have run already). Waits for the end, showing progress of total bytes
  // (none when totalBytes is 0), then of the read-back when the job
  // verifies.
  // Returns kExitOk, kExitAborted or kExitFailure, with the job's message in
  // Error().
  int Run(const std::function<bool()>& start, std::int64_t totalBytes, bool showBuffer);
  const std::string& Error() const { return error_; }

 private:
  image::TZCDBurner& burner_;
  platform::QueueSynchronizer sync_;
  ProgressDisplay progress_;
  std::unique_ptr<ProgressDisplay> verify_;  // from the start of the read-back
  bool done_ = false;
  std::string error_;
};

}  // namespace velloran::cli
