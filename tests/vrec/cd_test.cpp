// CD-R and CD-RW: the track-at-once state machine, its replies against the
// worked 80-minute CD-R example, and the refusals.
#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

class CdTest : public ::testing::Test {
 protected:
  TempDir dir;
  Drive drive{dir.path};
};

// Writes one 1000-block data track TAO and closes the session appendable.
void BurnFirstSession(Drive& d) {
  EXPECT_GOOD(d.Page05(0x01, 0xC4));  // TAO, multi-session 11b, data track
  EXPECT_GOOD(d.Write(0, 1000));
  EXPECT_GOOD(d.Sync());               // closes the track in TAO
  EXPECT_GOOD(d.Close(2));
}

TEST_F(CdTest, BlankDiscRepliesMatchTheWorkedExample) {
  // The first use of a folder holds a blank 80-minute CD-R.
  EXPECT_EQ(drive.DiscInfo(), Hex("00 20 00 01 01 01 01 00 FF 00 00 00 00 00 00 00"
                                  "00 61 1A 41 00 4F 3B 4A 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(Slice(drive.TrackInfo(0xFF), 0, 32),
            Hex("00 2E 01 01 00 04 41 01 00000000 00000000 00057DA9 00000000 00057DA9 00000000"));
  auto atip = drive.Toc(4, true);
  EXPECT_GOOD(atip);
  EXPECT_EQ(drive.data, Hex("00 1A 00 00 D1 00 80 00 61 1A 41 00 4F 3B 4A 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  // No complete session: no TOC, as observed on real drives.
  EXPECT_SENSE(drive.Toc(0, false), 5, 0x24, 0);
  EXPECT_EQ(drive.Capacity(), 0u);
}

TEST_F(CdTest, FirstSessionRepliesMatchTheWorkedExample) {
  BurnFirstSession(drive);
  EXPECT_EQ(Slice(drive.DiscInfo(), 0, 24),
            Hex("00 20 01 01 02 02 02 00 00 00 00 00 00 00 00 00 00 01 2D 1B 00 4F 3B 4A"));
  EXPECT_EQ(Slice(drive.TrackInfo(2), 0, 28),
            Hex("00 2E 02 02 00 04 41 01 00003072 00003072 00054D37 00000000 00054D37"));
  EXPECT_EQ(Slice(drive.TrackInfo(1), 0, 32),
            Hex("00 2E 01 01 00 04 01 00 00000000 00000000 00000000 00000000 000003EA 00000000"));
  EXPECT_GOOD(drive.Toc(0, false));
  EXPECT_EQ(drive.data, Hex("00 12 01 01 00 14 01 00 00 00 00 00 00 14 AA 00 00 00 03 EA"));
  EXPECT_GOOD(drive.Toc(0, true));
  EXPECT_EQ(drive.data, Hex("00 12 01 01 00 14 01 00 00 00 02 00 00 14 AA 00 00 00 0F 1B"));
  EXPECT_GOOD(drive.Toc(1, false));
  EXPECT_EQ(drive.data, Hex("00 0A 01 01 00 14 01 00 00 00 00 00"));
  // READ CAPACITY includes the two run-out blocks, which do not read back.
  EXPECT_EQ(drive.Capacity(), 1001u);
  EXPECT_GOOD(drive.Read(0, 1000));
  EXPECT_EQ(drive.data.at(2047), 0xAB);
  EXPECT_SENSE(drive.Read(1000, 1), 5, 0x64, 0);
  EXPECT_SENSE(drive.Read(1002, 1), 5, 0x21, 0);
}

TEST_F(CdTest, SecondSessionStartsAfterTheShorterGapAndFinalizeClosesTheDisc) {
  BurnFirstSession(drive);
  EXPECT_SENSE(drive.Write(12401, 16), 5, 0x21, 0x02);  // not at the NWA
  EXPECT_GOOD(drive.Write(12402, 500));
  EXPECT_EQ(drive.DiscInfo()[2] & 0x0F, 0x05);  // last session incomplete, disc appendable
  EXPECT_GOOD(drive.Close(1, 2));                // explicit close track
  EXPECT_GOOD(drive.Page05(0x01, 0x04));         // multi-session 00b: finalize
  EXPECT_GOOD(drive.Close(2));
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x0E);  // complete session, complete disc
  EXPECT_EQ(info[4], 2);
  EXPECT_EQ(Be32(info, 16), 0xFFFFFFFFu);
  EXPECT_EQ(Be32(info, 20), 0xFFFFFFFFu);
  // Track 2 ends at 12402 + 500 + 2; its session is the last complete one.
  EXPECT_EQ(drive.Capacity(), 12402u + 502 - 1);
  EXPECT_GOOD(drive.Toc(1, false));
  EXPECT_EQ(drive.data[3], 2);
  EXPECT_EQ(Be32(drive.data, 8), 12402u);
  EXPECT_SENSE(drive.Write(12402 + 652, 16), 5, 0x21, 0x02);
  // No invisible track on a finalized disc.
  EXPECT_SENSE(drive.In({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 48, 0}, 48), 5, 0x24, 0);
}

TEST_F(CdTest, ShortTracksArePaddedToFourSeconds) {
  EXPECT_GOOD(drive.Write(0, 10));
  EXPECT_GOOD(drive.Close(1, 1));
  auto t1 = drive.TrackInfo(1);
  EXPECT_EQ(Be32(t1, 24), 302u);
  EXPECT_EQ(Be32(drive.TrackInfo(2), 8), 452u);
}

TEST_F(CdTest, TestWriteValidatesButRecordsNothing) {
  EXPECT_GOOD(drive.Page05(0x11, 0xC4));  // TAO + test write
  EXPECT_GOOD(drive.Write(0, 100));
  EXPECT_SENSE(drive.Write(0, 100), 5, 0x21, 0x02);  // the shadow NWA moved on
  EXPECT_GOOD(drive.Write(100, 100));
  EXPECT_GOOD(drive.Sync());
  EXPECT_GOOD(drive.Close(2));
  EXPECT_EQ(drive.DiscInfo()[2], 0x00);  // still blank
  EXPECT_EQ(Be32(drive.TrackInfo(1), 12), 0u);
  EXPECT_SENSE(drive.Read(0, 1), 5, 0x21, 0);
}

TEST_F(CdTest, RefusedOperationsOnCdR) {
  EXPECT_SENSE(drive.Blank(1, false), 5, 0x30, 0x06);
  EXPECT_SENSE(drive.Format(0x00, 1000, false), 5, 0x30, 0x06);
  EXPECT_SENSE(drive.Write(359849 - 10, 20), 5, 0x21, 0x02);  // not at NWA
  EXPECT_SENSE(drive.Close(3), 5, 0x24, 0);                     // no such close function on CD
  EXPECT_GOOD(drive.Page05(0x02, 0xC4));                        // SAO is accepted as a page...
  EXPECT_SENSE(drive.Write(0, 1), 5, 0x2C, 0);                  // ...but needs a cue sheet
}

TEST_F(CdTest, WritesPastTheLeadOutFail) {
  drive.Insert(MediumKind::CdR, InsertOptions{1000u});
  EXPECT_GOOD(drive.Write(0, 990));
  EXPECT_SENSE(drive.Write(990, 20), 5, 0x21, 0x00);
  EXPECT_GOOD(drive.Write(990, 10));
  EXPECT_EQ(Be32(drive.TrackInfo(1), 16), 0u);
}

TEST_F(CdTest, CdRwBlankRunsAsANotReadyPeriodWithProgress) {
  drive.Insert(MediumKind::CdRw);
  EXPECT_GOOD(drive.Write(0, 1000));
  EXPECT_GOOD(drive.Sync());
  EXPECT_GOOD(drive.Close(2));
  EXPECT_EQ(drive.DiscInfo()[2], 0x1E);  // erasable, finalized by the default page
  EXPECT_GOOD(drive.Blank(1, true));
  auto tur = drive.Tur();
  EXPECT_SENSE(tur, 2, 0x04, 0x07);
  EXPECT_EQ(tur.sense[15], 0x80);  // SKSV, progress follows
  const std::uint16_t early = be::load16(&tur.sense[16]);
  drive.clock.Advance(500);
  auto later = drive.Tur();
  EXPECT_SENSE(later, 2, 0x04, 0x07);
  EXPECT_GT(be::load16(&later.sense[16]), early);
  // Polling commands still answer; media access does not.
  EXPECT_GOOD(drive.In({0x12, 0, 0, 0, 36, 0}, 36));
  EXPECT_SENSE(drive.Read(0, 1), 2, 0x04, 0x07);
  EXPECT_GOOD(drive.In({0x03, 0, 0, 0, 18, 0}, 18));
  EXPECT_EQ(drive.data[12], 0x04);
  drive.clock.Advance(600);
  EXPECT_GOOD(drive.Tur());
  EXPECT_EQ(drive.DiscInfo()[2], 0x10);  // blank, erasable
  EXPECT_SENSE(drive.Read(0, 1), 5, 0x21, 0);
}

TEST_F(CdTest, FullBlankTakesLongerThanMinimal) {
  drive.Insert(MediumKind::CdRw);
  EXPECT_GOOD(drive.Blank(0, true));
  drive.clock.Advance(1500);
  EXPECT_SENSE(drive.Tur(), 2, 0x04, 0x07);  // a minimal blank would be over
  drive.clock.Advance(2000);
  EXPECT_GOOD(drive.Tur());
  EXPECT_SENSE(drive.Blank(2, false), 5, 0x24, 0);  // track blanking not offered
}

TEST_F(CdTest, ReservedTrackTakesExactlyItsSize) {
  EXPECT_GOOD(drive.Reserve(500));
  auto t1 = drive.TrackInfo(1);
  EXPECT_EQ(t1[6] & 0xC0, 0xC0);  // reserved, blank
  EXPECT_EQ(Be32(drive.TrackInfo(2), 8), 652u);
  EXPECT_SENSE(drive.Write(0, 501), 5, 0x63, 0);
  EXPECT_GOOD(drive.Write(0, 500));
  EXPECT_GOOD(drive.Reserve(100));  // the new invisible track is still empty
  EXPECT_GOOD(drive.Write(652, 1));
  EXPECT_SENSE(drive.Write(653, 100), 5, 0x63, 0);
  EXPECT_GOOD(drive.Write(904, 5));                  // the invisible track after both
  EXPECT_SENSE(drive.Reserve(10), 5, 0x72, 0x05);  // holds data now: no reservation
}

}  // namespace
}  // namespace velloran::vrec::test

