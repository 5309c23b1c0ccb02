// Erasing rewritable media on the virtual recorder: every medium ends blank
// (or formatted, with no file system left), progress reaches 100, and
// OnEraseDone reports failures the drive reports and discs that are not
// blank afterwards.
#include "session/session_harness.h"

#include "drive/byte_order.h"
#include "drive/mmc_reply.h"
#include "platform/synchronizer.h"
#include "recording/zbErase.h"

#include <cstring>
#include <regex>

namespace velloran::session::testing {
namespace {

using vrec::MediumKind;

// Answers chosen commands with a CHECK CONDITION (or a silent GOOD) before
// they reach the recorder: a drive failing in ways the recorder does not
// model.
struct Interceptor {
  static inline std::function<bool(SRB_ExecSCSICmd&)> hook;  // true: answered here
  static std::uint32_t Send(void* p) {
    auto* header = static_cast<SRB_Header*>(p);
    if (hook && header->SRB_Cmd == SC_EXEC_SCSI_CMD) {
      auto& srb = *static_cast<SRB_ExecSCSICmd*>(p);
      if (hook(srb)) {
        if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) && srb.SRB_PostProc) {
          auto* event = static_cast<AspiEvent*>(srb.SRB_PostProc);
          event->Signal(event);
        }
        return srb.SRB_Status;
      }
    }
    return RecorderTransport::Send(p);
  }
};

void Fail(SRB_ExecSCSICmd& srb, std::uint8_t key, std::uint8_t asc) {
  srb.SRB_HaStat = HASTAT_OK;
  srb.SRB_TargStat = 0x02;
  std::memset(srb.SenseArea, 0, SENSE_LEN);
  srb.SenseArea[0] = 0x70;
  srb.SenseArea[2] = key;
  srb.SenseArea[7] = 10;
  srb.SenseArea[12] = asc;
  srb.SRB_Status = SS_ERR;
}

class EraseTest : public BurnerTest {
 protected:
  // Long operations take their test durations on the manual clock, which
  // the erase thread's pauses advance: the polling is exercised without
  // waiting.
  void SetUp() override {
    StartRecorder(1.0);
    drive::InstallTransport(&RecorderTransport::Support, &Interceptor::Send, drive::kLibraryTransportName);
    transport_.tamper = [this](const std::uint8_t*, std::span<std::uint8_t>) {
      maxProgress_ = std::max(maxProgress_.load(), burner_->EraseProgress());
    };
    transport_.intercept = [this](SRB_ExecSCSICmd&) {
      if (!burner_->Erasing()) return false;
      std::lock_guard lock(samplesMutex_);
      samples_.push_back({burner_->EraseProgress(), burner_->EraseProgressFromDrive()});
      return false;
    };
  }
  void TearDown() override {
    Interceptor::hook = nullptr;
    BurnerTest::TearDown();
  }

  struct Outcome {
    bool started = false;
    int events = 0;
    bool withError = false;
  };
  Outcome RunErase(std::uint8_t blankType) {
    Outcome o;
    auto& b = *burner_;
    b.OnEraseDone = [&](drive::TObject* sender, bool error) {
      EXPECT_EQ(sender, &b);
      EXPECT_FALSE(b.Erasing()) << "Erasing is over when OnEraseDone runs";
      EXPECT_EQ(b.EraseProgress(), 0);
      ++o.events;
      o.withError = error;
    };
    o.started = b.Erase(blankType);
    b.WaitForErase();
    b.OnEraseDone = nullptr;
    return o;
  }

  // Some data on the disc, so an erase has something to remove.
  void Record() {
    Compile({{"data.txt", "some data"}});
    ASSERT_EQ(Burn(), "");
  }

  std::atomic<int> maxProgress_{0};
  struct Sample {
    int percent;
    bool fromDrive;
  };
  std::mutex samplesMutex_;
  std::vector<Sample> samples_;  // the erase progress as each command went out
};

struct EraseCase {
  const char* name;
  MediumKind kind;
  std::uint8_t blankType;
  std::uint16_t duration;
};

