// What a burn leaves on the disc when things go wrong or the disc is not
// fresh: the session is closed and every close checked, appends land after
// what the disc holds, a cancelled, failed or killed burn leaves the earlier
// files in view and the disc appendable, a test write never records, and
// the descriptors of an overwritable disc change only once the new session
// is complete. The recorder runs at its default timing on the manual clock,
// so the drive is busy where a real one would be.
#include "session/session_harness.h"

#include "drive/byte_order.h"
#include "drive/mmc_reply.h"

#include <fstream>

namespace velloran::session::testing {
namespace {

using drive::testing::FailRequest;
using vrec::MediumKind;

const char* Name(MediumKind k) {
  switch (k) {
    case MediumKind::CdR: return "CdR";
    case MediumKind::CdRw: return "CdRw";
    case MediumKind::DvdR: return "DvdMinusR";
    case MediumKind::DvdRwSequential: return "DvdMinusRwSequential";
    case MediumKind::DvdRwRestricted: return "DvdMinusRwRestricted";
    case MediumKind::DvdPlusR: return "DvdPlusR";
    case MediumKind::DvdPlusRDl: return "DvdPlusRDl";
    case MediumKind::DvdPlusRw: return "DvdPlusRw";
    case MediumKind::DvdRam: return "DvdRam";
    default: return "Other";
  }
}

std::string NameOf(const ::testing::TestParamInfo<MediumKind>& info) { return Name(info.param); }

class DiscIntegrity : public BurnerTest {
 protected:
  // Where readers find the newest file system: the first track of the last
  // closed session (0 on overwritable media).
  std::uint32_t NewestStart() {
    const auto s = Status();
    for (const auto& t : s.tracks)
      if (t.session == s.completeSessions) return t.start;
    return 0;
  }

  // "" when xorriso and pycdlib see exactly these files in the newest session.
  std::string Visible(const std::map<std::string, std::string>& files) {
    return CheckImage(Export(), files, NewestStart(), "xorriso,pycdlib");
  }

  // From the next command on, nothing reaches the drive any more: the
  // program is gone, as if killed, after this many WRITEs reached it.
  void CutAfterWrites(int writes) {
    auto count = std::make_shared<std::atomic<int>>(0);
    transport_.intercept = [count, writes](SRB_ExecSCSICmd& srb) {
      if (count->load() >= writes) {
        srb.SRB_Status = SS_NO_DEVICE;
        return true;
      }
      if (srb.CDBByte[0] == 0x2A) ++*count;
      return false;
    };
  }

  // Asks the job to stop once this many WRITEs reached the drive.
  void AbortAfterWrites(int writes) {
    auto count = std::make_shared<std::atomic<int>>(0);
    transport_.intercept = [this, count, writes](SRB_ExecSCSICmd& srb) {
      if (srb.CDBByte[0] == 0x2A && ++*count == writes) burner_->Abort();
      return false;
    };
  }

  // A new program on the same drive: a fresh component, and the recorder
  // seen afresh (a new process gets a drive in its power-on state).
  void RestartProgram() {
    transport_.intercept = nullptr;
    burner_.reset();
    vrec::RecorderOptions options;
    options.clock = &clock_;
    options.timeScale = 1.0;
    recorder_ = std::make_unique<vrec::Recorder>(dir_ / "state", 0, options);
    transport_.recorder = recorder_.get();
    burner_ = std::make_unique<TestBurner>(&clock_);
    burner_->OnDebugMessage = [this](drive::TObject*, const std::string& text, std::uint8_t type) {
      std::lock_guard lock(messagesMutex_);
      messages_.push_back({text, type});
    };
    burner_->SetDevice(burner_->Devices.front());
  }

