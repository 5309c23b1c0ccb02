// TZCDBurner: the burner component. It keeps the published properties,
// events and operations that applications use, and delegates the work to the
// compilation tree (compilation.h), the naming and ordering (iso_names.h),
// the layout and metadata (zbISOLib.h) and the session stream
// (image_stream.h). Drive facts reach the layout only through
// TSessionTarget, so the image units never talk to a drive.
//
// Nothing here throws: operations return a Boolean, a count or an entry
// (nullptr on failure) and report through OnDebugMessage / OnWriteDone.
#pragma once

#include "drive/zbDrvLib.h"
#include "image/compilation.h"
#include "image/disc_verify.h"
#include "image/image_stream.h"
#include "image/zbISOLib.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velloran::platform {
class Synchronizer;
}
namespace velloran::recording {
class TRecordingJobs;
class TEraseThread;
}

namespace velloran::image {

using drive::TObject;

using TAddFileEvent =
    std::function<void(TObject* Sender, const std::string& FullPath, std::string& LongFileName,
                       std::string& ShortFileName, TDateTime& DateTime, int Attr, std::int64_t FileSize, bool& Skip)>;
using TAddDirEvent = std::function<void(TObject* Sender, std::string& LongName, std::string& ShortName, bool& Skip)>;
using TWriteDoneEvent = std::function<void(TObject* Sender, const std::string& Error)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TEraseDoneEvent = std::function<void(TObject* Sender, bool WithError)>;
using TVerifyProgressEvent = std::function<void(TObject* Sender, std::int64_t Done, std::int64_t Total)>;
using TVerifyDoneEvent = std::function<void(TObject* Sender, const std::vector<TVerifyMismatch>& Mismatches)>;

// What the layout needs to know about the place a session goes. The
// component's own implementation asks its drive; tests and other targets
// supply theirs with SetSessionTarget.
class TSessionTarget {
 public:
  virtual ~TSessionTarget() = default;
  // Disc kind code of the medium (0 unknown).
  virtual std::uint8_t DiscKind() = 0;
  // The next writable address; false when it cannot be obtained (lba then
  // holds what was found, or 0).
  virtual bool NextWritableAddress(std::uint32_t& lba) = 0;
  // Enters the directories and files of an earlier session below root.
  // Imported files are added with their absolute extents
  // (Compilation::AddFileEntry with importedLba) and are not read again.
  virtual bool ImportSession(std::uint8_t sessionNo, TDEntry* root) = 0;
};

class TZCDBurner : public drive::TSCSIDevice {
 public:
  TZCDBurner();
  ~TZCDBurner() override;

  // --- Published properties ---------------------------------------------------
  bool TestWrite = false;
  bool ReplaceFile() const { return FCompilation.ReplaceFile; }
  void SetReplaceFile(bool value) { FCompilation.ReplaceFile = value; }
  bool FinalizeTrack = true;
  bool PerformOPC = false;
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  TDateTime DateCreation = 0, DateModification = 0;
  TDateTime DateEffective = 0, DateExpiration = 0;  // kept only; no descriptor uses them
  int CacheSize() const { return FCacheSize; }
  // Below 2097152 becomes 2097152; then rounded down to whole 2048 bytes.
  void SetCacheSize(int value);
  std::string ISOFileName;
  bool JolietFileSystem = true;
  // Rock Ridge in the ISO 9660 records (names as given, POSIX modes, owners,
  // times, links) for Linux and macOS readers. Off, the image is as it was
  // without it, byte for byte.
  bool RockRidge = false;
  // Symbolic links found by AddFolder are recorded as links (with Rock
  // Ridge) instead of being followed. Set before adding.
  bool RockRidgeLinks() const { return FCompilation.RecordLinks; }
  void SetRockRidgeLinks(bool value) { FCompilation.RecordLinks = value; }
  // Owners and modes as found; otherwise owner and group 0 and every file
  // readable (directories searchable) by everyone.
  bool RockRidgeKeepOwners = false;
  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  TWriteDoneEvent OnWriteDone;
  TNotifyEvent OnFinalizingTrack;
  std::string Version() const { return "1.23"; }
  void SetVersion(const std::string&) {}  // read-only in effect
  bool WritePostGap = true;

  // --- Public settings ----------------------------------------------------------
  bool Bootable = false;
  std::string BootImageFile;
  bool LastFolderOnly() const { return FCompilation.LastFolderOnly; }
  void SetLastFolderOnly(bool value) { FCompilation.LastFolderOnly = value; }
  std::uint16_t ImportSessionNo = 0;
  std::string ApplicationUse;

  // --- Queries ------------------------------------------------------------------
  int DirCount() const { return FCompilation.DirCount(); }
  int FileCount() const { return FCompilation.FileCount(); }
  // Sectors the last layout says must be written; at least 300 with WritePostGap.
  std::int64_t ImageSectors() const;