class EraseMedia : public EraseTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseMedia, EndsBlankWithProgressAt100) {
  const EraseCase& c = GetParam();
  vrec::InsertOptions options;
  options.formatted = c.kind == MediumKind::DvdPlusRw;
  Insert(c.kind, options);
  auto& b = *burner_;
  if (c.kind == MediumKind::DvdRwSequential) {
    // Recorded incrementally from address 0.
    std::vector<std::uint8_t> data(16 * 2048, 0x5A);
    ASSERT_TRUE(b.Write10(0, 16, SRB_DIR_OUT | SRB_EVENT_NOTIFY, data.size(), data.data()));
    ASSERT_TRUE(b.SynchronizeCache(30000, false));
    ASSERT_NE(Status().discStatus, "blank");
  } else {
    Record();
  }
  if (c.kind != MediumKind::DvdRwSequential) ASSERT_NE(b.VolumeSpaceSize(), 0u) << "a file system to erase";
  EXPECT_EQ(recording::TEraseThread::DurationFor(b.GetDiscKind(), c.blankType), c.duration);

  const Outcome o = RunErase(c.blankType);
  EXPECT_TRUE(o.started);
  EXPECT_EQ(o.events, 1);
  EXPECT_FALSE(o.withError);
  EXPECT_EQ(maxProgress_.load(), 100);
  EXPECT_EQ(b.EraseProgress(), 0);

  const vrec::RecorderStatus s = Status();
  if (c.kind == MediumKind::DvdPlusRw || c.kind == MediumKind::DvdRam) {
    EXPECT_EQ(b.VolumeSpaceSize(), 0u) << "no volume descriptor left";
  } else {
    EXPECT_EQ(s.discStatus, "blank");
  }
  // The log line names the medium and the speed in its steps.
  const std::string name = drive::mmc::DiscKindNames()[b.GetDiscKind() & 15];
  const bool dvd = c.kind != MediumKind::CdRw;
  const std::regex line(">>> STARTING ERASE PROCESS ON " + std::regex_replace(name, std::regex(R"([+])"), R"(\+)") +
                        (dvd ? R"( AT \d+\.\dX\(\d{1,3}(,\d{3})* KB/s\))" : R"( AT \d+X\(\d{1,3}(,\d{3})* KB/s\))"));
  int logged = 0;
  for (const auto& m : Messages(1)) logged += std::regex_match(m.text, line) ? 1 : 0;
  EXPECT_EQ(logged, 1) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Media, EraseMedia,
    ::testing::Values(EraseCase{"CdRwQuick", MediumKind::CdRw, 1, 150}, EraseCase{"CdRwFull", MediumKind::CdRw, 0, 4500},
                      EraseCase{"DvdRwQuick", MediumKind::DvdRwSequential, 1, 600},
                      EraseCase{"DvdRwFull", MediumKind::DvdRwSequential, 0, 4440},
                      EraseCase{"DvdPlusRwQuick", MediumKind::DvdPlusRw, 1, 600},
                      EraseCase{"DvdRamQuick", MediumKind::DvdRam, 1, 600},
                      EraseCase{"DvdRamFull", MediumKind::DvdRam, 0, 4440}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EraseTest, ProgressIsTheDrivesOwnWhereItReportsOne) {
  // A full blank of a CD-RW: the drive answers every poll with how far it got.
  Insert(MediumKind::CdRw);
  Record();
  samples_.clear();
  ASSERT_FALSE(RunErase(0).withError);
  int previous = 0, fromDrive = 0;
  for (const Sample& s : samples_) {
    EXPECT_GE(s.percent, previous) << "progress never goes back";
    previous = s.percent;
    if (s.fromDrive && s.percent > 0 && s.percent < 100) ++fromDrive;
  }
  EXPECT_GE(fromDrive, 3) << "the drive's figures were shown";

  // A DVD+RW quick erase: a background format and zero writes, nothing the
  // drive reports a figure for.
  Insert(MediumKind::DvdPlusRw, vrec::InsertOptions{.formatted = true});
  Record();
  samples_.clear();
  ASSERT_FALSE(RunErase(1).withError);
  for (const Sample& s : samples_) EXPECT_FALSE(s.fromDrive);
}

TEST_F(EraseTest, QuickEraseOfDvdRamOverwritesTheStartAndFormatsNothing) {
  Insert(MediumKind::DvdRam);
  Record();
  transport_.ClearLog();  // the burn's own writes
  const Outcome o = RunErase(1);
  EXPECT_FALSE(o.withError);
  EXPECT_TRUE(Sent(0x04).empty()) << "no FORMAT UNIT";
  std::uint32_t lastZeroed = 0;
  for (const auto& w : Sent(0x2A)) {
    const std::uint32_t lba = be::load32(&w.cdb[2]);
    EXPECT_EQ(be::load16(&w.cdb[7]), 32);
    lastZeroed = std::max(lastZeroed, lba + 31);
  }
  EXPECT_EQ(lastZeroed, 2079u) << "0..351 in the job, 0..2079 in the thread";
}

TEST_F(EraseTest, CdRIsRefusedAtOnce) {
  Insert(MediumKind::CdR);
  Record();
  const Outcome o = RunErase(1);
  EXPECT_FALSE(o.started);
  EXPECT_EQ(o.events, 1);
  EXPECT_TRUE(o.withError);
  EXPECT_EQ(Status().discStatus, "incomplete") << "the disc is untouched";
}

TEST_F(EraseTest, NoMediumGivesNoEvent) {
  auto& b = *burner_;
  std::string why;
  ASSERT_TRUE(recorder_->Insert(MediumKind::CdRw, {}, &why)) << why;
  b.SetDevice(b.Devices.front());
  ASSERT_TRUE(recorder_->Eject(&why)) << why;
  const Outcome o = RunErase(1);
  EXPECT_FALSE(o.started);
  EXPECT_EQ(o.events, 0);
}

TEST_F(EraseTest, DriveFailureDuringTheBlankIsReported) {
  Insert(MediumKind::CdRw);
  Record();
  // The drive accepts BLANK, then reports an internal failure when polled.
  bool blanked = false, reported = false;
  Interceptor::hook = [&](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] == 0xA1) blanked = true;
    if (blanked && !reported && srb.CDBByte[0] == 0x00) {
      reported = true;
      Fail(srb, 0x04, 0x44);
      return true;
    }
    return false;
  };
  const Outcome o = RunErase(0);
  EXPECT_TRUE(o.started);
  EXPECT_EQ(o.events, 1);
  EXPECT_TRUE(o.withError);
  EXPECT_TRUE(reported);
}