  // Opcodes that change a disc.
  int Changes() {
    int n = 0;
    for (std::uint8_t op : {0x2A, 0x04, 0x5B, 0x35, 0xA1, 0x53}) n += static_cast<int>(Sent(op).size());
    return n;
  }
};

// --- Closing: every step waited for and checked ----------------------------------

class CloseFailure : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(CloseFailure, IsReportedNotSuccess) {
  Insert(GetParam());
  // The drive cannot fix the session (MEDIUM ERROR, SESSION FIXATION ERROR).
  transport_.intercept = [](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] != 0x5B || (srb.CDBByte[2] & 0x07) == 1) return false;
    FailRequest(srb, 0x03, 0x72, 0x00);
    return true;
  };
  Compile({{"a.txt", "alpha"}});
  const std::string error = Burn();
  EXPECT_EQ(error.rfind("ERROR CLOSING SESSION [MEDIUM ERROR", 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(Media, CloseFailure,
                         ::testing::Values(MediumKind::CdR, MediumKind::DvdR, MediumKind::DvdPlusR,
                                           MediumKind::DvdPlusRDl, MediumKind::DvdRwSequential),
                         NameOf);

// --- Appending: the next session starts after everything the disc holds ----------

TEST_F(DiscIntegrity, RestrictedOverwriteAppendKeepsTheFirstSession) {
  Insert(MediumKind::DvdRwRestricted);
  const std::string big(400000, 'A');
  Compile({{"one/a.bin", big}});
  ASSERT_EQ(Burn(), "");
  const std::uint32_t firstEnd = burner_->VolumeSpaceSize();
  Compile({{"two/b.bin", std::string(300000, 'B')}}, 255);
  ASSERT_EQ(Burn(), "");
  EXPECT_GE(burner_->Layout().StartAddress, firstEnd);
  EXPECT_EQ(burner_->Layout().StartAddress % 16, 0u) << "restricted overwrite takes 16-block units";
  EXPECT_EQ(Visible({{"one/a.bin", big}, {"two/b.bin", std::string(300000, 'B')}}), "");
}

TEST_F(DiscIntegrity, BlankSequentialDvdRwKeepsItsWholeCapacityAfterTheFirstBurn) {
  Insert(MediumKind::DvdRwSequential);
  Compile({{"a.txt", "alpha"}});
  ASSERT_EQ(Burn(), "");
  auto& b = *burner_;
  EXPECT_GT(b.DiscCapacity(), 2000000u);
  EXPECT_GT(b.FreeBlocks(), 2000000u);
  // An append far larger than what the first session formatted.
  const std::string large(3 << 20, 'L');
  Compile({{"large.bin", large}}, 255);
  ASSERT_EQ(Burn(), "");
  EXPECT_EQ(Visible({{"a.txt", "alpha"}, {"large.bin", large}}), "");
}

// An overwritable disc whose volume descriptor understates the volume (as
// a program that wrote it wrongly may leave it): the next session, placed
// after the volume the descriptor describes, would land on data the import
// carries forward. The burn is refused before anything is written, and the
// earlier files stay as they were.
class UnderstatedVolume : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(UnderstatedVolume, AppendNeverWritesOverAnImportedFile) {
  Insert(GetParam(), vrec::InsertOptions{.formatted = GetParam() == MediumKind::DvdPlusRw});
  const std::string big(400000, 'A');
  Compile({{"one/a.bin", big}});
  ASSERT_EQ(Burn(), "");
  ASSERT_GT(burner_->VolumeSpaceSize(), 200u);
  // Every read of sector 16 now says the volume ends at 40: below a.bin.
  transport_.tamper = [](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
    if (cdb[0] != 0x28) return;
    const std::uint32_t lba = be::load32(&cdb[2]);
    const std::uint32_t count = be::load16(&cdb[7]);
    if (lba > 16 || lba + count <= 16 || data.size() < (16 - lba + 1) * std::size_t{2048}) return;
    std::uint8_t* pvd = data.data() + (16 - lba) * std::size_t{2048};
    both::store32(pvd + 80, 40);
  };
  ASSERT_EQ(burner_->VolumeSpaceSize(), 40u);
  Compile({{"two/b.bin", std::string(300000, 'B')}}, 255);
  transport_.ClearLog();
  const std::string error = Burn();
  transport_.tamper = nullptr;
  EXPECT_EQ(error.rfind("THE NEW SESSION WOULD OVERWRITE DATA OF AN EARLIER SESSION AT SECTOR", 0), 0u) << error;
  EXPECT_TRUE(Sent(0x2A).empty()) << "nothing was written";
  EXPECT_EQ(Visible({{"one/a.bin", big}}), "");
}

INSTANTIATE_TEST_SUITE_P(Media, UnderstatedVolume,
                         ::testing::Values(MediumKind::DvdPlusRw, MediumKind::DvdRwRestricted, MediumKind::DvdRam),
                         NameOf);

// Records a session as other software does, with one or more tracks: the
// first holds an ISO 9660 volume made by genisoimage from files, the others
// filler data. The session is closed and left appendable.
class ForeignDisc : public DiscIntegrity {
 protected:
  bool RecordForeignSession(const std::map<std::string, std::string>& files, int tracks) {
    const fs::path folder = dir_ / "foreign";
    for (const auto& [rel, content] : files) {
      fs::create_directories((folder / rel).parent_path());
      std::ofstream(folder / rel, std::ios::binary) << content;
    }
    const fs::path image = dir_ / "foreign.iso";
    const std::string cmd = "genisoimage -quiet -J -o '" + image.string() + "' '" + folder.string() + "'";
    if (std::system(cmd.c_str()) != 0) return false;
    std::ifstream in(image, std::ios::binary);
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), {});
    data.resize((data.size() + 2047) / 2048 * 2048);
    auto& b = *burner_;
    const std::uint8_t kind = b.GetDiscKind();
    b.SetWriteParameters(false, true, kind, true);
    const bool cd = kind == drive::mmc::kKindCdR || kind == drive::mmc::kKindCdRw;
    for (int t = 0; t < tracks; ++t) {
      EXPECT_TRUE(b.ReadDiscInformation());
      const std::uint32_t track = b.DiscInfo.lastTrackLastSession;
      EXPECT_TRUE(b.ReadTrackInformation(track));
      std::uint32_t lba = b.TrackInfo.nextWritableAddress;
      std::vector<std::uint8_t> filler(300 * 2048, 0x5A);
      const auto& payload = t == 0 ? data : filler;
      for (std::size_t at = 0; at < payload.size(); at += 16 * 2048) {
        const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(16, (payload.size() - at) / 2048));
        EXPECT_TRUE(b.Write10(lba, n, SRB_DIR_OUT | SRB_EVENT_NOTIFY, n * 2048u, payload.data() + at));
        lba += n;
      }
      EXPECT_TRUE(b.SynchronizeCache(60000, false));
      if (!cd) EXPECT_TRUE(b.CloseTrackSessionRaw(false, 1, 0, 0, static_cast<std::uint8_t>(track)));
    }
    EXPECT_TRUE(b.CloseTrackSessionRaw(false, 2, 0, 0, 0));
    transport_.ClearLog();
    return Status().completeSessions == 1;
  }
};

