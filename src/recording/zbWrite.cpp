#include "recording/zbWrite.h"

#include "drive/mmc_reply.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"
#include "image/image_messages.h"
#include "image/source_check.h"
#include "platform/thread_priority.h"
#include "recording/speed_text.h"
#include "recording/zbStreamEx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace velloran::recording {

using namespace drive::mmc;
namespace msg = drive::msg;

namespace {

constexpr int kSector = 2048;
constexpr int kCdBlockSize = 55296;   // 27 sectors
constexpr int kDvdBlockSize = 65536;  // 32 sectors

std::string FormatPath(const char* format, const std::string& path) {
  std::vector<char> buf(std::strlen(format) + path.size() + 1);
  std::snprintf(buf.data(), buf.size(), format, path.c_str());
  return buf.data();
}

std::string FormatWriteError(const std::string& path, int code) {
  const char* format = image::msg::ERROR_WRITING_FILE;
  std::string reason = std::strerror(code);
  std::vector<char> buf(std::strlen(format) + path.size() + reason.size() + 1);
  std::snprintf(buf.data(), buf.size(), format, path.c_str(), reason.c_str());
  return buf.data();
}

bool IsCd(std::uint8_t kind) { return kind == kKindCdR || kind == kKindCdRw; }
bool IsDvdRw(std::uint8_t kind) { return kind == kKindDvdRwRestricted || kind == kKindDvdRwSequential; }
bool IsOverwritable(std::uint8_t kind) {
  return kind == kKindDvdPlusRw || IsDvdRw(kind) || kind == kKindDvdRam;
}

void SleepBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// The session of a laid-out compilation, pulled sector by sector.
class CompilationSource final : public TBlockSource {
 public:
  CompilationSource(const image::TImagePlan& plan, image::DebugFn debug) : reader_(plan, std::move(debug)) {}
  std::int64_t Read(std::uint8_t* buf, std::size_t bytes) override { return reader_.Read(buf, bytes); }
  std::string Error() const override { return reader_.Error(); }
  std::string CurrentFile() const override { return reader_.CurrentFile(); }

 private:
  image::TImageReader reader_;
};

// An image file written beside its final name and renamed into place only
// when complete: a failed or aborted save never leaves a partial image
// under the name, and never destroys an image that was there before.
class ImageTarget {
 public:
  explicit ImageTarget(std::string finalName) : final_(std::move(finalName)) {}
  ~ImageTarget() { Discard(); }

  bool Create() {
    temp_ = final_ + ".XXXXXX";
    std::vector<char> name(temp_.begin(), temp_.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return false;
    temp_ = name.data();
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
    return true;
  }
  // Writes everything or fails with errno in code. Blocks of zeros (the
  // holes of sparse source files, padding) become holes in the image.
  bool Write(const std::uint8_t* data, std::size_t size, int& code) {
    if (IsZero(data, size)) {
      if (::lseek(fd_, static_cast<off_t>(size), SEEK_CUR) < 0) {
        code = errno;
        return false;
      }
      length_ += static_cast<std::int64_t>(size);
      return true;
    }
    length_ += static_cast<std::int64_t>(size);
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        code = errno;
        return false;
      }
      if (n == 0) {
        code = ENOSPC;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Commit(int& code) {
    // A trailing hole needs the length set explicitly.
    if (::ftruncate(fd_, static_cast<off_t>(length_)) != 0) {
      code = errno;
      return false;
    }
    if (::close(fd_) != 0) {
      fd_ = -1;
      code = errno;
      return false;
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), final_.c_str()) != 0) {
      code = errno;
      return false;
    }
    temp_.clear();
    return true;
  }
  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
  }

 private:
  static bool IsZero(const std::uint8_t* data, std::size_t size) {
    return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
  }

  std::string final_, temp_;
  int fd_ = -1;
  std::int64_t length_ = 0;
};

}  // namespace

TRecordingJobs::TRecordingJobs(image::TZCDBurner& burner)
    : FBurner(burner), FBuffer(new std::uint8_t[kMaxBlockSize + 4]) {}

TRecordingJobs::~TRecordingJobs() {
  FAbort = true;
  WaitFor();
  if (FCache) {
    FCache->Cancel();
    FCache->WaitFor();
  }
}

void TRecordingJobs::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

