// The state folder: persistence across objects and processes, locking,
// injected faults, real-time mode, export, and the command-line control.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <thread>

#include "shell_run.h"
#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

TEST(PersistenceTest, WhatWasWrittenSurvivesANewRecorderObject) {
  TempDir dir;
  {
    Drive a(dir.path);
    a.Insert(MediumKind::DvdPlusR);
    EXPECT_GOOD(a.Write(0, 64, 0x5A));
    EXPECT_GOOD(a.Close(1, 1));
    EXPECT_GOOD(a.Close(2, 0xFF));
  }
  Drive b(dir.path);
  // A new process sees the same disc, without a unit attention.
  EXPECT_GOOD(b.Tur());
  auto info = b.DiscInfo();
  EXPECT_EQ(info[2], 0x01);
  EXPECT_EQ(info[4], 2);
  EXPECT_GOOD(b.Read(0, 64));
  EXPECT_EQ(b.data.at(64 * 2048 - 1), 0x5A);
  EXPECT_EQ(Be32(b.TrackInfo(2), 8), 64u + 2048);
  EXPECT_GOOD(b.Write(2112, 32, 0x77));  // appended in the next session
  auto status = b.recorder.Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->mediumName, "DVD+R");
  EXPECT_EQ(status->discStatus, "incomplete");
  ASSERT_EQ(status->tracks.size(), 2u);
  EXPECT_EQ(status->tracks[1].state, "open");
  EXPECT_EQ(status->tracks[1].written, 32u);
}

TEST(PersistenceTest, AnotherObjectsChangesAreSeenAtTheNextCommand) {
  TempDir dir;
  Drive a(dir.path), b(dir.path);
  EXPECT_GOOD(a.Write(0, 300));
  // b has not re-read anything yet; its next command does.
  EXPECT_EQ(Be32(b.TrackInfo(1), 12), 300u);
  EXPECT_SENSE(b.Write(0, 10), 5, 0x21, 0x02);
  EXPECT_GOOD(b.Write(300, 10));
  EXPECT_EQ(Be32(a.TrackInfo(1), 12), 310u);
  // A medium change through one object is a unit attention for the other.
  ASSERT_TRUE(a.recorder.Insert(MediumKind::DvdRam, {}));
  EXPECT_SENSE(b.Tur(), 6, 0x28, 0);
  EXPECT_SENSE(a.Tur(), 6, 0x28, 0);
}

