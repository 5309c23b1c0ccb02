// Erasing a rewritable disc. The component's Erase starts the operation on
// the caller's thread (BLANK for CD-RW and DVD-RW, FORMAT UNIT or zero
// writes for DVD+RW and DVD-RAM); TEraseThread waits for the drive, keeps an
// estimate of the progress, returns the drive to a neutral state, checks
// that the disc is blank (or formatted) now and fires OnEraseDone through the
// component's synchroniser. An erase cannot be aborted.
#pragma once

#include "image/zbCDBC.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace velloran::recording {

// Upper bounds on waits that the drive could otherwise make endless.
struct TEraseLimits {
  // A DVD+RW reporting "not ready" after FORMAT UNIT: polled every 2 s.
  std::uint32_t PlusRwFormatMs = 30 * 60 * 1000;
};

class TEraseThread : public std::enable_shared_from_this<TEraseThread> {
 public:
  TEraseThread(image::TZCDBurner& burner, std::uint8_t discType, std::uint8_t blankType);
  TEraseThread(const TEraseThread&) = delete;
  TEraseThread& operator=(const TEraseThread&) = delete;

  // The estimated duration in progress steps, by medium and blank type.
  static std::uint16_t DurationFor(std::uint8_t discType, std::uint8_t blankType);

  // Runs the wait on a thread of its own that keeps this object alive until
  // it ends (the thread frees itself, as OnEraseDone may start the next erase).
  void Start();
  // True until just before OnEraseDone is delivered.
  bool Running() const { return FRunning.load(); }
  // Percent, 0..100: the drive's own progress indication while it reports
  // one, else an estimate from the time the medium usually takes.
  int Progress() const { return FProgress.load(); }
  // True once the progress comes from the drive.
  bool ProgressFromDrive() const { return FDriveProgress.load(); }
  // Blocks until OnEraseDone has been delivered.
  void WaitFor();
  std::uint16_t Duration() const { return FDuration; }
  bool WithError() const { return FWithError; }

  TEraseLimits Limits;

 private:
  void Execute();
  void Track(const drive::TSCSIDevice::TWaitProgress& w);
  // Waits until the drive is ready again; false (noted as a drive error)
  // when it reports a failure or stays busy beyond the budget.
  bool WaitForDrive(std::uint32_t budgetMs);
  void Pause(std::uint32_t ms);
  // Notes a deferred error that the drive reports while it is polled.
  void NoteSense();
  // Writes blocks of 32 zero sectors from address 0; false when a write
  // failed for a reason other than the end of the medium.
  bool WriteZeros(std::uint32_t blocks, bool& allWritten);
  bool MediumErased();

  image::TZCDBurner& FDevice;
  std::uint8_t FDiscType;
  std::uint8_t FBlankType;
  std::uint16_t FDuration;
  std::uint32_t FWaitedBeforeMs = 0;  // waited in earlier waits of this erase
  bool FWithError = false;
  bool FDriveError = false;
  std::atomic<int> FProgress{0};
  std::atomic<bool> FDriveProgress{false};
  std::atomic<bool> FRunning{false};
  std::mutex FMutex;
  std::condition_variable FDoneChanged;
  bool FDone = false;
};

}  // namespace velloran::recording