std::uint64_t TRecordingJobs::CacheEmptyTakes() const { return FCache ? FCache->EmptyTakes() : 0; }

int TRecordingJobs::BlockSizeFor(std::uint8_t kind) const { return IsCd(kind) ? kCdBlockSize : kDvdBlockSize; }

void TRecordingJobs::Fail(const std::string& error) {
  FBurner.WriteDoneError = error;
  if (FBurner.OnWriteDone) FBurner.OnWriteDone(&FBurner, error);
}

bool TRecordingJobs::QuickFormatDvdRw(std::uint8_t kind) {
  static const std::uint8_t kSequential[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
  static const std::uint8_t kRestricted[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};
  static const std::uint8_t kFallback[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x54, 0x00, 0x00, 0x10};
  const std::uint8_t* list = kind == kKindDvdRwSequential ? kSequential : kRestricted;
  if (!FBurner.FormatUnit(0x11, list, 12)) FBurner.FormatUnit(0x11, kFallback, 12);
  // Wait while the drive says it is still formatting (not ready).
  std::uint32_t waited = 0;
  do {
    if (waited >= Limits.QuickFormatMs) return false;
    FBurner.SleepMs(waited == 0 ? 1000 : 5000);
    waited += waited == 0 ? 1000 : 5000;
    FBurner.ReadDiscInformation();
  } while (FBurner.LastSense[12] == 0x04);
  return true;
}

bool TRecordingJobs::StartCache(std::unique_ptr<TBlockSource> source, std::int64_t total, int blockSize,
                                bool padToMinimum) {
  FCache = std::make_unique<TCacheThread>(FBurner.CacheSize(), std::move(source), total, padToMinimum, blockSize,
                                          FBurner.CriticalSection());
  FCache->Start();
  return WaitForCache();
}

bool TRecordingJobs::WaitForCache() {
  for (;;) {
    if (FCache->Ready()) return true;
    std::string error = FCache->ErrorText();
    if (!error.empty()) {
      FBurner.CurrentFile = FCache->CurrentFile();
      FCache->WaitFor();
      FCache.reset();
      Fail(error);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TRecordingJobs::CheckSources() {
  FSourceStamps.clear();
  const std::vector<std::string> failures = image::CheckSourceFiles(FBurner.Tree(), &FSourceStamps);
  if (failures.empty()) return true;
  std::string text;
  for (const std::string& line : failures) {
    FBurner.DebugMessage(">>> " + line, 0);
    text += (text.empty() ? "" : "\n") + line;
  }
  Fail(text);
  return false;
}

bool TRecordingJobs::BurnCompilation() {
  if (FRunning) return false;
  if (FBurner.Erasing()) {
    Fail(msg::ERASE_IN_PROGRESS);
    return false;
  }
  FAbort = false;
  if (!CheckSources()) return false;
  FDiscKind = FBurner.GetDiscKind();
  const int blockSize = BlockSizeFor(FDiscKind);
  if (IsDvdRw(FDiscKind) && !QuickFormatDvdRw(FDiscKind)) {
    Fail(msg::QUICK_FORMAT_TIMEOUT);
    return false;
  }
  FBurner.RequestNextWritableAddress = true;
  bool built = FBurner.BuildLayout(false, FBurner.RootDir()) && FBurner.BuildMetadata(false, FBurner.RootDir());
  FBurner.RequestNextWritableAddress = false;
  if (!built) {
    Fail(FBurner.WriteDoneError.empty() ? msg::ERROR_GETTING_NEXT_WRITABLE_ADDRESS : FBurner.WriteDoneError);
    return false;
  }
  FPlan = std::make_unique<image::TImagePlan>(FBurner.ImagePlan());
  FStartAddress = FBurner.Layout().StartAddress;
  FImageSectors = FBurner.ImageSectors();
  auto source = std::make_unique<CompilationSource>(
      *FPlan, [this](const std::string& text, std::uint8_t type) { FBurner.DebugMessage(text, type); });
  if (!StartCache(std::move(source), FPlan->TotalSectors * kSector, blockSize, FBurner.WritePostGap)) return false;
  StartWriteThread(false, false);
  return true;
}

bool TRecordingJobs::BurnImageFile(const std::string& FileName) {
  if (FRunning) return false;
  if (FBurner.Erasing()) {
    Fail(msg::ERASE_IN_PROGRESS);
    return false;
  }
  FAbort = false;
  FDiscKind = FBurner.GetDiscKind();
  const int blockSize = BlockSizeFor(FDiscKind);
  std::int64_t size;
  try {
    TFileStreamEx stream(FileName, fmOpenRead | fmShareDenyNone);
    size = stream.Size();
  } catch (const EOSError&) {
    if (FBurner.OnWriteDone) Fail(FormatPath(msg::CANT_OPEN_FILE, FileName));
    return false;
  }
  FImageSectors = (size + kSector - 1) / kSector;
  FStartAddress = 0;
  if (!StartCache(MakeImageFileSource(FileName, FImageSectors * kSector), FImageSectors * kSector, blockSize,
                  FBurner.WritePostGap))
    return false;
  StartWriteThread(false, true);
  return true;
}

int TRecordingJobs::SaveImageFile(const std::string& FileName, bool Direct) {
  if (Direct) return FBurner.SaveImageDirect(FileName);
  if (FRunning) return -1;
  FAbort = false;
  FBurner.ISOFileName = FileName;
  if (!FBurner.BuildLayout(true, FBurner.RootDir()) || !FBurner.BuildMetadata(true, FBurner.RootDir())) {
    Fail(FBurner.WriteDoneError.empty() ? image::msg::COMPILATION_EMPTY : FBurner.WriteDoneError);
    return -1;
  }
  FPlan = std::make_unique<image::TImagePlan>(FBurner.ImagePlan());
  FStartAddress = 0;
  FImageSectors = FBurner.ImageSectors();
  FDiscKind = 0;
  auto source = std::make_unique<CompilationSource>(
      *FPlan, [this](const std::string& text, std::uint8_t type) { FBurner.DebugMessage(text, type); });
  if (!StartCache(std::move(source), FPlan->TotalSectors * kSector, kDvdBlockSize, FBurner.WritePostGap)) return -1;
  StartWriteThread(true, false);
  return -1;
}

void TRecordingJobs::StartWriteThread(bool toImageFile, bool imageFileSource) {
  if (FThread.joinable()) {
    // The previous write thread is past its OnWriteDone (it may be the
    // thread delivering it right now); nothing of it touches this object.
    FThread.detach();
  }
  FRunning = true;
  FThread = std::thread([this, toImageFile, imageFileSource] { Execute(toImageFile, imageFileSource); });
}

int TRecordingJobs::TakeBlock() {
  std::lock_guard lock(FBurner.CriticalSection());
  if (!FWholeBlocks) return FCache->GetBlock(FBuffer.get());
  // DVD media are written in whole 32-sector blocks. The cache ends the
  // data with a short block, and the zero padding that lengthens a short
  // track to 300 sectors follows in blocks of its own: padding each of them
  // to 32 sectors would write beyond the space reserved for the track on a
  // DVD-R. They are gathered into whole blocks instead.
  while (FGathered < kDvdBlockSize) {
    if (FCarryUsed < FCarryLength) {
      const int n = std::min(FCarryLength - FCarryUsed, kDvdBlockSize - FGathered);
      std::memcpy(FBuffer.get() + FGathered, FCarry.get() + FCarryUsed, static_cast<std::size_t>(n));
      FGathered += n;
      FCarryUsed += n;
      continue;
    }
    const int n = FCache->GetBlock(FCarry.get());
    if (n < 0) return -1;  // nothing yet; what is gathered waits
    if (n == 0) break;     // the end of the data
    FCarryLength = n;
    FCarryUsed = 0;
  }
  const int c = FGathered;
  FGathered = 0;
  return c;
}

bool TRecordingJobs::PrepareDisc() {
  auto& b = FBurner;
  FBufferCapacityWorks = b.ReadBufferCapacity();
  FDiscKind = b.GetDiscKind();
  b.StartStopUnit(false);
  if (FDiscKind != kKindDvdPlusRw) b.RezeroUnit();
  b.SetCDSpeed(b.ReadSpeed, b.WriteSpeed());
  b.WaitUntilReady(10000, 1000);
  const std::uint32_t speed = b.CurrentWriteSpeed();
  const bool finalize = b.FinalizeDisc;
  b.FinalizeDisc = true;
  b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, FDiscKind, !finalize);
  b.FinalizeDisc = finalize;
  switch (FDiscKind) {
    case kKindDvdR: case kKindDvdRwRestricted: case kKindDvdRwSequential: case kKindDvdPlusR:
    case kKindDvdPlusRw: case kKindDvdPlusRDl:
      b.SetStreamingPerformance(0, FStartAddress + static_cast<std::uint32_t>(FImageSectors),
                                static_cast<std::uint32_t>(std::trunc(b.ReadSpeed / 1385.0 * 1440.25)),
                                static_cast<std::uint32_t>(std::trunc(b.WriteSpeed() / 1385.0 * 1440.25)), 1000, 1000);
      break;
    default: break;
  }
  FNextTrack = static_cast<std::uint32_t>(b.GetSessionCount()) + 1;
  if (FDiscKind == kKindDvdR) {
    static const std::uint8_t kDescriptor[28] = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x23, 0x12, 0x7F, 0x00, 0x00,
                                                 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x05, 0x8A,
                                                 0x00, 0x00, 0x03, 0xE8};
    b.SetStreaming(kDescriptor, 28);
    b.SendTimeStamp(std::time(nullptr));
    b.ReserveTrack(static_cast<std::uint32_t>((FImageSectors + 31) / 32 * 32));
    b.WaitUntilReady(10000, 1000);
  }
  if (FDiscKind != kKindDvdRam && !b.TestWrite && b.PerformOPC) b.SendOPCInformation();
  char line[256];
  std::snprintf(line, sizeof line, msg::STARTING_WRITE_PROCESS, DiscKindNames()[FDiscKind & 15].c_str(),
                WriteSpeedText(FDiscKind, speed).c_str());
  b.DebugMessage(std::string(">>> ") + line, 1);
  if (b.TestWrite) b.DebugMessage(std::string(">>> ") + msg::TEST_DUMMY_WRITE, 1);
  return true;
}

bool TRecordingJobs::WriteBlock(std::uint32_t lba, int count) {
  return FBurner.Write10(lba, static_cast<std::uint16_t>(count / kSector), SRB_DIR_OUT | SRB_EVENT_NOTIFY,
                         static_cast<std::uint32_t>(count), FBuffer.get());
}

bool TRecordingJobs::WriteFirstBlockAtZero(int count) {
  // The volume descriptors at the start of an overwritable disc must
  // describe the newest session.
  auto& b = FBurner;
  // The kept copy runs through the terminator; the rest of the block is
  // zero (on an earlier session's disc those sectors held only its own
  // descriptors and tables). DVD-RW in restricted overwrite takes whole
  // 16-sector ECC blocks, which a full cache block always is.
  const auto& copy = b.DescriptorCopy();
  const int bytes = count;
  if (bytes <= 0 || copy.empty()) return true;
  std::vector<std::uint8_t> head(static_cast<std::size_t>(bytes), 0);
  std::memcpy(head.data(), copy.data(), std::min<std::size_t>(copy.size(), head.size()));
  auto write = [&] {
    return b.Write10(0, static_cast<std::uint16_t>(bytes / kSector), SRB_DIR_OUT | SRB_EVENT_NOTIFY,
                     static_cast<std::uint32_t>(bytes), head.data());
  };
  bool ok = write();
  if (!ok && b.LastSense[12] == 0x30 && FDiscKind == kKindDvdPlusRw) {
    static const std::uint8_t kFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};
    if (b.FormatUnit(0x11, kFormat, 12)) {
      std::uint32_t waited = 0;
      do {
        b.SleepMs(2000);
        waited += 2000;
        b.ReadDiscInformation();
      } while (b.LastSense[12] == 0x04 && waited < Limits.QuickFormatMs);
    }
    ok = write();
  }
  if (!ok) {
    if (b.LastSense[12] == 0x04 || b.LastSense[12] == 0x00) {
      b.SleepMs(600);
      return true;
    }
    FCache->SetErrorText(std::string(msg::WRITER_ERROR) + " [" + b.LastError + "]");
    FCache->Cancel();
    return false;
  }
  b.SynchronizeCache(1800000, false);
  return true;
}

void TRecordingJobs::FinishDisc() {
  auto& b = FBurner;
  if (FDiscKind != kKindDvdRam) b.ReadBufferCapacity();
  if (FDiscKind == kKindDvdR || IsDvdRw(FDiscKind)) {
    if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
    b.SynchronizeCache(1800000, true);
    b.DeviceFreeBufferSize = b.DeviceBufferSize;
    std::uint32_t waited = 0;
    while (!b.ReadDiscInformation()) {
      if (waited >= Limits.FlushMs) {
        FCache->SetErrorText(msg::FLUSH_TIMEOUT);
        break;
      }
      b.DeviceFreeBufferSize -= std::min(b.DeviceFreeBufferSize, b.DeviceBufferSize / 960);
      b.SleepMs(1000);
      waited += 1000;
    }
  } else {
    if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
    if (!b.SynchronizeCache(120000, false)) b.SynchronizeCache(120000, true);
  }
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
  if (!FCache->ErrorText().empty()) return;
  if (!b.TestWrite && FDiscKind != kKindDvdRam && b.FinalizeTrack) {
    if (FDiscKind != kKindDvdR) b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, FDiscKind, !b.FinalizeDisc);
    const auto t = static_cast<std::uint8_t>(std::min<std::uint32_t>(FNextTrack, 255));
    switch (FDiscKind) {
      case kKindDvdPlusR:
        b.CloseTrackSessionRaw(false, 1, 0, (FNextTrack >> 8) & 0xFF, t);
        // A DVD+R ignores the write parameters page: closing the session
        // leaves it appendable, and only close function 5 (close the session
        // and finalize) closes the disc.
        if (b.FinalizeDisc)
          b.CloseTrackSessionRaw(false, 5, 0, 0, 0);
        else
          b.CloseTrackSessionRaw(false, 2, 0, 0, 255);
        break;
      case kKindDvdPlusRDl:
        b.CloseTrackSessionRaw(false, 1, 0, (FNextTrack >> 8) & 0xFF, t);
        b.CloseTrackSessionRaw(false, b.FinalizeDisc ? 6 : 2, 0, 0, 0);
        break;
      case kKindDvdR:
        if (b.FinalizeDisc) {
          // The page sent for the recording keeps the disc appendable
          // (multi-session 11b, as a DVD-R written incrementally needs);
          // the drive closes the disc with the session only when the page
          // says 00b at that moment.
          auto page = b.WriteParametersPage;
          page[3] &= 0x3F;
          std::size_t length = 0;
          const auto list = ModeSelectList(page, length);
          b.ModeSelect10(list.data(), static_cast<std::uint32_t>(length));
        }
        b.CloseTrackSessionRaw(true, 1, 0, 0, t);
        b.CloseTrackSessionRaw(true, 1, 0, 0, static_cast<std::uint8_t>(t + 1));
        b.CloseTrackSessionRaw(true, 2, 0, 0, static_cast<std::uint8_t>(t + 2));
        break;
      case kKindDvdRwRestricted:
      case kKindDvdRwSequential:
        b.CloseTrackSessionRaw(true, 2, 0, 0, 0);
        break;
      case kKindDvdPlusRw:
        b.CloseTrackSessionRaw(false, 3, 0, 0, 255);
        break;
      default:
        for (int attempt = 0; attempt < 1000; ++attempt) {
          if (b.CloseTrackSessionRaw(false, 2, 0, 0, 0)) break;
          if (b.LastSense[12] != 0x04) {
            b.CloseTrackSessionRaw(false, 2, 0, 0, 0);
            break;
          }
          b.SleepMs(1000);
        }
        break;
    }
  }
  b.WaitUntilReady(240000, 5000);
  if (FDiscKind != kKindDvdRam) b.ReadBufferCapacity();
}