// Two objects stand for two programs on one recorder: the medium lock is the
// drive's, so one program's PREVENT refuses the other's eject, and it ends
// when the program that set it is gone, as the kernel ends it at the last
// close of the node.
TEST(PersistenceTest, MediumLockIsTheDrivesAndEndsWithItsHolder) {
  TempDir dir;
  auto burner = std::make_unique<Drive>(dir.path);
  Drive other(dir.path);
  const Bytes eject{0x1B, 0, 0, 0, 0x02, 0};
  auto lockState = [&](Drive& d) {
    EXPECT_GOOD(d.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 255, 0}, 255));
    return d.data.size() > 8 + 6 && (d.data[8 + 6] & 0x02) != 0;
  };
  EXPECT_GOOD(burner->None({0x1E, 0, 0, 0, 1, 0}));
  EXPECT_TRUE(lockState(other));
  EXPECT_SENSE(other.Cdb(eject), 5, 0x53, 0x02);
  // The other program's last close is not the burner's.
  other.recorder.ReleasePrevent();
  EXPECT_TRUE(other.recorder.Prevented());
  EXPECT_EQ(fs::path(burner->recorder.DevicePath()).parent_path(), burner->recorder.Folder());
  // The burner goes away without allowing removal (killed, say).
  burner.reset();
  EXPECT_FALSE(lockState(other));
  EXPECT_FALSE(other.recorder.Prevented());
  EXPECT_GOOD(other.Cdb(eject));
  EXPECT_GOOD(other.None({0x1B, 0, 0, 0, 0x03, 0}));
  EXPECT_SENSE(other.Tur(), 6, 0x28, 0);

  // An ALLOW from anyone lifts it: a drive does not tell programs apart.
  Drive first(dir.path), second(dir.path);
  EXPECT_GOOD(first.Tur());
  EXPECT_GOOD(first.None({0x1E, 0, 0, 0, 1, 0}));
  EXPECT_SENSE(second.Cdb(eject), 5, 0x53, 0x02);
  EXPECT_GOOD(second.None({0x1E, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(first.recorder.Prevented());
  // And the holder's own last close ends it.
  EXPECT_GOOD(first.None({0x1E, 0, 0, 0, 1, 0}));
  first.recorder.ReleasePrevent();
  EXPECT_GOOD(second.Cdb(eject));
}

TEST(PersistenceTest, ConcurrentWritersThroughTwoObjectsNeverLoseABlock) {
  TempDir dir;
  Drive setup(dir.path);
  setup.Insert(MediumKind::DvdR);
  EXPECT_GOOD(setup.Page05(0x60, 0xE5));
  constexpr int kPerThread = 40;
  std::array<int, 2> accepted{};
  auto writer = [&](int id) {
    Drive d(dir.path);
    d.Tur();  // takes the unit attention of the insert, if this object saw it
    EXPECT_GOOD(d.Page05(0x60, 0xE5));
    while (accepted[id] < kPerThread) {
      const std::uint32_t nwa = Be32(d.TrackInfo(1), 12);
      auto r = d.Write(nwa, 16, static_cast<std::uint8_t>(0x10 + id));
      if (r.Good())
        ++accepted[id];
      else
        EXPECT_SENSE(r, 5, 0x21, 0x02);  // the other writer got there first
    }
  };
  std::thread t0(writer, 0), t1(writer, 1);
  t0.join();
  t1.join();
  EXPECT_EQ(Be32(setup.TrackInfo(1), 12), 2u * kPerThread * 16);
  // Every block holds one writer's data, whole.
  EXPECT_GOOD(setup.Read(0, 2 * kPerThread * 16));
  int mixed = 0;
  for (std::size_t b = 0; b < setup.data.size(); b += 2048)
    if (setup.data[b] != setup.data[b + 2047] || (setup.data[b] != 0x10 && setup.data[b] != 0x11)) ++mixed;
  EXPECT_EQ(mixed, 0);
}

TEST(PersistenceTest, DamagedStateFileIsReportedNotGuessed) {
  TempDir dir;
  Drive a(dir.path);
  EXPECT_GOOD(a.Tur());
  {
    std::ofstream out(dir.path / "recorder0" / "state", std::ios::trunc);
    out << "something else\n";
  }
  EXPECT_SENSE(a.Tur(), 4, 0x44, 0);
  std::string why;
  EXPECT_FALSE(a.recorder.Status(&why));
  EXPECT_NE(why.find("not a recorder state file"), std::string::npos);
  // Inserting a medium does not overwrite a state file it cannot read.
  EXPECT_FALSE(a.recorder.Insert(MediumKind::CdR, {}, &why));
}

TEST(FaultTest, WriteErrorAtAnAddress) {
  TempDir dir;
  Drive d(dir.path);
  d.Insert(MediumKind::DvdPlusRw, InsertOptions{std::nullopt, true, {}});
  std::string why;
  ASSERT_TRUE(d.recorder.SetWriteError(100, 0x03, 0x0C, 0x07, &why)) << why;
  auto r = d.Write(96, 8);
  EXPECT_SENSE(r, 3, 0x0C, 0x07);
  EXPECT_EQ(r.sense[0], 0xF0);  // INFORMATION valid
  EXPECT_EQ(be::load32(&r.sense[3]), 100u);
  EXPECT_GOOD(d.Read(96, 8));
  EXPECT_EQ(d.data[0], 0x00);  // nothing of the refused command was stored
  EXPECT_GOOD(d.Write(0, 96));
  EXPECT_GOOD(d.Write(101, 8));
  // Faults live in the state folder: another object (process) sees them.
  Recorder other(dir.path, 0);
  auto status = other.Status();
  ASSERT_TRUE(status && status->faults.writeError);
  EXPECT_EQ(status->faults.writeError->lba, 100u);
  ASSERT_TRUE(other.ClearFaults());
  EXPECT_GOOD(d.Write(96, 8));
  EXPECT_FALSE(d.recorder.SetWriteError(1, 0x13, 0, 0, &why));
}

TEST(FaultTest, NotReadyForSomeCommands) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetNotReady(2));
  EXPECT_GOOD(d.In({0x12, 0, 0, 0, 36, 0}, 36));  // INQUIRY always answers
  EXPECT_SENSE(d.Tur(), 2, 0x04, 0x01);
  EXPECT_SENSE(d.Read(0, 1), 2, 0x04, 0x01);
  EXPECT_GOOD(d.Tur());
}