TEST_F(EraseTest, DiscNotBlankAfterwardsIsReported) {
  Insert(MediumKind::CdRw);
  Record();
  // A drive that acknowledges BLANK and does nothing.
  Interceptor::hook = [](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] != 0xA1) return false;
    srb.SRB_Status = SS_COMP;
    return true;
  };
  const Outcome o = RunErase(1);
  EXPECT_TRUE(o.started);
  EXPECT_TRUE(o.withError);
  EXPECT_EQ(Status().discStatus, "incomplete");
}

TEST_F(EraseTest, WriteErrorWhileZeroingDvdRamIsReported) {
  Insert(MediumKind::DvdRam);
  Record();
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(1000, 0x03, 0x0C, 0x00, &why)) << why;
  const Outcome o = RunErase(1);
  EXPECT_TRUE(o.started);
  EXPECT_TRUE(o.withError);
}

TEST_F(EraseTest, DvdPlusRwThatStaysNotReadyEndsWithAnError) {
  Insert(MediumKind::DvdPlusRw, vrec::InsertOptions{.formatted = true});
  Record();
  // After FORMAT UNIT the drive never becomes ready again.
  bool formatted = false;
  Interceptor::hook = [&](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] == 0x04) formatted = true;
    if (!formatted || srb.CDBByte[0] == 0x04 || srb.CDBByte[0] == 0x03) return false;
    Fail(srb, 0x02, 0x04);
    return true;
  };
  const Outcome o = RunErase(1);
  EXPECT_TRUE(o.started);
  EXPECT_EQ(o.events, 1);
  EXPECT_TRUE(o.withError);
  EXPECT_LE(burner_->sleptMs.load(), 2u * 60 * 60 * 1000) << "the waits are bounded";
}

TEST_F(EraseTest, EventArrivesThroughTheSynchronizer) {
  Insert(MediumKind::CdRw);
  Record();
  auto& b = *burner_;
  platform::QueueSynchronizer sync;
  b.SetSynchronizer(&sync);
  std::thread::id deliveredOn;
  bool done = false;
  b.OnEraseDone = [&](drive::TObject*, bool) {
    deliveredOn = std::this_thread::get_id();
    done = true;
  };
  ASSERT_TRUE(b.Erase(1));
  while (!done) sync.WaitAndProcess(50);
  b.WaitForErase();
  b.SetSynchronizer(nullptr);
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace velloran::session::testing
