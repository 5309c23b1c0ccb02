#include "image/zbCDBC.h"

#include "drive/zbConst.h"
#include "image/iso_names.h"
#include "platform/find_files.h"

#include <algorithm>

namespace velloran::image {

// The layout's view of the component's own drive.
class TZCDBurner::DriveTarget : public TSessionTarget {
 public:
  explicit DriveTarget(TZCDBurner& burner) : b_(burner) {}
  std::uint8_t DiscKind() override { return b_.GetDiscKind(); }
  bool NextWritableAddress(std::uint32_t& lba) override {
    lba = 0;
    if (b_.WaitForDrive(10000, 500) != drive::TSCSIDevice::TWaitResult::Ready) return false;
    lba = b_.NextWritableAddress();
    return b_.LastError.empty() || lba != 0;
  }
  bool ImportSession(std::uint8_t sessionNo, TDEntry* root) override { return b_.ImportSession(sessionNo, root); }

 private:
  TZCDBurner& b_;
};

TZCDBurner::TZCDBurner() : FDriveTarget(std::make_unique<DriveTarget>(*this)) {
  FTarget = FDriveTarget.get();
  WritePostGap = true;
  FCompilation.Events.addFile = [this](const std::string& fullPath, std::string& longName, std::string& shortName,
                                       TDateTime& date, int attr, std::int64_t size, bool& skip) {
    if (OnAddFile) OnAddFile(this, fullPath, longName, shortName, date, attr, size, skip);
  };
  FCompilation.Events.addDir = [this](std::string& longName, std::string& shortName, bool& skip) {
    if (OnAddDir) OnAddDir(this, longName, shortName, skip);
  };
  FCompilation.Events.debug = [this](const std::string& text, std::uint8_t mType) { Debug(text, mType); };
  FCompilation.Events.changed = [this] {
    FLayoutCurrent = false;
    FLayoutDirty = true;
  };
  ResetCompilation(Compilation::kDefaultMaxFiles, Compilation::kDefaultMaxDirs);
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
}

// A running erase uses the component until its OnEraseDone has run.
TZCDBurner::~TZCDBurner() { WaitForErase(); }

void TZCDBurner::SetCacheSize(int value) {
  value = std::max(value, 2097152);
  FCacheSize = value / 2048 * 2048;
}

std::int64_t TZCDBurner::ImageSectors() const {
  const std::int64_t n = FLayout.ImageSectors;
  return (WritePostGap && n < 300) ? 300 : n;
}

void TZCDBurner::ResetCompilation(int MaxFiles, int MaxDirs) {
  FMetadataSource.reset();
  std::vector<std::uint8_t>().swap(FMetadata);
  FDescriptors.clear();
  FLayout = TLayout{};
  FCompilation.ResetCompilation(MaxFiles, MaxDirs);
}

TDEntry* TZCDBurner::CreateDir(TDEntry* Parent, const std::string& Name, int Attr) {
  return FCompilation.CreateDir(Parent, Name, Attr);
}

int TZCDBurner::AddFile(const std::string& DestPath, const std::string& SourceFile, bool UseSourcePath) {
  return FCompilation.AddFile(DestPath, SourceFile, UseSourcePath);
}

int TZCDBurner::AddFolder(TDEntry* DestDir, const std::string& SourceFolder, bool ArchiveOnly, bool UseSourcePath,
                          bool Recurse, int AttrMask, const std::string& Mask) {
  return FCompilation.AddFolder(DestDir, SourceFolder, ArchiveOnly, UseSourcePath, Recurse, AttrMask, Mask);
}

void TZCDBurner::SetSessionTarget(TSessionTarget* target) { FTarget = target ? target : FDriveTarget.get(); }

bool TZCDBurner::BuildLayout(bool ImageOnly, TDEntry* Root) {
  platform::TSearchRec boot;
  if (BootImageFile.empty() || !platform::StatPath(BootImageFile, boot) || (boot.Attr & platform::faDirectory) ||
      boot.Size == 0)
    Bootable = false;
  std::uint32_t start = 0;
  if (!ImageOnly) {
    FTarget->DiscKind();
    if (RequestNextWritableAddress) {
      if (!FTarget->NextWritableAddress(start))
        Debug(std::string(">>> ") + drive::msg::ERROR_GETTING_NEXT_WRITABLE_ADDRESS, 0);
      if (start > 0xFF000000u) start = 0;
    }
    if (ImportSessionNo != 0)
      FTarget->ImportSession(static_cast<std::uint8_t>(std::min<int>(ImportSessionNo, 255)),
                             Root ? Root : FCompilation.Root());
  }
  const DebugFn debug = [this](const std::string& text, std::uint8_t mType) {
    if (DoDebug) Debug(text, mType);
  };
  // Renames are the user's business on every path, not only when debugging.
  ResolveNames(FCompilation, JolietFileSystem, [this](const std::string& text, std::uint8_t mType) {
    Debug(text, mType);
  });
  TLayoutOptions options;
  options.Joliet = JolietFileSystem;
  options.RockRidge = RockRidge;
  options.RockRidgeOwners = RockRidgeKeepOwners;
  options.Bootable = Bootable;
  options.BootImageBytes = Bootable ? boot.Size : 0;
  options.StartAddress = start;
  // Names are settled: the lookups by name wait until the compilation is
  // next changed or searched. The old layout goes first: two layouts of a
  // large compilation side by side would be most of the peak memory of a
  // save or a burn.
  FCompilation.SetIndexesAside();
  FLayout = TLayout{};
  FLayout = image::BuildLayout(FCompilation, options, debug);
  FLayoutDirty = false;
  FLayoutCurrent = false;
  return true;
}

bool TZCDBurner::BuildMetadata(bool ImageOnly, TDEntry* Root) {
  FLastImageOnly = ImageOnly;
  FLastRoot = Root;
  // A tree changed since the layout would give records that point nowhere.
  if (FLayoutDirty) BuildLayout(ImageOnly, Root);
  FMetadataSource.reset();
  std::vector<std::uint8_t>().swap(FMetadata);
  TVolumeInfo& info = FVolumeInfo;
  info = TVolumeInfo{};
  info.IdSystem = IdSystem;
  info.IdVolume = IdVolume;
  info.IdVolumeSet = IdVolumeSet;
  info.IdPublisher = IdPublisher;
  info.IdPreparer = IdPreparer;
  info.IdApplication = IdApplication;
  info.FileCopyright = FileCopyright;
  info.FileAbstract = FileAbstract;
  info.FileBibliographic = FileBibliographic;
  info.ApplicationUse = ApplicationUse;
  info.DateCreation = DateCreation;
  info.DateModification = DateModification;
  info.Now = platform::Now();
  info.TimeZoneBias = platform::LocalBiasMinutes();
  auto source = std::make_unique<TMetadataSource>(FCompilation, FLayout, info);
  const std::uint32_t descriptorSectors = FLayout.Terminator + 1 - FLayout.StartAddress;
  FDescriptors.assign(static_cast<std::size_t>(descriptorSectors) * kSectorSize, 0);
  if (!source->Read(0, descriptorSectors, FDescriptors.data())) {
    FDescriptors.clear();
    return false;
  }
  FMetadataSource = std::move(source);
  FLayoutCurrent = true;
  return true;
}

const std::vector<std::uint8_t>& TZCDBurner::Metadata() const {
  if (FMetadata.empty() && FMetadataSource) image::BuildMetadata(FCompilation, FLayout, FVolumeInfo, FMetadata);
  return FMetadata;
}

TImagePlan TZCDBurner::ImagePlan() const {
  const std::string boot = Bootable ? BootImageFile : std::string();
  if (FMetadataSource) return MakeImagePlan(FCompilation, FLayout, *FMetadataSource, boot);
  return MakeImagePlan(FCompilation, FLayout, FMetadata, boot);
}

int TZCDBurner::SaveImageDirect(const std::string& FileName) {
  BuildLayout(true, nullptr);
  BuildMetadata(true, nullptr);
  const TImagePlan plan = ImagePlan();
  std::string error;
  const bool ok = SaveImage(plan, FileName, error, [this](const std::string& text, std::uint8_t mType) {
    Debug(text, mType);
  });
  WriteDoneError = ok ? std::string() : error;
  if (!ok) Debug(">>> " + error, 0);
  if (OnWriteDone) OnWriteDone(this, WriteDoneError);
  return ok ? 1 : 0;
}

}  // namespace velloran::image
