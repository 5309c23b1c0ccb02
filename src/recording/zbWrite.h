// The recording jobs and the write thread (TThWrite) of the burner
// component: burn the compilation or an image file to the disc track-at-once,
// or save the compilation as an image file through the read-ahead cache; any
// job can be aborted, and every threaded job ends with OnWriteDone on the
// owner's thread.
#pragma once

#include "image/source_check.h"
#include "image/zbCDBC.h"
#include "platform/synchronizer.h"
#include "recording/medium_steps.h"
#include "recording/zbCache.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velloran::recording {

// Upper bounds the recording puts on waits that could otherwise last forever.
struct TWriteLimits {
  // The drive becoming ready at the start of a burn (a medium spinning up,
  // a long operation of an earlier program still running).
  std::uint32_t ReadyMs = 2 * 60 * 1000;
  // Formatting before a burn (quick format, grow, DVD+RW format).
  std::uint32_t QuickFormatMs = 30 * 60 * 1000;
  // The drive writing out its cache after the last block.
  std::uint32_t FlushMs = 30 * 60 * 1000;
  // One close step (a finalizing DVD takes minutes).
  std::uint32_t CloseMs = 30 * 60 * 1000;
  // Retries of a WRITE that the drive answers "not ready" (600 ms apart).
  std::uint32_t BusyRetries = 10000;
  // Pause between two polls of a busy drive.
  std::uint32_t PollMs = 1000;
};

class TRecordingJobs {
 public:
  explicit TRecordingJobs(image::TZCDBurner& burner);
  ~TRecordingJobs();  // aborts a running job and waits for it
  TRecordingJobs(const TRecordingJobs&) = delete;
  TRecordingJobs& operator=(const TRecordingJobs&) = delete;

  // Burns the compilation to the disc as a new session. The write thread
  // does all of it (settling and formatting the disc, the layout, the cache,
  // writing, closing), so every stage can be cancelled. False when the job
  // could not start (OnWriteDone has then been called already, when
  // assigned).
  bool BurnCompilation();
  // Burns an image file from address 0, padded and formatted as the medium
  // needs; a disc recorded in sessions must be blank.
  bool BurnImageFile(const std::string& FileName);
  // Saves the compilation as an image file. Direct True: on the caller's
  // thread, 1 on success, 0 on failure. Direct False: the threaded job; -1.
  // Either way OnWriteDone reports the outcome.
  int SaveImageFile(const std::string& FileName, bool Direct);
  // Asks the running job to stop; it ends with "OPERATION ABORTED BY USER"
  // unless the session was already being closed (then it ends as the close
  // does). Only sets a flag: safe from a signal handler.
  void Abort() { FAbort = true; }

  // Compares session sessionNo (255: the last) of the disc with the
  // compilation's files on disk, on the job's thread; false when it could
  // not start (OnWriteDone has then run).
  bool VerifyDisc(std::uint8_t sessionNo);

  bool Running() const { return FRunning.load(); }
  // True while the disc is read back, with the bytes read and to read.
  bool Verifying() const { return FVerifying.load(); }
  std::int64_t VerifyBytesDone() const { return FVerifyDone.load(); }
  std::int64_t VerifyBytesTotal() const { return FVerifyTotal.load(); }
  // Waits for the write thread to end (its OnWriteDone has then run).
  void WaitFor();

  std::int64_t BytesWritten() const { return FBytesWritten.load(); }
  // Drive buffer fill (0..100) read during the last burn, -1 when unknown.
  int BufferFill() const { return FBufferFill.load(); }
  // How often the write thread found the cache empty (explains underruns).
  std::uint64_t CacheEmptyTakes() const;
  // Disc kind of the running or last burn.
  std::uint8_t DiscKind() const { return FDiscKind; }

  // Where OnWriteDone runs; without one it runs on the write thread.
  void SetSynchronizer(platform::Synchronizer* sync) { FSync = sync; }
  TWriteLimits Limits;

 private:
  // What the write thread records.
  enum class TSource : std::uint8_t { Compilation, ImageFile };