TEST_F(ForeignDisc, SequentialDvdRwHoldingASessionGetsANewSessionNotAFormat) {
  Insert(MediumKind::DvdRwSequential);
  if (!RecordForeignSession({{"old.txt", "old data"}}, 1)) GTEST_SKIP() << "genisoimage is not installed";
  const std::string large(2 << 20, 'N');
  Compile({{"new.bin", large}}, 255);
  ASSERT_EQ(Burn(), "");
  EXPECT_TRUE(Sent(0x04).empty()) << "a disc that holds data is never formatted";
  const auto s = Status();
  EXPECT_EQ(s.kind, MediumKind::DvdRwSequential);
  EXPECT_EQ(s.completeSessions, 2);
  EXPECT_EQ(Visible({{"old.txt", "old data"}, {"new.bin", large}}), "");
}

TEST_F(ForeignDisc, CdWhoseLastSessionHoldsTwoTracksIsAppendedAfterBoth) {
  Insert(MediumKind::CdR);
  if (!RecordForeignSession({{"old.txt", "old data"}}, 2)) GTEST_SKIP() << "genisoimage is not installed";
  std::uint32_t sessionEnd = 0;
  for (const auto& t : Status().tracks)
    if (t.session == 1) sessionEnd = t.start + t.size;
  Compile({{"new.txt", "new"}}, 255);
  ASSERT_EQ(Burn(), "");
  EXPECT_GT(burner_->Layout().StartAddress, sessionEnd);
  EXPECT_EQ(Status().completeSessions, 2);
  EXPECT_EQ(Visible({{"old.txt", "old data"}, {"new.txt", "new"}}), "");
}