void TRecordingJobs::Execute(bool toImageFile, bool imageFileSource) {
  platform::SetCurrentThreadPriority(platform::ThreadPriority::TimeCritical);
  auto& b = FBurner;
  // The abort flag was cleared when the job started: a Cancel pressed while
  // the thread was being started must not be lost.
  FBytesWritten = 0;
  FBufferFill = -1;
  FCache->ResetErrorText("");
  std::unique_ptr<ImageTarget> image;
  bool prepared = false;

  auto abortJob = [&] {
    FCache->SetErrorText(msg::OPERATION_ABORTED_BY_USER);
    FCache->Cancel();
  };

  if (toImageFile) {
    image = std::make_unique<ImageTarget>(b.ISOFileName);
    if (!image->Create()) {
      FCache->SetErrorText(FormatPath(msg::CANT_CREATE_FILE, b.ISOFileName));
      FCache->Cancel();
    }
  } else {
    b.CommandErrorTraceDone = true;
    prepared = PrepareDisc();
  }
  if (imageFileSource || toImageFile) FStartAddress = 0;
  FWholeBlocks = !toImageFile && !imageFileSource && !IsCd(FDiscKind);
  FCarryLength = FCarryUsed = FGathered = 0;
  if (FWholeBlocks && !FCarry) FCarry.reset(new std::uint8_t[kMaxBlockSize + 4]);

  bool firstBlock = true;
  std::int64_t sectorsWritten = 0;
  int pollCountdown = 5;
  while (FCache->ErrorText().empty()) {
    // Next block.
    if (FAbort) {
      abortJob();
      break;
    }
    int c = TakeBlock();
    if (!FCache->ErrorText().empty()) break;
    if (c < 0) {
      SleepBriefly();
      continue;
    }
    if (c == 0) break;  // end of the data
    if (!toImageFile && !imageFileSource && !IsCd(FDiscKind) && c < kDvdBlockSize) {
      // DVD media take whole 32-sector blocks; the rest is zero.
      std::memset(FBuffer.get() + c, 0, static_cast<std::size_t>(kDvdBlockSize - c));
      c = kDvdBlockSize;
    }
    b.CurrentFile = FCache->CurrentFile();
    std::int64_t written = FBytesWritten + c;
    if (FImageSectors < written / kSector) written = FImageSectors * kSector;
    FBytesWritten = written;
    if (toImageFile) {
      int code = 0;
      if (!image->Write(FBuffer.get(), static_cast<std::size_t>(c), code)) {
        FCache->SetErrorText(FormatWriteError(b.ISOFileName, code));
        FCache->Cancel();
        break;
      }
    } else {
      if (firstBlock && !imageFileSource && IsOverwritable(FDiscKind)) {
        if (!WriteFirstBlockAtZero(c)) break;
      }
      firstBlock = false;
      if (pollCountdown == 0 && FBufferCapacityWorks) {
        if (b.ReadBufferCapacity()) pollCountdown = 5;
        if (b.DeviceBufferSize)
          FBufferFill = static_cast<int>(100 - std::min<std::uint64_t>(100, 100ull * b.DeviceFreeBufferSize / b.DeviceBufferSize));
      }
      if (pollCountdown > 0) --pollCountdown;
      std::uint32_t retries = 0;
      bool ok = false;
      for (;;) {
        if (FAbort) {
          abortJob();
          break;
        }
        const auto lba = static_cast<std::uint32_t>(FStartAddress + sectorsWritten);
        if (WriteBlock(lba, c)) {
          ok = true;
          break;
        }
        const std::uint8_t asc = b.LastSense[12];
        if (asc == 0x04 || asc == 0x00) {
          b.SleepMs(600);
          if (++retries < Limits.BusyRetries) continue;
          FCache->SetErrorText(msg::WRITER_BUSY_BUFFER_FULL);
        } else {
          FCache->SetErrorText(std::string(msg::WRITER_ERROR) + " [" + b.LastError + "]");
        }
        FCache->Cancel();
        break;
      }
      if (!ok) break;
    }
    sectorsWritten += c / kSector;
  }

  if (toImageFile && image && FCache->ErrorText().empty()) {
    int code = 0;
    if (!image->Commit(code)) FCache->SetErrorText(FormatWriteError(b.ISOFileName, code));
  }
  image.reset();  // an unfinished image is removed
  if (!toImageFile && prepared) {
    FinishDisc();
    FBurner.NeutralDriveState();
  }
  End();
}

void TRecordingJobs::End() {
  auto& b = FBurner;
  std::string result;
  {
    std::lock_guard lock(b.CriticalSection());
    b.CurrentFile = FCache->CurrentFile();
    result = FCache->ErrorText();
  }
  FCache->Cancel();
  FCache->WaitFor();
  drive::CloseHandleAfterCommand = true;
  b.CurrentFile.clear();
  b.WriteDoneError = result;
  FRunning = false;
  if (b.OnWriteDone) {
    auto deliver = [&b, result] { b.OnWriteDone(&b, result); };
    if (FSync)
      FSync->Synchronize(deliver);
    else
      deliver();
  }
}

}  // namespace velloran::recording
