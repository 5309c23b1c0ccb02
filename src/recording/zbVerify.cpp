// Verification jobs: the read-back after a burn (on the write thread, once
// the session is closed) and the comparison of a disc with files on disk.
// Both read through READ (10) as the session import does, and report with
// OnVerifyProgress and OnVerifyDone before the job's OnWriteDone.
#include "drive/mmc_reply.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"
#include "recording/zbWrite.h"

#include <chrono>
#include <cstdio>

namespace velloran::recording {

using namespace drive::mmc;
namespace msg = drive::msg;

namespace {

// Media whose readers take the volume descriptors at 16, which the burn
// points at the newest session.
bool DescriptorsAtZero(std::uint8_t kind) {
  return kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
}

std::string FormatInt(const char* format, int value) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

std::optional<std::vector<image::TVerifyMismatch>> TRecordingJobs::RunVerifier(
    const std::function<std::vector<image::TVerifyMismatch>(image::TVerifier&)>& verify) {
  auto& b = FBurner;
  image::TVerifier verifier([&b](std::uint32_t lba, std::uint32_t count, std::uint8_t* out) {
    return b.Read10(lba, static_cast<std::uint16_t>(count), count * image::kSectorSize, out);
  });
  verifier.Cancelled = [this] { return FAbort.load(); };
  auto last = std::chrono::steady_clock::now();
  verifier.OnProgress = [&](std::int64_t done, std::int64_t total) {
    FVerifyDone = done;
    FVerifyTotal = total;
    // A few events a second: each one waits for the owner's thread.
    const auto now = std::chrono::steady_clock::now();
    if (!b.OnVerifyProgress || (now - last < std::chrono::milliseconds(250) && done < total)) return;
    last = now;
    auto deliver = [&b, done, total] { b.OnVerifyProgress(&b, done, total); };
    if (FSync)
      FSync->Synchronize(deliver);
    else
      deliver();
  };
  FVerifyDone = 0;
  FVerifyTotal = 0;
  FVerifying = true;
  b.DebugMessage(std::string(">>> ") + image::verify_msg::VERIFYING, 1);
  std::vector<image::TVerifyMismatch> found = verify(verifier);
  FVerifying = false;
  if (verifier.WasCancelled()) return std::nullopt;
  for (const auto& m : found) b.DebugMessage(">>> " + image::MismatchLine(m), 0);
  return found;
}

void TRecordingJobs::DeliverVerifyDone(const std::vector<image::TVerifyMismatch>& mismatches) {
  auto& b = FBurner;
  if (!b.OnVerifyDone) return;
  auto deliver = [&b, &mismatches] { b.OnVerifyDone(&b, mismatches); };
  if (FSync)
    FSync->Synchronize(deliver);
  else
    deliver();
}

std::string TRecordingJobs::VerifyRecording() {
  auto& b = FBurner;
  if (!b.Verify || b.TestWrite || (FCache && !FCache->ErrorText().empty())) return {};
  if (FAbort) return Aborted();
  // The close may leave the drive busy for a while.
  if (std::string e = WaitReady(Limits.ReadyMs, msg::DRIVE_NOT_READY_IN_TIME, msg::DRIVE_NOT_READY); !e.empty()) return e;
  auto found = RunVerifier([&](image::TVerifier& v) {
    if (FSource == TSource::ImageFile) return v.VerifyBlocks(0, FImageSectors, FSectorDigests);
    const std::uint32_t start = DescriptorsAtZero(FDiscKind) ? 0 : FStartAddress;
    const auto expected = image::ExpectedEntries(b.Tree(), b.Layout().Joliet, &b.Layout(), FPlan.get(), &FDigests,
                                                 &FSourceStamps);
    return v.VerifySession(start, expected, b.Layout().Joliet);
  });
  if (!found) return Aborted();
  DeliverVerifyDone(*found);
  return image::VerifyFailure(*found);
}

bool TRecordingJobs::VerifyDisc(std::uint8_t sessionNo) {
  if (!BeginJob()) return false;
  auto& b = FBurner;
  const int count = b.GetSessionCount();
  if (count == 0) {
    Fail(image::verify_msg::NO_SESSION);
    return false;
  }
  int session = 0;
  std::uint32_t start = 0;
  // A session the disc does not have is not stood in for by the last one.
  if ((sessionNo != 255 && sessionNo > count) || !b.FindSessionStart(sessionNo, session, start)) {
    Fail(FormatInt(image::verify_msg::SESSION_NOT_FOUND, sessionNo));
    return false;
  }
  // The names the compilation gives its files, as a burn would record them.
  b.BuildLayout(true, b.RootDir());
  const bool joliet = b.JolietFileSystem;
  auto expected = std::make_shared<std::vector<image::TExpectedEntry>>(
      image::ExpectedEntries(b.Tree(), joliet, nullptr, nullptr, nullptr, nullptr, b.Layout().Relocation.get()));
  if (FThread.joinable()) FThread.detach();  // past its OnWriteDone, as in StartWriteThread
  FRunning = true;
  FThread = std::thread([this, expected, start, joliet] {
    auto& b = FBurner;
    drive::CloseHandleAfterCommand = false;
    b.SetCDSpeed(b.MaxReadSpeed(), 0);
    auto found = RunVerifier([&](image::TVerifier& v) { return v.VerifySession(start, *expected, joliet); });
    std::string result;
    if (!found) {
      result = msg::OPERATION_ABORTED_BY_USER;
    } else {
      DeliverVerifyDone(*found);
      result = image::VerifyFailure(*found);
    }
    Finish(result);
  });
  return true;
}

}  // namespace velloran::recording