TEST(FaultTest, SlowDriveTakesItsTime) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetSlow(250));
  const auto before = d.clock.NowMs();
  auto r = d.Tur();
  EXPECT_GOOD(r);
  EXPECT_GE(r.durationMs, 250u);
  EXPECT_GE(d.clock.NowMs() - before, 250);
}

TEST(FaultTest, PowerCalibrationFails) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetOpcFail(true));
  EXPECT_SENSE(d.None({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 3, 0x73, 0x03);
  EXPECT_SENSE(d.Write(0, 16), 3, 0x73, 0x03);
  EXPECT_EQ(d.DiscInfo()[2], 0x00);  // still blank
  ASSERT_TRUE(d.recorder.SetOpcFail(false));
  EXPECT_GOOD(d.Write(0, 16));
}

int RunCli(const fs::path& stateDir, const std::string& args, std::string* output);

// A sector the disc does not keep: damaged at once when it holds data, and
// again whenever it is written while the fault lasts; its neighbours and
// the exported image show exactly that one sector changed.
TEST(FaultTest, CorruptSectorAndUnreadableSector) {
  TempDir dir;
  Drive d(dir.path);
  d.Insert(MediumKind::DvdPlusRw, InsertOptions{std::nullopt, true, {}});
  EXPECT_GOOD(d.Write(0, 16, 0x5A));
  std::string why;
  ASSERT_TRUE(d.recorder.SetCorrupt(3, &why)) << why;  // already written: damaged now
  ASSERT_TRUE(d.recorder.SetCorrupt(20, &why)) << why;  // written later
  EXPECT_GOOD(d.Write(16, 16, 0x33));
  EXPECT_GOOD(d.Read(0, 32));
  for (int lba = 0; lba < 32; ++lba) {
    const std::uint8_t written = lba < 16 ? 0x5A : 0x33;
    const bool damaged = lba == 3 || lba == 20;
    EXPECT_EQ(d.data.at(lba * 2048), damaged ? static_cast<std::uint8_t>(~written) : written) << lba;
    EXPECT_EQ(d.data.at(lba * 2048 + 2047), damaged ? static_cast<std::uint8_t>(~written) : written) << lba;
  }
  // The fault lives in the state folder; the command line sets it too.
  std::string out;
  EXPECT_EQ(RunCli(dir.path, "recorder fault read-error 9", &out), 0) << out;
  EXPECT_NE(out.find("sector 9 unreadable"), std::string::npos) << out;
  EXPECT_NE(out.find("sector 20 corrupted"), std::string::npos) << out;
  auto r = d.Read(8, 4);
  EXPECT_SENSE(r, 3, 0x11, 0x05);
  EXPECT_EQ(be::load32(&r.sense[3]), 9u);
  EXPECT_GOOD(d.Read(10, 4));
  EXPECT_EQ(RunCli(dir.path, "recorder fault corrupt x", &out), 2);
  ASSERT_TRUE(d.recorder.ClearFaults());
  EXPECT_GOOD(d.Read(8, 4));
}

TEST(RealTimeTest, UnderrunRuinsTheTrackWithoutProtection) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetRealTime(true));
  EXPECT_GOOD(d.Page05(0x01, 0xC4));  // no BUFE
  EXPECT_GOOD(d.Write(0, 100));
  d.clock.Advance(5000);  // the host stalls: the buffer runs dry
  auto r = d.Write(100, 100);
  EXPECT_SENSE(r, 3, 0x0C, 0x09);
  EXPECT_EQ(d.recorder.Underruns(), 1u);
  auto t = d.TrackInfo(1);
  EXPECT_EQ(t[5] & 0x20, 0x20);  // damaged
  EXPECT_EQ(t[7] & 0x01, 0);      // no next writable address
}

