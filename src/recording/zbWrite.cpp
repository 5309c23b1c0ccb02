#include "recording/zbWrite.h"

#include "drive/mmc_reply.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"
#include "image/image_messages.h"
#include "image/source_check.h"
#include "platform/process.h"
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
namespace mmc = drive::mmc;
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

// DVD-R and DVD-RW recorded in sessions take the multi-session bits of the
// write parameters page as they stand when the session is closed.
bool IsDvdMinusSequential(std::uint8_t kind) { return kind == kKindDvdR || kind == kKindDvdRwSequential; }

// FORMAT UNIT parameter lists (header with FOV and IMMED, one descriptor).
// DVD-RW sequential, blank: quick format (type 15h) into restricted
// overwrite; the second list is the same without DCRT and a block count,
// for drives that refuse the first.
constexpr std::uint8_t kQuickFormat[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
constexpr std::uint8_t kQuickFormatPlain[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x54, 0x00, 0x00, 0x10};
// DVD-RW restricted overwrite: grow the formatted area (type 13h); never
// erases what is recorded.
constexpr std::uint8_t kGrowFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};
// DVD+RW: background format of the whole disc (type 26h).
constexpr std::uint8_t kPlusRwFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};

std::string Bracketed(const char* text, const std::string& reason) { return std::string(text) + " [" + reason + "]"; }

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

void SleepBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// The session of a laid-out compilation, pulled sector by sector.
class CompilationSource final : public TBlockSource {
 public:
  CompilationSource(const image::TImagePlan& plan, image::DebugFn debug,
                    std::vector<platform::TDigest>* digests = nullptr)
      : reader_(plan, std::move(debug)) {
    reader_.HashFiles(digests);
  }
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

bool TRecordingJobs::StartCache(std::unique_ptr<TBlockSource> source, std::int64_t total, int blockSize,
                                bool padToMinimum) {
  FCache = std::make_unique<TCacheThread>(FBurner.CacheSize(), std::move(source), total, padToMinimum, blockSize,
                                          FBurner.CriticalSection());
  FCache->Start();
  return true;
}

std::string TRecordingJobs::WaitForCache() {
  for (;;) {
    if (FCache->Ready()) return {};
    std::string error = FCache->ErrorText();
    if (!error.empty()) {
      FBurner.CurrentFile = FCache->CurrentFile();
      FCache->WaitFor();
      return error;
    }
    if (FAbort) {
      FCache->Cancel();
      FCache->WaitFor();
      return msg::OPERATION_ABORTED_BY_USER;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TRecordingJobs::BeginJob() {
  if (FRunning) return false;
  if (FBurner.Erasing()) {
    Fail(msg::ERASE_IN_PROGRESS);
    return false;
  }
  FAbort = false;
  return true;
}

bool TRecordingJobs::CheckSources() {
  // What each file was is kept for the verification only (about 50 bytes a
  // file, tens of megabytes on the largest compilations).
  image::TSourceStamps().swap(FSourceStamps);
  const bool verifying = FBurner.Verify && !FBurner.TestWrite;
  const std::vector<std::string> failures =
      image::CheckSourceFiles(FBurner.Tree(), verifying ? &FSourceStamps : nullptr);
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
  if (!BeginJob()) return false;
  if (!CheckSources()) return false;
  StartWriteThread(false, TSource::Compilation);
  return true;
}

bool TRecordingJobs::BurnImageFile(const std::string& FileName) {
  if (FRunning) return false;
  std::int64_t size;
  try {
    TFileStreamEx stream(FileName, fmOpenRead | fmShareDenyNone);
    size = stream.Size();
  } catch (const EOSError&) {
    if (FBurner.OnWriteDone) Fail(FormatPath(msg::CANT_OPEN_FILE, FileName));
    return false;
  }
  if (!BeginJob()) return false;
  FImageFile = FileName;
  FImageSectors = (size + kSector - 1) / kSector;
  StartWriteThread(false, TSource::ImageFile);
  return true;
}

int TRecordingJobs::SaveImageFile(const std::string& FileName, bool Direct) {
  if (FRunning) return -1;
  // Files imported from a disc session are extents on that disc: an image
  // whose records pointed there would point outside itself.
  for (const auto& f : FBurner.Tree().Files())
    if (f->Imported && !f->IsDirectory()) {
      Fail(image::msg::IMAGE_OF_IMPORTED_FILES);
      return Direct ? 0 : -1;
    }
  platform::FailWritesBeyondFileSizeLimit();
  if (Direct) return FBurner.SaveImageDirect(FileName);
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
  StartCache(std::move(source), FPlan->TotalSectors * kSector, kDvdBlockSize, FBurner.WritePostGap);
  if (std::string error = WaitForCache(); !error.empty()) {
    FCache.reset();
    Fail(error);
    return -1;
  }
  StartWriteThread(true, TSource::Compilation);
  return -1;
}

void TRecordingJobs::StartWriteThread(bool toImageFile, TSource source) {
  if (FThread.joinable()) {
    // The previous write thread is past its OnWriteDone (it may be the
    // thread delivering it right now); nothing of it touches this object.
    FThread.detach();
  }
  FRunning = true;
  FThread = std::thread([this, toImageFile, source] { Execute(toImageFile, source); });
}

int TRecordingJobs::TakeBlock() {
  std::lock_guard lock(FBurner.CriticalSection());
  if (!FWholeBlocks) return FCache->GetBlock(FBuffer.get());
  // DVD media are written in whole 32-sector blocks. The cache ends the
  // data with a short block, and the zero padding that lengthens a short
  // track to 300 sectors follows in blocks of its own: padding each of them
  // to 32 sectors would write beyond the end of the session's data.
  // They are gathered into whole blocks instead.
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

std::string TRecordingJobs::Aborted() {
  if (FCache) FCache->Cancel();
  return msg::OPERATION_ABORTED_BY_USER;
}

std::string TRecordingJobs::WaitReady(std::uint32_t budgetMs, const char* timeoutMessage, const char* failure,
                                      bool cancellable) {
  auto& b = FBurner;
  switch (b.WaitForDrive(budgetMs, Limits.PollMs, cancellable ? &FAbort : nullptr)) {
    case drive::TSCSIDevice::TWaitResult::Ready: return {};
    case drive::TSCSIDevice::TWaitResult::Cancelled: return Aborted();
    case drive::TSCSIDevice::TWaitResult::TimedOut: return timeoutMessage;
    case drive::TSCSIDevice::TWaitResult::Failed: break;
  }
  return Bracketed(failure, b.LastError);
}

void TRecordingJobs::Execute(bool toImageFile, TSource source) {
  platform::SetCurrentThreadPriority(platform::ThreadPriority::TimeCritical);
  // The abort flag was cleared when the job started: a Cancel pressed while
  // the thread was being started must not be lost.
  FBytesWritten = 0;
  FBufferFill = -1;
  FSource = source;
  if (toImageFile) {
    SaveToFile();
    return;
  }
  auto& b = FBurner;
  // The error trace stays on only when the owner asked for debugging: the
  // polling of a busy drive fails commands as a matter of course.
  const bool traceWas = b.CommandErrorTraceDone;
  b.CommandErrorTraceDone = !b.DoDebug;

  std::string error = PrepareMedium();
  if (error.empty()) error = source == TSource::Compilation ? LayOutSession() : PlanImage();
  if (error.empty()) error = PrepareDrive();
  bool wrote = false;
  if (error.empty()) error = WriteData(wrote);
  if (wrote) {
    // Whatever happened, what the drive holds in its buffer goes to the
    // disc: the track must end where the data ends.
    const std::string flushed = Flush();
    if (error.empty()) error = flushed;
  }
  if (error.empty()) error = CommitSession();
  b.NeutralDriveState();
  if (error.empty()) error = VerifyRecording();
  b.CommandErrorTraceDone = traceWas;
  End(error);
}

void TRecordingJobs::SaveToFile() {
  auto& b = FBurner;
  FCache->ResetErrorText("");
  FWholeBlocks = false;
  std::string error;
  ImageTarget image(b.ISOFileName);
  if (!image.Create()) error = FormatPath(msg::CANT_CREATE_FILE, b.ISOFileName);
  while (error.empty()) {
    if (FAbort) {
      error = Aborted();
      break;
    }
    const int c = TakeBlock();
    if (!FCache->ErrorText().empty()) break;
    if (c < 0) {
      SleepBriefly();
      continue;
    }
    if (c == 0) break;  // the end of the data
    b.CurrentFile = FCache->CurrentFile();
    std::int64_t written = FBytesWritten + c;
    if (FImageSectors < written / kSector) written = FImageSectors * kSector;
    FBytesWritten = written;
    int code = 0;
    if (!image.Write(FBuffer.get(), static_cast<std::size_t>(c), code)) error = FormatWriteError(b.ISOFileName, code);
  }
  if (error.empty() && FCache->ErrorText().empty()) {
    int code = 0;
    if (!image.Commit(code)) error = FormatWriteError(b.ISOFileName, code);
  }
  image.Discard();  // an unfinished image is removed
  End(error);
}

std::string TRecordingJobs::PrepareMedium() {
  auto& b = FBurner;
  FUnfinishedSession = false;
  FBufferCapacityWorks = b.ReadBufferCapacity();
  b.StartStopUnit(false);
  // The disc stays in the drive until the job ends (NeutralDriveState
  // allows removal again): no eject, from this program or another, may
  // take it out mid-write.
  b.PreventAllowRemoval(false);
  if (std::string e = WaitReady(Limits.ReadyMs, msg::DRIVE_NOT_READY_IN_TIME, msg::DRIVE_NOT_READY); !e.empty())
    return e;
  FDiscKind = b.GetDiscKind();
  FTraits = TraitsOf(FDiscKind);
  const std::string name = DiscKindNames()[FDiscKind & 15];
  if (!FTraits.writable) return Printf(msg::DISC_NOT_WRITABLE, name.c_str());
  if (b.TestWrite) {
    // Media without a test mode would record for real: refused before
    // anything is sent. A test write leaves the disc as it is, so nothing
    // is closed or formatted either.
    if (!FTraits.testWrite) return Printf(msg::TEST_WRITE_MEDIUM, name.c_str());
    if (!(b.Capabilities & cap::WriteTest)) return msg::TEST_WRITE_DRIVE;
    return {};
  }
  if (!b.ReadDiscInformation()) return Bracketed(msg::DRIVE_NOT_READY, b.LastError);
  if (FTraits.sessions) {
    if (b.DiscInfo.discStatus == 2) return msg::DISC_CLOSED;
    // Closed when the session that follows it is laid out (LayOutSession).
    FUnfinishedSession = b.DiscInfo.discStatus == 1 && b.DiscInfo.lastSessionState != 0;
  }
  if (FDiscKind == kKindDvdRwSequential && b.DiscInfo.discStatus == 0) {
    // A blank DVD-RW is quick formatted into restricted overwrite, where
    // later sessions grow one file system. One that holds sessions is
    // appended to as it is: formatting would destroy them.
    if (FAbort) return Aborted();
    if (!b.FormatUnit(0x11, kQuickFormat, 12) && !b.FormatUnit(0x11, kQuickFormatPlain, 12))
      return Bracketed(msg::ERROR_FORMATTING, b.LastError);
    if (std::string e = WaitReady(Limits.QuickFormatMs, msg::QUICK_FORMAT_TIMEOUT, msg::ERROR_FORMATTING); !e.empty())
      return e;
    FDiscKind = b.GetDiscKind();
    FTraits = TraitsOf(FDiscKind);
  } else if (FDiscKind == kKindDvdPlusRw) {
    mmc::FormatCapacityList list;
    if (b.ReadFormatCapacityList(list) && list.currentType == 1) {
      // Never formatted: the drive takes no write before a format is
      // started (it goes on in the background while the data is written).
      if (FAbort) return Aborted();
      if (!b.FormatUnit(0x11, kPlusRwFormat, 12)) return Bracketed(msg::ERROR_FORMATTING, b.LastError);
      if (std::string e = WaitReady(Limits.QuickFormatMs, msg::QUICK_FORMAT_TIMEOUT, msg::ERROR_FORMATTING);
          !e.empty())
        return e;
    }
  }
  return {};
}

std::string TRecordingJobs::CloseUnfinishedSession() {
  // A session left open by a cancelled or failed burn, or by a program that
  // was killed: its data is of no use (readers look at the last closed
  // session), but it must be closed before a new session can follow it.
  auto& b = FBurner;
  const int session = b.DiscInfo.sessions;
  b.DebugMessage(">>> " + Printf(msg::CLOSING_UNFINISHED_SESSION, session), 1);
  FTrack = b.DiscInfo.lastTrackLastSession;
  const bool holdsData = b.ReadTrackInformation(FTrack) && (!b.TrackInfo.blank || b.TrackInfo.reserved);
  // Multi-session 11b: the disc stays appendable.
  const bool finalize = b.FinalizeDisc;
  b.FinalizeDisc = false;
  b.SetWriteParameters(false, b.UnderrunProtection, FDiscKind, true);
  b.FinalizeDisc = finalize;
  if (std::string e = RunCloseSteps(UnfinishedSessionSteps(FDiscKind, holdsData), true); !e.empty()) return e;
  if (!b.ReadDiscInformation()) return Bracketed(msg::DRIVE_NOT_READY, b.LastError);
  if (b.DiscInfo.discStatus == 2) return msg::DISC_CLOSED;
  return {};
}

std::string TRecordingJobs::RoomBeforeClosing() {
  // Once closed, the unfinished session is the newest one readers find, and
  // on write-once media that cannot be undone: it is closed only for a
  // session that can follow it. What its track can still take is an upper
  // bound of what is left once the close has spent its lead-out and the
  // next lead-in (or border).
  auto& b = FBurner;
  b.RequestNextWritableAddress = true;
  const bool built = b.BuildLayout(false, b.RootDir());
  b.RequestNextWritableAddress = false;
  if (!built) return {};  // the layout after the close tells why
  const std::int64_t sectors = IsCd(FDiscKind) ? b.ImageSectors() : (b.ImageSectors() + 31) / 32 * 32;
  if (!b.ReadDiscInformation() || !b.ReadTrackInformation(b.DiscInfo.lastTrackLastSession))
    return Bracketed(msg::DRIVE_NOT_READY, b.LastError);
  const std::int64_t free = b.TrackInfo.freeBlocks;
  if (sectors > free) return Printf(msg::NOT_ENOUGH_SPACE, static_cast<long long>(sectors), static_cast<long long>(free));
  return {};
}

std::string TRecordingJobs::MakeRoom(std::int64_t sectors) {
  auto& b = FBurner;
  std::int64_t free = 0;
  if (FTraits.sessions) {
    if (!b.ReadDiscInformation() || !b.ReadTrackInformation(b.DiscInfo.lastTrackLastSession))
      return Bracketed(msg::DRIVE_NOT_READY, b.LastError);
    free = b.TrackInfo.freeBlocks;
  } else if (FDiscKind == kKindDvdRwRestricted) {
    const std::int64_t end = FStartAddress + sectors;
    const std::int64_t capacity = b.RestrictedOverwriteCapacity();
    free = capacity - FStartAddress;
    mmc::FormatCapacityList list;
    if (end <= capacity && b.ReadFormatCapacityList(list) && list.currentType == 2 && end > list.current) {
      // The formatted area ends before the session would: grow it (the
      // area then takes writes that continue it, up to the next close).
      if (FAbort) return Aborted();
      if (!b.FormatUnit(0x11, kGrowFormat, 12)) return Bracketed(msg::ERROR_FORMATTING, b.LastError);
      if (std::string e = WaitReady(Limits.QuickFormatMs, msg::QUICK_FORMAT_TIMEOUT, msg::ERROR_FORMATTING);
          !e.empty())
        return e;
    }
  } else {
    mmc::FormatCapacityList list;
    if (!b.ReadFormatCapacityList(list)) return Bracketed(msg::DRIVE_NOT_READY, b.LastError);
    free = static_cast<std::int64_t>(list.current) - FStartAddress;
  }
  if (sectors > free)
    return Printf(msg::NOT_ENOUGH_SPACE, static_cast<long long>(sectors), static_cast<long long>(std::max<std::int64_t>(free, 0)));
  return {};
}

std::string TRecordingJobs::LayOutSession() {
  auto& b = FBurner;
  if (FAbort) return Aborted();
  if (FUnfinishedSession) {
    if (std::string e = RoomBeforeClosing(); !e.empty()) return e;
    if (FAbort) return Aborted();
    if (std::string e = CloseUnfinishedSession(); !e.empty()) return e;
    FUnfinishedSession = false;
  }
  b.RequestNextWritableAddress = true;
  const bool built = b.BuildLayout(false, b.RootDir()) && b.BuildMetadata(false, b.RootDir());
  b.RequestNextWritableAddress = false;
  if (!built) return b.WriteDoneError.empty() ? msg::ERROR_GETTING_NEXT_WRITABLE_ADDRESS : b.WriteDoneError;
  FPlan = std::make_unique<image::TImagePlan>(b.ImagePlan());
  FStartAddress = b.Layout().StartAddress;
  FImageSectors = b.ImageSectors();
  if (FAbort) return Aborted();

  // A disc that holds data has a writable address beyond it: 0 means the
  // drive could not tell, and writing there would fail or destroy.
  if (FTraits.sessions && FStartAddress == 0 && (!b.ReadDiscInformation() || b.DiscInfo.discStatus != 0))
    return msg::ERROR_GETTING_NEXT_WRITABLE_ADDRESS;
  // Nothing is ever written over an extent the new session refers to: not
  // the session itself, nor the descriptors that go to address 16 of an
  // overwritable disc.
  const std::uint32_t descriptorSectors = b.Layout().Terminator + 1 - FStartAddress - 16;
  const bool rewritesDescriptors = FTraits.overwritable && FStartAddress != 0;
  for (const auto& f : b.Tree().Files()) {
    if (!f->Imported || f->IsDirectory() || f->Size <= 0) continue;
    const std::int64_t first = static_cast<std::uint32_t>(f->Extent);
    const std::int64_t end = first + (f->Size + kSector - 1) / kSector;
    const bool underDescriptors = rewritesDescriptors && first < 16 + descriptorSectors && end > 16;
    if (end > FStartAddress || underDescriptors)
      return Printf(msg::WOULD_OVERWRITE, static_cast<unsigned>(std::max<std::int64_t>(first, FStartAddress)));
  }
  const std::int64_t sectors = IsCd(FDiscKind) ? FImageSectors : (FImageSectors + 31) / 32 * 32;
  if (std::string e = MakeRoom(sectors); !e.empty()) return e;

  FDigests.clear();
  auto source = std::make_unique<CompilationSource>(
      *FPlan, [this](const std::string& text, std::uint8_t type) { FBurner.DebugMessage(text, type); },
      b.Verify && !b.TestWrite ? &FDigests : nullptr);
  StartCache(std::move(source), FPlan->TotalSectors * kSector, BlockSizeFor(FDiscKind), b.WritePostGap);
  return WaitForCache();
}

std::string TRecordingJobs::PlanImage() {
  auto& b = FBurner;
  FStartAddress = 0;
  if (FTraits.sessions && (!b.ReadDiscInformation() || b.DiscInfo.discStatus != 0))
    return msg::IMAGE_NEEDS_BLANK_DISC;
  const std::int64_t unit = FTraits.writeUnit;
  if (std::string e = MakeRoom((FImageSectors + unit - 1) / unit * unit); !e.empty()) return e;
  FSectorDigests.clear();
  StartCache(MakeImageFileSource(FImageFile, FImageSectors * kSector,
                                 b.Verify && !b.TestWrite ? &FSectorDigests : nullptr),
             FImageSectors * kSector, BlockSizeFor(FDiscKind), b.WritePostGap);
  return WaitForCache();
}

std::string TRecordingJobs::PrepareDrive() {
  auto& b = FBurner;
  if (FDiscKind != kKindDvdPlusRw) b.RezeroUnit();
  b.SetCDSpeed(b.ReadSpeed, b.WriteSpeed());
  const std::uint32_t speed = b.CurrentWriteSpeed();
  const bool finalize = b.FinalizeDisc;
  b.FinalizeDisc = true;
  const bool pageTaken = b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, FDiscKind, !finalize);
  b.FinalizeDisc = finalize;
  if (b.TestWrite) {
    // A drive that dropped the test bit would record for real.
    alignas(8) std::array<std::uint8_t, 512> reply{};
    std::size_t off = 0;
    if (pageTaken && b.ModeSense10(0x05, reply.data(), false, reply.size(), reply.size() - 1))
      off = mmc::ModePageOffset(reply, 0x05);
    if (off == 0 || !(reply[off + 2] & 0x10)) return msg::TEST_WRITE_REFUSED;
  }
  switch (FDiscKind) {
    case kKindDvdR: case kKindDvdRwRestricted: case kKindDvdRwSequential: case kKindDvdPlusR:
    case kKindDvdPlusRw: case kKindDvdPlusRDl:
      b.SetStreamingPerformance(0, FStartAddress + static_cast<std::uint32_t>(FImageSectors),
                                static_cast<std::uint32_t>(std::trunc(b.ReadSpeed / 1385.0 * 1440.25)),
                                static_cast<std::uint32_t>(std::trunc(b.WriteSpeed() / 1385.0 * 1440.25)), 1000, 1000);
      break;
    default: break;
  }
  // The track the data goes to: the disc's last (invisible) track.
  FTrack = b.ReadDiscInformation() && b.DiscInfo.lastTrackLastSession ? b.DiscInfo.lastTrackLastSession : 1;
  if (FDiscKind == kKindDvdR) {
    static const std::uint8_t kDescriptor[28] = {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x23, 0x12, 0x7F, 0x00, 0x00,
                                                 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x05, 0x8A,
                                                 0x00, 0x00, 0x03, 0xE8};
    b.SetStreaming(kDescriptor, 28);
    b.SendTimeStamp(std::time(nullptr));
  }
  if (FDiscKind != kKindDvdRam && !b.TestWrite && b.PerformOPC) b.SendOPCInformation();
  char line[256];
  std::snprintf(line, sizeof line, msg::STARTING_WRITE_PROCESS, DiscKindNames()[FDiscKind & 15].c_str(),
                WriteSpeedText(FDiscKind, speed).c_str());
  b.DebugMessage(std::string(">>> ") + line, 1);
  if (b.TestWrite) b.DebugMessage(std::string(">>> ") + msg::TEST_DUMMY_WRITE, 1);
  return FAbort ? Aborted() : std::string();
}

bool TRecordingJobs::WriteBlock(std::uint32_t lba, int count) {
  return FBurner.Write10(lba, static_cast<std::uint16_t>(count / kSector), SRB_DIR_OUT | SRB_EVENT_NOTIFY,
                         static_cast<std::uint32_t>(count), FBuffer.get());
}

std::string TRecordingJobs::WriteData(bool& wrote) {
  auto& b = FBurner;
  const bool compilation = FSource == TSource::Compilation;
  FWholeBlocks = compilation && !IsCd(FDiscKind);
  FCarryLength = FCarryUsed = FGathered = 0;
  if (FWholeBlocks && !FCarry) FCarry.reset(new std::uint8_t[kMaxBlockSize + 4]);
  // The last block of an image is padded to the medium's write unit.
  const int unitBytes = static_cast<int>(FTraits.writeUnit) * kSector;

  const bool deferDescriptors = compilation && FTraits.overwritable && FStartAddress == 0;
  std::int64_t sectorsWritten = 0;
  int pollCountdown = 5;
  // The longest the drive went without a write once the first was sent:
  // the drive's buffer must outlast it, or the recording starves.
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> lastWrite;
  Clock::duration longestPause{};
  const auto reportPause = [&] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(longestPause).count();
    b.DebugMessage(">>> Longest pause between writes: " + std::to_string(ms) + " ms (cache empty " +
                       std::to_string(FCache ? FCache->EmptyTakes() : 0) + " times)",
                   1);
  };
  for (;;) {
    if (FAbort) return Aborted();
    int c = TakeBlock();
    if (std::string e = FCache->ErrorText(); !e.empty()) return e;
    if (c < 0) {
      SleepBriefly();
      continue;
    }
    if (c == 0) {  // the end of the data
      reportPause();
      break;
    }
    if (FWholeBlocks && c < kDvdBlockSize) {
      // DVD media take whole 32-sector blocks; the rest is zero.
      std::memset(FBuffer.get() + c, 0, static_cast<std::size_t>(kDvdBlockSize - c));
      c = kDvdBlockSize;
    } else if (!compilation && c % unitBytes != 0) {
      const int padded = (c + unitBytes - 1) / unitBytes * unitBytes;
      std::memset(FBuffer.get() + c, 0, static_cast<std::size_t>(padded - c));
      c = padded;
    }
    if (sectorsWritten == 0 && deferDescriptors) {
      // The session starts at 0 on an overwritable disc: its descriptors go
      // there last (WriteDescriptors), after all of its data.
      const std::size_t from = 16 * kSector;
      const std::size_t to = std::min<std::size_t>(static_cast<std::size_t>(c), b.DescriptorCopy().size());
      if (to > from) std::memset(FBuffer.get() + from, 0, to - from);
    }
    b.CurrentFile = FCache->CurrentFile();
    std::int64_t written = FBytesWritten + c;
    if (FImageSectors < written / kSector) written = FImageSectors * kSector;
    FBytesWritten = written;
    if (pollCountdown == 0 && FBufferCapacityWorks) {
      if (b.ReadBufferCapacity()) pollCountdown = 5;
      if (b.DeviceBufferSize)
        FBufferFill = static_cast<int>(100 - std::min<std::uint64_t>(100, 100ull * b.DeviceFreeBufferSize / b.DeviceBufferSize));
    }
    if (pollCountdown > 0) --pollCountdown;
    for (std::uint32_t retries = 0;;) {
      if (FAbort) return Aborted();
      wrote = true;
      const auto lba = static_cast<std::uint32_t>(FStartAddress + sectorsWritten);
      if (lastWrite) longestPause = std::max(longestPause, Clock::now() - *lastWrite);
      const bool written = WriteBlock(lba, c);
      lastWrite = Clock::now();
      if (written) break;
      const std::uint8_t asc = b.LastSense[12];
      if (asc == 0x04 || asc == 0x00) {
        b.SleepMs(600);
        if (++retries < Limits.BusyRetries) continue;
        if (FCache) FCache->Cancel();
        return msg::WRITER_BUSY_BUFFER_FULL;
      }
      if (FCache) FCache->Cancel();
      return Bracketed(msg::WRITER_ERROR, b.LastError);
    }
    sectorsWritten += c / kSector;
  }
  return {};
}

std::string TRecordingJobs::Flush() {
  auto& b = FBurner;
  if (FDiscKind != kKindDvdRam) b.ReadBufferCapacity();
  if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
  std::string error;
  // With the immediate bit the drive answers at once and is polled while it
  // writes out its buffer; drives that refuse the bit flush without it.
  if (!b.SynchronizeCache(Limits.FlushMs, true) && !b.SynchronizeCache(Limits.FlushMs, false))
    error = Bracketed(msg::WRITER_ERROR, b.LastError);
  else
    error = WaitReady(Limits.FlushMs, msg::FLUSH_TIMEOUT, msg::WRITER_ERROR, false);
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
  return error;
}

std::string TRecordingJobs::CommitSession() {
  auto& b = FBurner;
  // A test write leaves the disc as it found it.
  if (b.TestWrite) return {};
  // The last moment a cancel is honoured: what follows makes the new
  // session the one readers see.
  if (FAbort) return Aborted();
  if (FTraits.overwritable && FSource == TSource::Compilation)
    if (std::string e = WriteDescriptors(); !e.empty()) return e;
  if (!b.FinalizeTrack) return {};
  if (!IsDvdMinusSequential(FDiscKind)) b.SetWriteParameters(false, b.UnderrunProtection, FDiscKind, !b.FinalizeDisc);
  return RunCloseSteps(CloseSteps(FDiscKind, b.FinalizeDisc), false);
}

std::string TRecordingJobs::WriteDescriptors() {
  // The descriptors at 16 of an overwritable disc are what readers look at:
  // they are written last, once the session's data is on the disc, so a
  // failure before leaves the earlier file system in view.
  auto& b = FBurner;
  const auto& copy = b.DescriptorCopy();  // the session's first sectors through its terminator
  const std::uint32_t sectors = static_cast<std::uint32_t>(copy.size() / kSector);
  if (sectors <= 16) return {};
  const std::uint32_t count = sectors - 16;
  // Restricted overwrite takes whole 16-sector units: what the unit holds
  // beyond the descriptors is read first and written back unchanged.
  const std::uint32_t unit = FTraits.writeUnit;
  const std::uint32_t first = 16 / unit * unit;
  const std::uint32_t end = (16 + count + unit - 1) / unit * unit;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(end - first) * kSector, 0);
  if (first != 16 || end != 16 + count) {
    if (!b.Read10(first, static_cast<std::uint16_t>(end - first), static_cast<std::uint32_t>(data.size()), data.data()))
      return Bracketed(msg::ERROR_WRITING_DESCRIPTORS, b.LastError);
  }
  std::memcpy(data.data() + (16 - first) * kSector, copy.data() + 16 * kSector, count * kSector);
  for (std::uint32_t attempt = 0;; ++attempt) {
    if (b.Write10(first, static_cast<std::uint16_t>(end - first), SRB_DIR_OUT | SRB_EVENT_NOTIFY,
                  static_cast<std::uint32_t>(data.size()), data.data()))
      break;
    const mmc::SenseInfo s = mmc::DecodeSense(b.LastSense);
    // Becoming ready, or busy with a background format: wait and try again.
    if (!(s.valid && s.key == 0x02 && s.asc == 0x04)) return Bracketed(msg::ERROR_WRITING_DESCRIPTORS, b.LastError);
    if (attempt >= 10) return msg::WRITER_BUSY_BUFFER_FULL;
    if (std::string e = WaitReady(Limits.ReadyMs, msg::WRITER_BUSY_BUFFER_FULL, msg::ERROR_WRITING_DESCRIPTORS);
        !e.empty())
      return e;
  }
  if (!b.SynchronizeCache(Limits.FlushMs, true) && !b.SynchronizeCache(Limits.FlushMs, false))
    return Bracketed(msg::ERROR_WRITING_DESCRIPTORS, b.LastError);
  return WaitReady(Limits.FlushMs, msg::FLUSH_TIMEOUT, msg::ERROR_WRITING_DESCRIPTORS, false);
}

std::string TRecordingJobs::RunCloseSteps(const std::vector<TCloseStep>& steps, bool cancellable) {
  auto& b = FBurner;
  for (const TCloseStep& step : steps) {
    if (step.whileFormatting && (!b.ReadDiscInformation() || b.DiscInfo.bgFormatStatus != 2)) continue;
    if (step.closesDisc) {
      // The page sent for the recording keeps the disc appendable
      // (multi-session 11b, as incremental recording needs); the drive
      // closes the disc with the session only when the page says 00b then.
      auto page = b.WriteParametersPage;
      page[3] &= 0x3F;
      std::size_t length = 0;
      const auto list = ModeSelectList(page, length);
      if (!b.ModeSelect10(list.data(), static_cast<std::uint32_t>(length)))
        return Bracketed(msg::ERROR_CLOSING_SESSION, b.LastError);
    }
    const std::uint32_t t = step.track ? FTrack : 0;
    const char* failure = step.function == 1 ? msg::ERROR_CLOSING_TRACK : msg::ERROR_CLOSING_SESSION;
    if (!b.CloseTrackSessionRaw(true, step.function, 0, static_cast<std::uint8_t>((t >> 8) & 0xFF),
                                static_cast<std::uint8_t>(t & 0xFF)))
      return Bracketed(failure, b.LastError);
    if (std::string e = WaitReady(Limits.CloseMs, msg::CLOSE_TIMEOUT, failure, cancellable); !e.empty()) return e;
  }
  return {};
}

void TRecordingJobs::End(const std::string& error) {
  auto& b = FBurner;
  std::string result = error;
  if (FCache) {
    {
      std::lock_guard lock(b.CriticalSection());
      b.CurrentFile = FCache->CurrentFile();
      if (result.empty()) result = FCache->ErrorText();
    }
    FCache->Cancel();
    FCache->WaitFor();
  }
  b.CurrentFile.clear();
  Finish(result);
}

void TRecordingJobs::Finish(const std::string& result) {
  auto& b = FBurner;
  drive::CloseHandleAfterCommand = true;
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