// --- Cancel, failure, a killed program: the earlier files stay in view -------

class Interrupted : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {
 protected:
  void SetUp() override {
    DiscIntegrity::SetUp();
    Insert(GetParam());
    Compile({{"a.txt", "alpha"}});
    ASSERT_EQ(Burn(), "");
  }
  const std::map<std::string, std::string> first_ = {{"a.txt", "alpha"}};
  const std::string big_ = std::string(3 << 20, 'b');

  // After the interruption: the earlier session is what readers see, and
  // the next burn appends to it.
  void ExpectRecovered() {
    EXPECT_EQ(Visible(first_), "") << "the earlier files stay in view";
    burner_->ResetCompilation(65535, 8191);
    ASSERT_TRUE(burner_->ImportSession(255, nullptr));
    EXPECT_EQ(burner_->FileCount(), 1) << "import takes the last session holding a whole volume";
    Compile({{"c.txt", "charlie"}}, 255);
    ASSERT_EQ(Burn(), "");
    EXPECT_EQ(Visible({{"a.txt", "alpha"}, {"c.txt", "charlie"}}), "");
  }
};

TEST_P(Interrupted, Cancel) {
  Compile({{"b.bin", big_}}, 255);
  AbortAfterWrites(10);
  EXPECT_EQ(Burn(), "OPERATION ABORTED BY USER");
  transport_.intercept = nullptr;
  ExpectRecovered();
}

TEST_P(Interrupted, WriteFailure) {
  Compile({{"b.bin", big_}}, 255);
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(burner_->NextWritableAddress() + 400, 0x03, 0x0C, 0x00, &why)) << why;
  EXPECT_EQ(Burn().rfind("WRITER ERROR [MEDIUM ERROR", 0), 0u);
  ASSERT_TRUE(recorder_->ClearFaults(&why)) << why;
  ExpectRecovered();
}

TEST_P(Interrupted, KilledProgram) {
  Compile({{"b.bin", big_}}, 255);
  CutAfterWrites(10);
  EXPECT_NE(Burn(), "");
  RestartProgram();
  ExpectRecovered();
}

INSTANTIATE_TEST_SUITE_P(Media, Interrupted,
                         ::testing::Values(MediumKind::CdR, MediumKind::DvdR, MediumKind::DvdPlusR,
                                           MediumKind::DvdRwSequential, MediumKind::DvdPlusRw,
                                           MediumKind::DvdRwRestricted, MediumKind::DvdRam),
                         NameOf);

// A session a recording left unfinished becomes, once closed, the newest
// session readers find (on write-once media it cannot be undone): it is
// closed only for a session that will follow it, and import passes over it.
class DeadSession : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {
 protected:
  void SetUp() override {
    DiscIntegrity::SetUp();
    // Room for a few thousand blocks after the second session (the gaps
    // a closed session leaves before the next).
    const MediumKind k = GetParam();
    const std::uint32_t gaps = k == MediumKind::CdR ? 11400 + 6900 : k == MediumKind::DvdR ? 2 * 28688 : 2 * 2048;
    Insert(k, vrec::InsertOptions{.capacity = gaps + 6000});
    Compile({{"a.txt", "alpha"}});
    ASSERT_EQ(Burn(), "");
    Compile({{"b.bin", std::string(3 << 20, 'b')}}, 255);
    AbortAfterWrites(10);
    ASSERT_EQ(Burn(), "OPERATION ABORTED BY USER");
    transport_.intercept = nullptr;
  }
};

