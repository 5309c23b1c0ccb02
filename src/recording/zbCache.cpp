#include "recording/zbCache.h"

#include "drive/zbConst.h"
#include "platform/thread_priority.h"
#include "recording/zbStreamEx.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velloran::recording {
namespace {

constexpr std::int64_t kSector = 2048;

std::string FormatPath(const char* format, const std::string& path) {
  std::vector<char> buf(std::strlen(format) + path.size() + 1);
  std::snprintf(buf.data(), buf.size(), format, path.c_str());
  return buf.data();
}

class ImageFileSource final : public TBlockSource {
 public:
  ImageFileSource(std::string fileName, std::int64_t total, std::vector<std::uint64_t>* sectors)
      : fileName_(std::move(fileName)), left_(total), sectors_(sectors) {
    if (sectors_) {
      sectors_->clear();
      sectors_->reserve(static_cast<std::size_t>(total / kSector));
    }
  }

  std::int64_t Read(std::uint8_t* buf, std::size_t bytes) override {
    if (!stream_) {
      try {
        stream_ = std::make_unique<TFileStreamEx>(fileName_, fmOpenRead | fmShareDenyNone);
      } catch (const EOSError&) {
        error_ = FormatPath(drive::msg::CANT_OPEN_FILE, fileName_);
        return -1;
      }
    }
    const std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(bytes), left_);
    if (want <= 0) return 0;
    std::int64_t done = 0;
    while (done < want) {
      const int chunk = static_cast<int>(std::min<std::int64_t>(want - done, 1 << 30));
      const int n = stream_->Read(buf + done, chunk);
      if (n <= 0) break;
      done += n;
    }
    if (done < want) {
      // The last sector of an image whose size is not a multiple of 2048 is
      // zero-filled; anything shorter means the file changed under us.
      const std::int64_t sectorEnd = (done + kSector - 1) / kSector * kSector;
      if (stream_->LastErrno() != 0 || done == 0 || sectorEnd < want) {
        error_ = FormatPath(drive::msg::CANT_OPEN_FILE, fileName_);
        return -1;
      }
      std::memset(buf + done, 0, static_cast<std::size_t>(want - done));
    }
    left_ -= want;
    if (sectors_)
      for (std::int64_t at = 0; at < want; at += kSector)
        sectors_->push_back(platform::ShortDigest(buf + at, static_cast<std::size_t>(kSector)));
    return want;
  }
  std::string Error() const override { return error_; }
  std::string CurrentFile() const override { return fileName_; }
  bool IsImageFile() const override { return true; }

 private:
  std::string fileName_;
  std::int64_t left_;
  std::unique_ptr<TFileStreamEx> stream_;
  std::string error_;
  std::vector<std::uint64_t>* sectors_;
};

}  // namespace

std::unique_ptr<TBlockSource> MakeImageFileSource(const std::string& fileName, std::int64_t totalBytes,
                                                  std::vector<std::uint64_t>* sectors) {
  return std::make_unique<ImageFileSource>(fileName, totalBytes, sectors);
}

TCacheThread::TCacheThread(int cacheSize, std::unique_ptr<TBlockSource> source, std::int64_t total, bool padToMinimum,
                           int blockSize, std::recursive_mutex& lock)
    : FSource(std::move(source)),
      FLock(lock),
      FCacheSize(cacheSize),
      FBlockSize(std::clamp(blockSize, 2048, kMaxBlockSize) / 2048 * 2048),
      FMaxBlocks(std::max(2, cacheSize / FBlockSize)),
      FTotal(total),
      FPadToMinimum(padToMinimum && total < kMinimumTrackBytes && !FSource->IsImageFile()),
      FPadBytes(total) {}

TCacheThread::~TCacheThread() {
  Cancel();
  WaitFor();
}

void TCacheThread::Start() {
  FThread = std::thread([this] { Execute(); });
}

void TCacheThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

std::string TCacheThread::ErrorText() const {
  std::lock_guard lock(FTextMutex);
  return FErrorText;
}

void TCacheThread::SetErrorText(const std::string& text) {
  std::lock_guard lock(FTextMutex);
  if (FErrorText.empty()) FErrorText = text;
}

void TCacheThread::ResetErrorText(const std::string& text) {
  std::lock_guard lock(FTextMutex);
  FErrorText = text;
}

std::string TCacheThread::CurrentFile() const {
  std::lock_guard lock(FTextMutex);
  return FCurrentFile;
}

void TCacheThread::Cancel() {
  FAborted = true;
  std::lock_guard lock(FQueueMutex);
  FQueueChanged.notify_all();
}

int TCacheThread::Queued() {
  std::lock_guard lock(FQueueMutex);
  return static_cast<int>(FBlocks.size());
}

