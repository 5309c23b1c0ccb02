// The burner component's recording jobs: thin calls into TRecordingJobs,
// which holds the job state, the cache and the write thread.
#include "image/zbCDBC.h"
#include "recording/zbWrite.h"

namespace velloran::image {

recording::TRecordingJobs& TZCDBurner::Jobs() {
  if (!FJobs) {
    FJobs = std::make_shared<recording::TRecordingJobs>(*this);
    FJobs->SetSynchronizer(FSync);
  }
  return *FJobs;
}

void TZCDBurner::SetSynchronizer(platform::Synchronizer* Sync) {
  FSync = Sync;
  if (FJobs) FJobs->SetSynchronizer(Sync);
}

bool TZCDBurner::BurnCompilation() { return Jobs().BurnCompilation(); }

bool TZCDBurner::BurnImageFile(const std::string& FileName) { return Jobs().BurnImageFile(FileName); }

int TZCDBurner::SaveImageFile(const std::string& FileName, bool Direct) {
  return Jobs().SaveImageFile(FileName, Direct);
}

void TZCDBurner::Abort() {
  if (FJobs) FJobs->Abort();
}

std::int64_t TZCDBurner::BytesWritten() const { return FJobs ? FJobs->BytesWritten() : 0; }

bool TZCDBurner::Writing() const { return FJobs && FJobs->Running(); }

int TZCDBurner::DriveBufferFill() const { return FJobs ? FJobs->BufferFill() : -1; }

}  // namespace velloran::image

namespace velloran::image {

bool TZCDBurner::VerifyDisc(std::uint8_t SessionNo) { return Jobs().VerifyDisc(SessionNo); }

bool TZCDBurner::Verifying() const { return FJobs && FJobs->Verifying(); }

std::int64_t TZCDBurner::VerifyBytesDone() const { return FJobs ? FJobs->VerifyBytesDone() : 0; }

std::int64_t TZCDBurner::VerifyBytesTotal() const { return FJobs ? FJobs->VerifyBytesTotal() : 0; }

}  // namespace velloran::image
