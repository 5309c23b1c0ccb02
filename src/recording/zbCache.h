// TCacheThread: the read-ahead cache. A producer thread turns a job's data
// (a laid-out compilation, or an image file) into a bounded queue of blocks
// in memory, so the write thread can feed the drive at a steady rate while
// the disk delivers at whatever rate it can.
#pragma once

#include <atomic>
#include <condition_variable>
#include "platform/sha256.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velloran::recording {

// Where the cache's bytes come from, in order: whole sectors, at most the
// asked count per call.
class TBlockSource {
 public:
  virtual ~TBlockSource() = default;
  // Fills buf with up to bytes (a multiple of 2048) and returns how many;
  // 0 at the end, -1 on failure with the reason in Error().
  virtual std::int64_t Read(std::uint8_t* buf, std::size_t bytes) = 0;
  virtual std::string Error() const = 0;
  // The source file being read, for error reports.
  virtual std::string CurrentFile() const = 0;
  // An image file is streamed as it is: never padded.
  virtual bool IsImageFile() const { return false; }
};

// An image file, streamed alone; its last sector zero-filled. A file that
// turns out shorter than when it was measured fails the job. With sectors,
// the short digest (platform::ShortDigest) of every sector streamed is
// appended to it, so a burn can be verified block for block.
std::unique_ptr<TBlockSource> MakeImageFileSource(const std::string& fileName, std::int64_t totalBytes,
                                                  std::vector<std::uint64_t>* sectors = nullptr);

inline constexpr int kMaxBlockSize = 65536;
// A compilation shorter than this is padded with zeros when asked
// (300 sectors: the shortest track drives accept).
inline constexpr std::int64_t kMinimumTrackBytes = 614400;

class TCacheThread {
 public:
  // total: bytes the source delivers. blockSize: 55296 (CD) or 65536. lock:
  // the component's critical section, shared with the write thread.
  TCacheThread(int cacheSize, std::unique_ptr<TBlockSource> source, std::int64_t total, bool padToMinimum,
               int blockSize, std::recursive_mutex& lock);
  ~TCacheThread();  // cancels and joins
  TCacheThread(const TCacheThread&) = delete;
  TCacheThread& operator=(const TCacheThread&) = delete;

  void Start();
  // Copies the oldest block into buffer (kMaxBlockSize bytes at least) and
  // returns its byte count; -1 when nothing is queued yet, 0 at the end of
  // the data or after a failure or abort.
  int GetBlock(std::uint8_t* buffer);
  // Requests an abort; the producer discards the queue and ends.
  void Cancel();
  void WaitFor();  // joins the producer
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

  bool Ready() const { return FReady.load(); }
  bool Done() const { return FDone.load(); }
  std::string ErrorText() const;
  // Sets the message unless one is there already (the first reason wins).
  void SetErrorText(const std::string& text);
  // Replaces the message (the write thread clears it at its start).
  void ResetErrorText(const std::string& text);
  std::string CurrentFile() const;

  int MaxBlocks() const { return FMaxBlocks; }
  int BlockSize() const { return FBlockSize; }
  std::int64_t Total() const { return FTotal.load(); }
  std::int64_t PadBytes() const { return FPadBytes; }
  int PriorityLevel() const { return FPriorityLevel.load(); }
  // Blocks queued now.
  int Queued();
  // How often the producer found the queue full, and the consumer empty:
  // they explain an underrun.
  std::uint64_t FullWaits() const { return FFullWaits.load(); }
  std::uint64_t EmptyTakes() const { return FEmptyTakes.load(); }

 private:
  struct Block {
    std::unique_ptr<std::uint8_t[]> data;  // not zeroed: the source fills it
    int count = 0;
  };

  void Execute();
  bool Append(Block block);  // false when aborted
  void Abort();
  void Finish(const std::string& error);
  void SetPriorityFromQueue(std::size_t queued);

  std::unique_ptr<TBlockSource> FSource;
  std::recursive_mutex& FLock;
  std::mutex FQueueMutex;  // guards FBlocks together with FLock
  std::condition_variable FQueueChanged;
  std::deque<Block> FBlocks;
  int FCacheSize;
  int FBlockSize;
  int FMaxBlocks;
  std::atomic<std::int64_t> FTotal;
  std::int64_t FCached = 0;
  bool FPadToMinimum;
  std::int64_t FPadBytes;
  mutable std::mutex FTextMutex;
  std::string FErrorText;
  std::string FCurrentFile;
  std::atomic<bool> FReady{false};
  std::atomic<bool> FDone{false};
  std::atomic<bool> FAborted{false};
  std::atomic<int> FPriorityLevel{2};
  std::atomic<std::uint64_t> FFullWaits{0};
  std::atomic<std::uint64_t> FEmptyTakes{0};
  std::thread FThread;
};

}  // namespace velloran::recording