  // --- Compilation tree ---------------------------------------------------------
  void ResetCompilation(int MaxFiles, int MaxDirs);
  TDEntry* CreateDir(TDEntry* Parent, const std::string& Name, int Attr);
  TDEntry* AddDirEntry(TDEntry* Parent, const TFoundDir& Found) { return FCompilation.AddDirEntry(Parent, Found); }
  // 1 found, 255 not found (or a folder), 0 invalid destination.
  int AddFile(const std::string& DestPath, const std::string& SourceFile, bool UseSourcePath);
  int AddFolder(TDEntry* DestDir, const std::string& SourceFolder, bool ArchiveOnly, bool UseSourcePath, bool Recurse,
                int AttrMask, const std::string& Mask);
  TDEntry* ForceDirs(const std::string& Path) { return FCompilation.ForceDirs(Path); }
  TDEntry* FindDir(const std::string& Path) const { return FCompilation.FindDir(Path); }
  TFEntry* FindFile(const TDEntry* Dir, const std::string& LongName) const { return FCompilation.FindFile(Dir, LongName); }
  bool RemoveDir(TDEntry* Dir) { return FCompilation.RemoveDir(Dir); }
  bool RemoveFile(const std::string& DirPath, const std::string& LongName) {
    return FCompilation.RemoveFile(DirPath, LongName);
  }
  std::int64_t FolderSize(const std::string& Path) const { return FCompilation.FolderSize(Path); }
  TDEntry* RootDir() const { return FCompilation.Root(); }
  Compilation& Tree() { return FCompilation; }
  const Compilation& Tree() const { return FCompilation; }

  // --- Layout and metadata ------------------------------------------------------
  // ImageOnly: an image file from address 0, no drive asked. Returns true.
  bool BuildLayout(bool ImageOnly, TDEntry* Root);
  bool BuildMetadata(bool ImageOnly, TDEntry* Root);
  const TLayout& Layout() const { return FLayout; }
  // The metadata held whole, made on first use after BuildMetadata (the
  // jobs stream it piece by piece instead: ImagePlan).
  const std::vector<std::uint8_t>& Metadata() const;
  // Everything up to and including the terminator, for the write thread.
  const std::vector<std::uint8_t>& DescriptorCopy() const { return FDescriptors; }
  bool LayoutCurrent() const { return FLayoutCurrent; }
  // The session as a block stream (valid until the next build).
  TImagePlan ImagePlan() const;
  // Set by a recording job: the layout then asks for the next writable address.
  bool RequestNextWritableAddress = false;
  // nullptr restores the component's drive.
  void SetSessionTarget(TSessionTarget* target);

  // --- Previous-session import --------------------------------------------------
  // Reads session SessionNo (255: the last) of the disc in the drive into the
  // tree below Root (nullptr: the root). True when a directory tree was found
  // and read; problems are reported through OnDebugMessage (type 4) and what
  // was read stays in the tree.
  //
  // Only closed sessions are what readers see, and only a whole volume is
  // taken: a session that an interrupted recording left (open, or closed
  // with its volume cut short) is passed over for the last one and refused
  // when asked for by number.
  bool ImportSession(std::uint8_t SessionNo, TDEntry* Root);
  // The session the last successful ImportSession read.
  int LastImportedSession = 0;
  // True when the disc in the drive holds files that a new session would
  // hide unless it carries them forward: an appendable disc with a session,
  // or an overwritable one with a file system. Every reader shows only the
  // newest session.
  bool DiscHoldsFiles();
  // Files (not folders) of the compilation entered from an earlier session.
  int ImportedFileCount() const;
  // Reads one directory extent (Size bytes at Lba) of the disc into Dir and
  // recurses into its subdirectories; true when at least one record was
  // handled.
  bool ImportJolietDir(std::uint32_t Lba, std::uint32_t Size, TDEntry* Dir);
  bool ImportIsoDir(std::uint32_t Lba, std::uint32_t Size, TDEntry* Dir);