TEST_P(DeadSession, AnAppendThatCannotFitLeavesItOpen) {
  const std::uint32_t free = burner_->FreeBlocks();
  ASSERT_GT(free, 1000u);
  Compile({{"huge.bin", std::string((free + 64) * std::size_t{2048}, 'h')}}, 255);
  const std::string error = Burn();
  EXPECT_EQ(error.rfind("NOT ENOUGH SPACE ON THE DISC", 0), 0u) << error;
  EXPECT_EQ(Status().completeSessions, 1) << "the unfinished session was closed for nothing";
  EXPECT_EQ(Visible({{"a.txt", "alpha"}}), "");
}

TEST_P(DeadSession, ImportPassesOverItOnceClosed) {
  // The next burn closes it, then is cancelled before its own session.
  Compile({{"c.txt", "charlie"}}, 255);
  auto closed = std::make_shared<std::atomic<bool>>(false);
  transport_.intercept = [this, closed](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] == 0x5B && (srb.CDBByte[2] & 0x07) == 2) closed->store(true);
    if (srb.CDBByte[0] == 0x51 && closed->load()) burner_->Abort();
    return false;
  };
  EXPECT_EQ(Burn(), "OPERATION ABORTED BY USER");
  transport_.intercept = nullptr;
  ASSERT_EQ(Status().completeSessions, 2);
  burner_->ResetCompilation(65535, 8191);
  ASSERT_TRUE(burner_->ImportSession(255, nullptr));
  EXPECT_EQ(burner_->FileCount(), 1) << "the closed session holds no whole volume";
  Compile({{"d.txt", "delta"}}, 255);
  ASSERT_EQ(Burn(), "");
  EXPECT_EQ(Visible({{"a.txt", "alpha"}, {"d.txt", "delta"}}), "");
}

INSTANTIATE_TEST_SUITE_P(Media, DeadSession,
                         ::testing::Values(MediumKind::CdR, MediumKind::DvdR, MediumKind::DvdPlusR), NameOf);

// A drive answers a command sent with the immediate bit at once and reports
// its failure later, as a deferred error, to the command that polls it.
class DeferredFailure : public DiscIntegrity,
                        public ::testing::WithParamInterface<std::tuple<MediumKind, std::uint8_t, const char*>> {};

TEST_P(DeferredFailure, EndsTheBurnWithTheDrivesReason) {
  const auto [kind, opcode, expected] = GetParam();
  Insert(kind);
  auto armed = std::make_shared<std::atomic<bool>>(false);
  transport_.intercept = [armed, opcode](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] == opcode && (opcode != 0x5B || (srb.CDBByte[2] & 0x07) != 1)) armed->store(true);
    if (srb.CDBByte[0] != 0x00 || !armed->exchange(false)) return false;
    FailRequest(srb, 0x03, opcode == 0x35 ? 0x0C : 0x72, 0x00);
    srb.SenseArea[0] = 0x71;
    return true;
  };
  Compile({{"a.txt", "alpha"}});
  const std::string error = Burn();
  EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Media, DeferredFailure,
    ::testing::Values(std::tuple{MediumKind::CdR, std::uint8_t{0x5B}, "ERROR CLOSING SESSION [MEDIUM ERROR"},
                      std::tuple{MediumKind::DvdR, std::uint8_t{0x5B}, "ERROR CLOSING SESSION [MEDIUM ERROR"},
                      std::tuple{MediumKind::DvdPlusR, std::uint8_t{0x35}, "WRITER ERROR [MEDIUM ERROR"}),
    [](const auto& info) {
      return std::string(Name(std::get<0>(info.param))) + (std::get<1>(info.param) == 0x5B ? "Close" : "Flush");
    });

// --- Test write ------------------------------------------------------------------

class TestWrite : public DiscIntegrity, public ::testing::WithParamInterface<std::pair<MediumKind, bool>> {};

TEST_P(TestWrite, RecordsNothingOrIsRefusedBeforeAnythingIsSent) {
  const auto [kind, possible] = GetParam();
  Insert(kind, vrec::InsertOptions{.formatted = kind == MediumKind::DvdPlusRw});
  const auto before = Status();
  Compile({{"a.txt", "alpha"}});
  burner_->TestWrite = true;
  const std::string error = Burn();
  if (possible) {
    EXPECT_EQ(error, "");
  } else {
    EXPECT_NE(error.find("HAS NO TEST WRITE"), std::string::npos) << error;
    EXPECT_EQ(Changes(), 0);
  }
  const auto after = Status();
  EXPECT_EQ(after.discStatus, before.discStatus);
  EXPECT_EQ(after.tracks.size(), before.tracks.size());
  EXPECT_EQ(after.completeSessions, before.completeSessions);
  EXPECT_EQ(burner_->VolumeSpaceSize(), 0u) << "no file system was recorded";
}