namespace velloran::vrec::test {
namespace {

TEST_F(CdTest, RawTocListsPointsOfTheCompleteSession) {
  BurnFirstSession(drive);
  EXPECT_GOOD(drive.Toc(2, false));
  const Bytes& r = drive.data;
  ASSERT_EQ(r.size(), 4u + 11 * 6);
  EXPECT_EQ(Slice(r, 0, 4), Hex("00 44 01 01"));
  // A0: first track 1, disc type 20h; A1: last track 1; A2: lead-out 00:15:27.
  EXPECT_EQ(Slice(r, 4, 11), Hex("01 14 00 A0 00 00 00 00 01 20 00"));
  EXPECT_EQ(Slice(r, 15, 11), Hex("01 14 00 A1 00 00 00 00 01 00 00"));
  EXPECT_EQ(Slice(r, 26, 11), Hex("01 14 00 A2 00 00 00 00 00 0F 1B"));
  EXPECT_EQ(Slice(r, 37, 11), Hex("01 14 00 01 00 00 00 00 00 02 00"));
  // B0: next program area at 12402 (02:47:27), last possible lead-out 79:59:74.
  EXPECT_EQ(Slice(r, 48, 11), Hex("01 54 00 B0 02 2F 1B 00 4F 3B 4A"));
  // C0: the ATIP lead-in.
  EXPECT_EQ(Slice(r, 59, 11), Hex("01 54 00 C0 00 00 00 00 61 1A 41"));
}

TEST_F(CdTest, SessionAtOnceWritesThePregapThenTheDataAndClosesOnFlush) {
  // What xorriso sends for a blank CD-R: page 05h with write type SAO and
  // block type 0 (the cue sheet decides), and a cue sheet of lead-in, track
  // 1 index 0 (pregap) at 00:00:00 and index 1 at 00:02:00 as Mode 1 data
  // from the host (10h), and the lead-out at 00:06:00.
  EXPECT_GOOD(drive.Page05(0x42, 0xC0, 0x00));
  const Bytes cue = Hex("41 00 00 14 00 00 00 00  41 01 00 10 00 00 00 00  41 01 01 10 00 00 02 00  41 AA 01 14 00 00 06 00");
  EXPECT_GOOD(drive.Out({0x5D, 0, 0, 0, 0, 0, 0, 0, 32, 0}, cue));
  // The pregap comes first, from LBA -150, in whatever pieces; one piece
  // runs on into the track.
  EXPECT_SENSE(drive.Write(0, 16), 5, 0x21, 0x02);
  for (int lba = -150; lba < -6; lba += 16) EXPECT_GOOD(drive.Write(lba, 16, 0x00));
  EXPECT_GOOD(drive.Write(-6, 16, 0x5A));
  EXPECT_GOOD(drive.Write(10, 290, 0x5A));
  EXPECT_SENSE(drive.Write(300, 16), 5, 0x21, 0x02);  // the lead-out is the drive's
  EXPECT_GOOD(drive.Sync());
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x01);  // multi-session 11b: session closed, disc appendable
  auto track = drive.TrackInfo(1);
  EXPECT_EQ(Be32(track, 8), 0u);
  EXPECT_EQ(track[5] & 0x0F, 4) << "a data track, as the cue sheet's CONTROL says (page 05h said audio)";
  EXPECT_EQ(track[6] & 0x0F, 1) << "Mode 1";
  EXPECT_GOOD(drive.Read(0, 1));
  EXPECT_EQ(drive.data[0], 0x5A);
  // Cue sheets are taken on blank discs only, and data forms the drive
  // does not know are refused.
  EXPECT_SENSE(drive.Out({0x5D, 0, 0, 0, 0, 0, 0, 0, 32, 0}, cue), 5, 0x2C, 0);
  drive.Insert(MediumKind::CdR);
  Bytes odd = cue;
  odd[11] = 0x3F;
  EXPECT_SENSE(drive.Out({0x5D, 0, 0, 0, 0, 0, 0, 0, 32, 0}, odd), 5, 0x26, 0);
}

TEST_F(CdTest, LongOperationOfOneObjectIsSeenByAnother) {
  drive.Insert(MediumKind::CdRw);
  Drive other(dir.path);  // same folder, same clock start
  EXPECT_GOOD(drive.Blank(1, true));
  EXPECT_SENSE(other.Tur(), 2, 0x04, 0x07);
  other.clock.Advance(2000);
  EXPECT_GOOD(other.Tur());
}

}  // namespace
}  // namespace velloran::vrec::test