TEST(RealTimeTest, OnlyTheHostsOwnDelaysAreUnderruns) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetRealTime(true));
  EXPECT_GOOD(d.Page05(0x41, 0xC4));  // BUFE
  // Every command costs the recorder two seconds of its own (as a block
  // file on a cold disk does); the host sends the next block at once.
  ASSERT_TRUE(d.recorder.SetSlow(2000));
  for (int i = 0; i < 20; ++i) EXPECT_GOOD(d.Write(i * 100, 100));
  EXPECT_EQ(d.recorder.Underruns(), 0u);
  // The host itself stalling is an underrun.
  d.clock.Advance(5000);
  EXPECT_GOOD(d.Write(2000, 100));
  EXPECT_EQ(d.recorder.Underruns(), 1u);
}

TEST(RealTimeTest, ProtectedRecordingSurvivesUnderrunsAndWritesWaitForTheBuffer) {
  TempDir dir;
  Drive d(dir.path);
  ASSERT_TRUE(d.recorder.SetRealTime(true));
  EXPECT_GOOD(d.Page05(0x41, 0xC4));  // BUFE
  EXPECT_GOOD(d.Write(0, 100));
  d.clock.Advance(5000);
  EXPECT_GOOD(d.Write(100, 100));
  EXPECT_EQ(d.recorder.Underruns(), 1u);
  // 3 MB into a 2 MiB buffer at 48x: the drive holds the host back.
  const auto before = d.clock.NowMs();
  for (int i = 0; i < 3; ++i) EXPECT_GOOD(d.Write(200 + i * 500, 500));
  EXPECT_GT(d.clock.NowMs() - before, 50);
  // A blank takes the time a real drive takes.
  d.Insert(MediumKind::CdRw);
  EXPECT_GOOD(d.Blank(1, true));
  d.clock.Advance(30000);
  EXPECT_SENSE(d.Tur(), 2, 0x04, 0x07);
  d.clock.Advance(20000);
  EXPECT_GOOD(d.Tur());
}