INSTANTIATE_TEST_SUITE_P(Media, TestWrite,
                         ::testing::Values(std::pair{MediumKind::CdR, true}, std::pair{MediumKind::DvdR, true},
                                           std::pair{MediumKind::DvdRwSequential, true},
                                           std::pair{MediumKind::DvdPlusR, false},
                                           std::pair{MediumKind::DvdPlusRw, false},
                                           std::pair{MediumKind::DvdRam, false},
                                           std::pair{MediumKind::DvdRwRestricted, false}),
                         [](const auto& info) { return std::string(Name(info.param.first)); });

TEST_F(DiscIntegrity, TestWriteOnADriveWithoutItIsRefused) {
  Insert(MediumKind::CdR);
  burner_->Capabilities &= ~drive::mmc::cap::WriteTest;
  Compile({{"a.txt", "alpha"}});
  burner_->TestWrite = true;
  EXPECT_EQ(Burn(), "THE DRIVE CANNOT TEST WRITE: NOTHING WAS SENT TO IT");
  EXPECT_EQ(Changes(), 0);
}

TEST_F(DiscIntegrity, FailedCommandsAreTracedWhenDebugging) {
  Insert(MediumKind::CdR);
  burner_->DoDebug = true;
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(200, 0x03, 0x0C, 0x00, &why)) << why;
  Compile({{"b.bin", std::string(1 << 20, 'b')}});
  EXPECT_NE(Burn(), "");
  int traced = 0;
  for (const auto& m : Messages(0)) traced += m.text.rfind("<<< WRITE (10)", 0) == 0 ? 1 : 0;
  EXPECT_EQ(traced, 1) << "the failed WRITE, once";
}

// --- Overwritable media: the descriptors at 16 are written last ---------------------

class Descriptors : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {
 protected:
  void SetUp() override {
    DiscIntegrity::SetUp();
    Insert(GetParam(), vrec::InsertOptions{.formatted = GetParam() == MediumKind::DvdPlusRw});
    Compile({{"a.txt", "alpha"}});
    ASSERT_EQ(Burn(), "");
    Compile({{"b.txt", "bravo"}}, 255);
  }
  // NOT READY for writes that cover sector 16 (the descriptors), `times`
  // times.
  void NotReadyAtSixteen(int times) {
    auto left = std::make_shared<std::atomic<int>>(times);
    transport_.intercept = [left](SRB_ExecSCSICmd& srb) {
      const std::uint32_t lba = be::load32(&srb.CDBByte[2]);
      const std::uint32_t count = be::load16(&srb.CDBByte[7]);
      if (srb.CDBByte[0] != 0x2A || lba > 16 || lba + count <= 16 || left->load() == 0) return false;
      --*left;
      FailRequest(srb, 0x02, 0x04, 0x01);
      return true;
    };
  }
};

TEST_P(Descriptors, NotReadyOnceIsWaitedOut) {
  NotReadyAtSixteen(1);
  ASSERT_EQ(Burn(), "");
  EXPECT_EQ(Visible({{"a.txt", "alpha"}, {"b.txt", "bravo"}}), "");
}

TEST_P(Descriptors, NeverReadyFailsAndLeavesTheEarlierFiles) {
  NotReadyAtSixteen(1000);
  EXPECT_NE(Burn(), "");
  EXPECT_EQ(Visible({{"a.txt", "alpha"}}), "");
}

TEST_P(Descriptors, FailedAppendLeavesTheEarlierFiles) {
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(burner_->NextWritableAddress() + 20, 0x03, 0x0C, 0x00, &why)) << why;
  EXPECT_EQ(Burn().rfind("WRITER ERROR [MEDIUM ERROR", 0), 0u);
  EXPECT_EQ(Visible({{"a.txt", "alpha"}}), "");
}