  // --- Jobs -----------------------------------------------------------------------
  // The recording jobs (their code lives with the write thread, in
  // recording/). Each threaded job ends with OnWriteDone, delivered through
  // the synchroniser on the owner's thread; one job runs at a time.
  //
  // Burns the compilation as a new session; false when it could not start
  // (OnWriteDone has then run already).
  bool BurnCompilation();
  // Burns an image file from address 0; false when it could not start.
  bool BurnImageFile(const std::string& FileName);
  // Saves the compilation as an image file. Direct True: on the caller's
  // thread, 1 on success and 0 on failure. Direct False: the threaded job
  // with progress, result -1. Either way OnWriteDone reports the outcome
  // (empty text on success); a failure never leaves a partial file named
  // FileName behind, nor destroys a file that was there.
  int SaveImageFile(const std::string& FileName, bool Direct);
  // The direct save itself.
  int SaveImageDirect(const std::string& FileName);
  // Asks the running job to stop; it ends with "OPERATION ABORTED BY USER".
  void Abort();
  // Bytes handed to the drive or the file by the running or last job.
  std::int64_t BytesWritten() const;
  // True from the start of a threaded job until its OnWriteDone.
  bool Writing() const;
  // Drive buffer fill (0..100) seen by the running burn, -1 when unknown.
  int DriveBufferFill() const;
  // Where OnWriteDone (and OnEraseDone) run: the owner's event loop. Without
  // one they run on the worker thread.
  void SetSynchronizer(platform::Synchronizer* Sync);
  platform::Synchronizer* Synchronizer() const { return FSync; }
  // The jobs' machinery (created by the first job).
  recording::TRecordingJobs& Jobs();
  std::string CurrentFile;
  std::string WriteDoneError;

  // --- Verification ---------------------------------------------------------------
  // After a burn, read the new session back through the drive and compare
  // every file, in both name spaces, with the bytes the burn read from its
  // source (an image burn: block for block with the image). Off by default.
  // A difference ends the job with an error after OnVerifyDone has listed
  // every file concerned; files imported from an earlier session must read
  // without error.
  bool Verify = false;
  // Bytes read back so far of the total; delivered through the synchroniser
  // a few times a second while verifying.
  TVerifyProgressEvent OnVerifyProgress;
  // Once per verification, before OnWriteDone; Mismatches empty when the
  // disc holds what was recorded.
  TVerifyDoneEvent OnVerifyDone;
  // Compares session SessionNo (255: the last) of the disc in the drive with
  // the compilation's files as they are on disk now (a disc burned earlier
  // checked against its sources), as a threaded job: OnVerifyProgress,
  // OnVerifyDone, then OnWriteDone with an empty text when everything
  // matched. False when it could not start (OnWriteDone has then run).
  bool VerifyDisc(std::uint8_t SessionNo);
  // True while a job reads the disc back.
  bool Verifying() const;
  std::int64_t VerifyBytesDone() const;
  std::int64_t VerifyBytesTotal() const;
  // The session SessionNo (255: the newest closed session that holds a
  // whole volume) of the disc in the drive, as the import finds it: its
  // number and where it starts. False, with the reason reported as the
  // import reports it, when there is no such session.
  bool FindSessionStart(std::uint8_t SessionNo, int& Session, std::uint32_t& Start);

  // --- Erase ----------------------------------------------------------------------
  // Starts erasing a rewritable disc: BlankType 0 blanks it whole, 1 quickly.
  // False when the drive is not ready (no event follows) or when the drive
  // refused to start (OnEraseDone(true) has then run already). Otherwise
  // OnEraseDone follows once, through the synchroniser; WithError is true
  // when the drive reported a failure or the disc is not blank afterwards.
  bool Erase(std::uint8_t BlankType);
  bool Erasing() const;
  // Percent done of the running erase; 0 when none runs. The drive's own
  // progress indication where it gives one, else an estimate.
  int EraseProgress() const;
  // True while EraseProgress is the drive's own figure (an application shows
  // an indeterminate bar otherwise).
  bool EraseProgressFromDrive() const;
  // Waits until a running erase has delivered OnEraseDone.
  void WaitForErase();
  TEraseDoneEvent OnEraseDone;

 private:
  friend class recording::TEraseThread;  // pauses through SleepMs
  class DriveTarget;
  void Debug(const std::string& text, std::uint8_t mType) { DebugMessage(text, mType); }
  // End of the volume whose descriptors begin at start + 16, when all of it
  // lies before end and reads; 0 otherwise.
  std::uint32_t WholeVolumeEnd(std::uint32_t start, std::uint32_t end);

  Compilation FCompilation;
  TLayout FLayout;
  TVolumeInfo FVolumeInfo;
  std::unique_ptr<TMetadataSource> FMetadataSource;  // set by BuildMetadata
  mutable std::vector<std::uint8_t> FMetadata;       // made by Metadata() only
  std::vector<std::uint8_t> FDescriptors;
  bool FLayoutCurrent = false;
  bool FLayoutDirty = true;  // tree changed since the last BuildLayout
  bool FLastImageOnly = true;
  TDEntry* FLastRoot = nullptr;
  int FCacheSize = 4194304;
  std::unique_ptr<DriveTarget> FDriveTarget;
  TSessionTarget* FTarget = nullptr;
  platform::Synchronizer* FSync = nullptr;
  std::shared_ptr<recording::TEraseThread> FErase;
  // Last member: destroyed first, so a running job is stopped while the
  // rest of the component is still there.
  std::shared_ptr<recording::TRecordingJobs> FJobs;
};

}  // namespace velloran::image