int TCacheThread::GetBlock(std::uint8_t* buffer) {
  if (FTotal.load() <= 0 && FDone.load()) return 0;
  if (FAborted.load()) return 0;
  std::lock_guard outer(FLock);
  std::unique_lock lock(FQueueMutex);
  if (FBlocks.empty()) {
    if (FDone.load() || FAborted.load()) return 0;
    ++FEmptyTakes;
    return -1;
  }
  Block block = std::move(FBlocks.front());
  FBlocks.pop_front();
  std::memcpy(buffer, block.data.get(), static_cast<std::size_t>(block.count));
  FCached -= block.count;
  FTotal -= block.count;
  FQueueChanged.notify_all();
  return block.count;
}

void TCacheThread::SetPriorityFromQueue(std::size_t queued) {
  // The level is kept for the record. On Linux an ordinary user may lower a
  // thread's priority but never raise it again, so applying every change
  // would leave the producer stuck at idle after the first full queue and
  // starve the drive; the producer keeps the "lower" priority it started
  // with and simply sleeps while the queue is full.
  int level = 3;
  if (queued >= static_cast<std::size_t>(FMaxBlocks / 4)) level = 2;
  if (queued >= static_cast<std::size_t>(FMaxBlocks / 2)) level = 1;
  if (queued >= static_cast<std::size_t>(FMaxBlocks - 1)) level = 0;
  FPriorityLevel = level;
}

bool TCacheThread::Append(Block block) {
  // Lock order everywhere: the component's lock, then the queue's.
  {
    std::lock_guard outer(FLock);
    std::lock_guard lock(FQueueMutex);
    if (FAborted.load()) return false;
    FCached += block.count;
    FBlocks.push_back(std::move(block));
    SetPriorityFromQueue(FBlocks.size());
  }
  FQueueChanged.notify_all();
  // Wait while the queue is full; the cache is primed once it was full.
  std::unique_lock lock(FQueueMutex);
  while (FBlocks.size() >= static_cast<std::size_t>(FMaxBlocks - 1) && !FAborted.load()) {
    FReady = true;
    ++FFullWaits;
    FQueueChanged.wait(lock);
  }
  return !FAborted.load();
}

void TCacheThread::Abort() {
  {
    std::lock_guard outer(FLock);
    std::lock_guard lock(FQueueMutex);
    FBlocks.clear();
    FCached = 0;
  }
  SetErrorText(drive::msg::OPERATION_ABORTED_BY_USER);
  FDone = true;
}

void TCacheThread::Finish(const std::string& error) {
  {
    std::lock_guard lock(FTextMutex);
    FCurrentFile = FSource->CurrentFile();
  }
  SetErrorText(error);
  FDone = true;
  std::lock_guard lock(FQueueMutex);
  FQueueChanged.notify_all();
}

void TCacheThread::Execute() {
  platform::SetCurrentThreadPriority(platform::ThreadPriority::Lower);
  std::int64_t left = FTotal.load();
  while (left > 0) {
    if (FAborted.load()) return Abort();
    Block block;
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::int64_t>(FBlockSize, (left + kSector - 1) / kSector * kSector));
    block.data.reset(new std::uint8_t[want]);
    const std::int64_t n = FSource->Read(block.data.get(), want);
    {
      std::lock_guard lock(FTextMutex);
      FCurrentFile = FSource->CurrentFile();
    }
    if (n < 0) return Finish(FSource->Error());
    if (n == 0) return Finish(drive::msg::INTERNAL_ERROR_0005);
    block.count = static_cast<int>(std::min<std::int64_t>(n, left));
    left -= block.count;
    if (!Append(std::move(block))) return Abort();
  }
  if (FPadToMinimum) {
    std::int64_t pad;
    {
      std::lock_guard outer(FLock);
      pad = kMinimumTrackBytes - FPadBytes;
      FPadBytes = pad;
      FTotal += pad;
    }
    while (pad > 0) {
      Block block;
      block.count = static_cast<int>(std::min<std::int64_t>(FBlockSize, pad));
      block.data.reset(new std::uint8_t[static_cast<std::size_t>(block.count)]());
      pad -= block.count;
      if (!Append(std::move(block))) return Abort();
    }
  } else {
    FPadBytes = 0;
  }
  FReady = true;
  // Stay until the consumer has taken everything, or the job is aborted.
  std::unique_lock lock(FQueueMutex);
  FQueueChanged.wait(lock, [this] { return FTotal.load() <= 0 || FAborted.load(); });
  const bool aborted = FAborted.load() && FTotal.load() > 0;
  lock.unlock();
  if (aborted) return Abort();
  FDone = true;
}

}  // namespace velloran::recording