TEST_P(Descriptors, FailedFirstSessionLeavesNoFileSystem) {
  // A fresh disc: the session starts at 0, its descriptors still go last.
  Insert(GetParam(), vrec::InsertOptions{.formatted = GetParam() == MediumKind::DvdPlusRw});
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(300, 0x03, 0x0C, 0x00, &why)) << why;
  Compile({{"b.bin", std::string(1 << 20, 'b')}});
  EXPECT_EQ(Burn().rfind("WRITER ERROR [MEDIUM ERROR", 0), 0u);
  EXPECT_EQ(burner_->VolumeSpaceSize(), 0u) << "no volume descriptor at 16";
}

INSTANTIATE_TEST_SUITE_P(Media, Descriptors,
                         ::testing::Values(MediumKind::DvdPlusRw, MediumKind::DvdRam, MediumKind::DvdRwRestricted),
                         NameOf);

// --- Cancel: honoured within seconds at every stage ---------------------------------

class CancelStage : public DiscIntegrity {
 protected:
  // The recorder takes the time a real drive takes (on the manual clock).
  void SetUp() override {
    DiscIntegrity::SetUp();
    std::string why;
    ASSERT_TRUE(recorder_->SetRealTime(true, &why)) << why;
  }
  // Asks the job to stop at the first command after one that `stage`
  // picks out; the drive time from then to the end of the job is returned
  // in ms, and the job's message in error.
  std::int64_t CancelAfter(const std::function<bool(const SRB_ExecSCSICmd&)>& stage, std::string& error) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    auto at = std::make_shared<std::atomic<std::int64_t>>(-1);
    auto previous = transport_.intercept;
    transport_.intercept = [=, this](SRB_ExecSCSICmd& srb) {
      if (seen->load() == 1 && at->load() < 0) {
        at->store(clock_.NowMs());
        burner_->Abort();
      }
      if (seen->load() == 0 && stage(srb)) seen->store(1);
      return previous ? previous(srb) : false;
    };
    error = Burn();
    transport_.intercept = nullptr;
    EXPECT_GE(at->load(), 0) << "the stage was reached";
    return clock_.NowMs() - at->load();
  }
};

TEST_F(CancelStage, WhileABlankDvdRwIsQuickFormatted) {
  Insert(MediumKind::DvdRwSequential);
  Compile({{"a.txt", "alpha"}});
  std::string error;
  const auto ms = CancelAfter([](const SRB_ExecSCSICmd& srb) { return srb.CDBByte[0] == 0x04; }, error);
  EXPECT_EQ(error, "OPERATION ABORTED BY USER");
  EXPECT_LT(ms, 3000) << "a real quick format takes a minute";
}

TEST_F(CancelStage, WhileTheDriveIsBusyWhenTheBurnStarts) {
  Insert(MediumKind::CdRw);
  // Another program left a minimal blank running (three quarters of a minute).
  const std::uint8_t blank[12] = {0xA1, 0x11};
  ASSERT_TRUE(recorder_->Execute(blank, {}, vrec::DataDirection::None).Good());
  Compile({{"a.txt", "alpha"}});
  std::string error;
  const auto ms = CancelAfter([](const SRB_ExecSCSICmd& srb) { return srb.CDBByte[0] == 0x00; }, error);
  EXPECT_EQ(error, "OPERATION ABORTED BY USER");
  EXPECT_LT(ms, 3000);
}

TEST_F(CancelStage, WhileTheDescriptorsWaitForTheDrive) {
  Insert(MediumKind::DvdPlusRw, vrec::InsertOptions{.formatted = true});
  Compile({{"a.txt", "alpha"}});
  ASSERT_EQ(Burn(), "");
  Compile({{"b.txt", "bravo"}}, 255);
  // The writes at 16 meet a drive that does not become ready.
  transport_.intercept = [](SRB_ExecSCSICmd& srb) {
    const std::uint32_t lba = be::load32(&srb.CDBByte[2]);
    if (srb.CDBByte[0] != 0x2A || lba > 16) return false;
    FailRequest(srb, 0x02, 0x04, 0x01);
    return true;
  };
  std::string error;
  const auto ms = CancelAfter(
      [](const SRB_ExecSCSICmd& srb) { return srb.CDBByte[0] == 0x2A && be::load32(&srb.CDBByte[2]) <= 16; }, error);
  EXPECT_EQ(error, "OPERATION ABORTED BY USER");
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(Visible({{"a.txt", "alpha"}}), "");
}