  int BlockSizeFor(std::uint8_t kind) const;
  // Opens every source file before the disc is touched; false (after
  // OnWriteDone with one line per bad file) when any fails.
  bool CheckSources();
  bool StartCache(std::unique_ptr<TBlockSource> source, std::int64_t total, int blockSize, bool padToMinimum);
  // The cache priming, on the caller's thread (saving an image) or the
  // write thread; "" once primed, else why not.
  std::string WaitForCache();
  bool BeginJob();
  void StartWriteThread(bool toImageFile, TSource source);
  void Fail(const std::string& error);

  // The write thread. Each step returns "" or the message the job ends with.
  void Execute(bool toImageFile, TSource source);
  void SaveToFile();
  std::string PrepareMedium();
  std::string CloseUnfinishedSession();
  std::string RoomBeforeClosing();
  std::string LayOutSession();
  std::string PlanImage();
  std::string MakeRoom(std::int64_t sectors);
  std::string PrepareDrive();
  std::string WriteData(bool& wrote);
  std::string Flush();
  std::string CommitSession();
  std::string WriteDescriptors();
  std::string RunCloseSteps(const std::vector<TCloseStep>& steps, bool cancellable);
  // Waits for the drive after a long operation; "" when it is ready.
  // failure prefixes the drive's reason when it reports an error.
  std::string WaitReady(std::uint32_t budgetMs, const char* timeoutMessage, const char* failure,
                        bool cancellable = true);
  std::string Aborted();
  bool WriteBlock(std::uint32_t lba, int count);
  // After the close: reads the new session (or the image's blocks) back
  // when the component's Verify is set; "" or the job's error.
  std::string VerifyRecording();
  // Runs a verification with the job's progress, abort and events; the
  // differences found, or nullopt when the job was aborted.
  std::optional<std::vector<image::TVerifyMismatch>> RunVerifier(
      const std::function<std::vector<image::TVerifyMismatch>(image::TVerifier&)>& verify);
  void DeliverVerifyDone(const std::vector<image::TVerifyMismatch>& mismatches);
  int TakeBlock();
  // Ends a job: its cache's error when it has none of its own, then Finish.
  void End(const std::string& error);
  // The job's end told: the result kept and OnWriteDone delivered.
  void Finish(const std::string& result);

  image::TZCDBurner& FBurner;
  platform::Synchronizer* FSync = nullptr;
  std::unique_ptr<TCacheThread> FCache;
  std::unique_ptr<image::TImagePlan> FPlan;  // what the cache streams
  image::TSourceStamps FSourceStamps;        // the sources as the burn found them
  // While a burn is to be verified: the SHA-256 of the plan's files as the
  // cache read them, or the short digest of every sector of an image.
  std::vector<platform::TDigest> FDigests;
  std::vector<std::uint64_t> FSectorDigests;
  std::atomic<bool> FVerifying{false};
  std::atomic<std::int64_t> FVerifyDone{0}, FVerifyTotal{0};
  std::thread FThread;
  std::atomic<bool> FAbort{false};
  std::atomic<bool> FRunning{false};
  std::atomic<std::int64_t> FBytesWritten{0};
  std::atomic<int> FBufferFill{-1};
  std::uint8_t FDiscKind = 0;
  TMediumTraits FTraits;
  TSource FSource = TSource::Compilation;
  std::string FImageFile;      // burning an image: its file
  std::uint32_t FStartAddress = 0;
  std::int64_t FImageSectors = 0;
  std::uint32_t FTrack = 1;     // the track being recorded
  bool FUnfinishedSession = false;  // a recording left the disc's last session open
  bool FBufferCapacityWorks = false;
  std::unique_ptr<std::uint8_t[]> FBuffer;  // one block
  // DVD compilations: cache blocks gathered into whole 32-sector blocks.
  bool FWholeBlocks = false;
  std::unique_ptr<std::uint8_t[]> FCarry;  // the cache block being taken apart
  int FCarryLength = 0, FCarryUsed = 0, FGathered = 0;
};

}  // namespace velloran::recording