TEST(TimeTest, TimeScaleShortensLongOperations) {
  TempDir dir;
  ManualClock clock;
  Recorder rec(dir.path, 0, RecorderOptions{&clock, std::nullopt});
  ASSERT_TRUE(rec.Insert(MediumKind::CdRw, {}));
  ASSERT_TRUE(rec.SetTimeScale(0.1));
  Bytes tur{0, 0, 0, 0, 0, 0};
  rec.Execute(tur, {}, DataDirection::None);  // unit attention
  Bytes blank{0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // full blank, Immed
  EXPECT_GOOD(rec.Execute(blank, {}, DataDirection::None));
  EXPECT_EQ(rec.Execute(tur, {}, DataDirection::None).Asc(), 0x04);
  clock.Advance(301);
  EXPECT_GOOD(rec.Execute(tur, {}, DataDirection::None));
  EXPECT_FALSE(rec.SetTimeScale(-1));
}

TEST(ExportTest, ExportsTheRecordedBlocks) {
  TempDir dir;
  Drive d(dir.path);
  EXPECT_GOOD(d.Write(0, 10, 0x31));
  EXPECT_GOOD(d.Sync());
  const fs::path image = dir.path / "out.iso";
  std::string why;
  ASSERT_TRUE(d.recorder.Export(image, &why)) << why;
  EXPECT_EQ(fs::file_size(image), 300u * 2048);  // the track padded to 300 blocks
  std::ifstream in(image, std::ios::binary);
  EXPECT_EQ(in.get(), 0x31);
  in.seekg(10 * 2048);
  EXPECT_EQ(in.get(), 0x00);
  EXPECT_FALSE(d.recorder.Export(dir.path / "missing-dir" / "x.iso", &why));
  EXPECT_FALSE(fs::exists(dir.path / "missing-dir"));
  d.Insert(MediumKind::DvdR);
  EXPECT_FALSE(d.recorder.Export(image, &why));
  EXPECT_EQ(why, "nothing is recorded on the medium");
  EXPECT_EQ(fs::file_size(image), 300u * 2048);  // the earlier export is untouched
}

TEST(InsertTest, BadInsertsAreRefusedWithAReason) {
  TempDir dir;
  Recorder rec(dir.path, 0);
  std::string why;
  const fs::path odd = dir.path / "odd.iso";
  std::ofstream(odd) << "abc";
  struct Row {
    MediumKind kind;
    InsertOptions options;
    const char* reason;
  };
  const Row rows[] = {
      {MediumKind::CdRom, {}, "needs an image"},
      {MediumKind::CdRom, {std::nullopt, false, dir.path / "none.iso"}, "does not exist"},
      {MediumKind::CdRom, {std::nullopt, false, odd}, "not a whole number of 2048-byte sectors"},
      {MediumKind::CdR, {std::nullopt, false, odd}, "only be loaded as cd-rom or dvd-rom"},
      {MediumKind::DvdR, {5u, false, {}}, "capacity must be between"},
      {MediumKind::DvdR, {std::nullopt, true, {}}, "only a DVD+RW"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(rec.Insert(row.kind, row.options, &why));
    EXPECT_NE(why.find(row.reason), std::string::npos) << why;
  }
  auto status = rec.Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, MediumKind::CdR);  // the first-use medium is still there
}

// The CLI runs in another process over the same folder.
int RunCli(const fs::path& stateDir, const std::string& args, std::string* output) {
  ::velloran::test::ShellResult r =
      ::velloran::test::Shell("VELLORAN_RECORDER_DIR='" + stateDir.string() + "' '" VELLORAN_BIN_DIR "/velloran' " + args);
  *output = std::move(r.out);
  return r.status;
}

TEST(CliTest, RecorderCommandControlsTheSharedFolder) {
  if (!fs::exists(VELLORAN_BIN_DIR "/velloran")) GTEST_SKIP() << "velloran program not built";
  TempDir dir;
  Drive d(dir.path);
  EXPECT_GOOD(d.Tur());
  std::string out;
  EXPECT_EQ(RunCli(dir.path, "recorder insert dvd-rw --capacity 100000", &out), 0) << out;
  EXPECT_NE(out.find("DVD-RW Sequential Recording"), std::string::npos) << out;
  EXPECT_SENSE(d.Tur(), 6, 0x28, 0);  // the other process changed the medium
  EXPECT_EQ(Be32(d.TrackInfo(1), 16), 100000u);
  EXPECT_GOOD(d.Page05(0x60, 0xE5));
  EXPECT_GOOD(d.Write(0, 32));
  EXPECT_EQ(RunCli(dir.path, "recorder status", &out), 0);
  EXPECT_NE(out.find("Track 1:       session 1, start 0, size 100000, open"), std::string::npos) << out;
  EXPECT_NE(out.find("Next writable: 32"), std::string::npos) << out;
  EXPECT_EQ(RunCli(dir.path, "recorder fault write-error 40 3 0C 00", &out), 0) << out;
  EXPECT_SENSE(d.Write(32, 16), 3, 0x0C, 0);
  EXPECT_EQ(RunCli(dir.path, "recorder fault clear", &out), 0);
  EXPECT_GOOD(d.Write(32, 16));
  EXPECT_EQ(RunCli(dir.path, "recorder export '" + (dir.path / "x.iso").string() + "'", &out), 0) << out;
  EXPECT_EQ(fs::file_size(dir.path / "x.iso"), 48u * 2048);
  EXPECT_EQ(RunCli(dir.path, "recorder insert dvd-q", &out), 2);
  EXPECT_NE(out.find("unknown medium kind \"dvd-q\""), std::string::npos);
  EXPECT_EQ(RunCli(dir.path, "recorder insert cd-rom", &out), 1);
  EXPECT_EQ(RunCli(dir.path, "recorder fault write-error x", &out), 2);
  EXPECT_EQ(RunCli(dir.path, "recorder realtime maybe", &out), 2);
  EXPECT_EQ(RunCli(dir.path, "recorder realtime on", &out), 0);
  EXPECT_EQ(RunCli(dir.path, "recorder eject", &out), 0);
  EXPECT_SENSE(d.Tur(), 2, 0x3A, 0);
  EXPECT_EQ(RunCli(dir.path, "recorder status", &out), 0);
  EXPECT_NE(out.find("Medium:        none"), std::string::npos) << out;
  EXPECT_NE(out.find("Real time:     on"), std::string::npos) << out;
}

}  // namespace
}  // namespace velloran::vrec::test