// --- Images: padded and formatted as the medium needs, checked first ---------------

class ImageBurn : public DiscIntegrity, public ::testing::WithParamInterface<MediumKind> {
 protected:
  // An image of a few files whose sector count is not a multiple of 16.
  bool MakeImage(const fs::path& image) {
    const fs::path folder = dir_ / "image-src";
    fs::create_directories(folder);
    std::ofstream(folder / "x.txt") << "x marks";
    std::ofstream(folder / "y.bin", std::ios::binary) << std::string(70001, 'y');
    const std::string cmd = "genisoimage -quiet -J -o '" + image.string() + "' '" + folder.string() + "'";
    if (std::system(cmd.c_str()) != 0) return false;
    const auto sectors = fs::file_size(image) / 2048;
    if (sectors % 16 == 0) fs::resize_file(image, (sectors + 5) * 2048);
    return true;
  }
  std::string BurnImage(const fs::path& image) {
    auto& b = *burner_;
    std::string result = "(no OnWriteDone)";
    b.OnWriteDone = [&](drive::TObject*, const std::string& error) { result = error; };
    if (b.BurnImageFile(image.string())) b.Jobs().WaitFor();
    b.OnWriteDone = nullptr;
    return result;
  }
};

TEST_P(ImageBurn, IsPaddedAndFormattedAsTheMediumNeeds) {
  Insert(GetParam());  // a DVD+RW comes unformatted
  const fs::path image = dir_ / "made.iso";
  if (!MakeImage(image)) GTEST_SKIP() << "genisoimage is not installed";
  ASSERT_EQ(BurnImage(image), "");
  std::ifstream a(image, std::ios::binary), b(Export(), std::ios::binary);
  std::string want((std::istreambuf_iterator<char>(a)), {}), got((std::istreambuf_iterator<char>(b)), {});
  ASSERT_GE(got.size(), want.size());
  EXPECT_TRUE(got.compare(0, want.size(), want) == 0) << "the disc's blocks differ from the image";
  EXPECT_EQ(Visible({{"x.txt", "x marks"}, {"y.bin", std::string(70001, 'y')}}), "");
}

INSTANTIATE_TEST_SUITE_P(Media, ImageBurn,
                         ::testing::Values(MediumKind::DvdRwRestricted, MediumKind::DvdPlusRw, MediumKind::CdR,
                                           MediumKind::DvdR),
                         NameOf);

TEST_F(ImageBurn, TooLargeForTheDiscIsRefusedBeforeItIsTouched) {
  Insert(MediumKind::DvdRwRestricted, vrec::InsertOptions{.capacity = 64});
  const fs::path image = dir_ / "made.iso";
  if (!MakeImage(image)) GTEST_SKIP() << "genisoimage is not installed";
  EXPECT_EQ(BurnImage(image).rfind("NOT ENOUGH SPACE ON THE DISC", 0), 0u);
  EXPECT_EQ(Changes(), 0);
}

TEST_F(ImageBurn, DiscHoldingSessionsIsRefused) {
  Insert(MediumKind::CdR);
  Compile({{"a.txt", "alpha"}});
  ASSERT_EQ(Burn(), "");
  const fs::path image = dir_ / "made.iso";
  if (!MakeImage(image)) GTEST_SKIP() << "genisoimage is not installed";
  transport_.ClearLog();
  EXPECT_EQ(BurnImage(image), "AN IMAGE CAN ONLY BE BURNED TO A BLANK DISC; THIS ONE HOLDS DATA");
  EXPECT_EQ(Changes(), 0);
}

}  // namespace
}  // namespace velloran::session::testing
