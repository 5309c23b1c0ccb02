// DVD media: incremental Rzones and borders (DVD-R/-RW), fragments and
// sessions (DVD+R), formatting and overwriting (DVD+RW, DVD-RW restricted
// overwrite, DVD-RAM), pressed DVD-ROM.
#include <fstream>

#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

class DvdTest : public ::testing::Test {
 protected:
  TempDir dir;
  Drive drive{dir.path};
};

// Page 05h as the burner sets it for DVD-R: incremental, link size 16,
// multi-session 11b, fixed packets, track mode 5.
constexpr std::uint8_t kDvdRIncremental2 = 0x60;
constexpr std::uint8_t kDvdRIncremental3 = 0xE5;

TEST_F(DvdTest, BlankDvdRReportsAnInvisibleIncrementalRzone) {
  drive.Insert(MediumKind::DvdR);
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x00);
  EXPECT_EQ(Be32(info, 20), 2298496u);  // legacy lead-out
  auto t = drive.TrackInfo(1);
  EXPECT_EQ(t[5], 0x05);
  // Blank, incremental, data mode 1; variable packets (FP 0): a drive that
  // claims fixed packets here is refused by growisofs ("track is formatted
  // for fixed packet size").
  EXPECT_EQ(t[6], 0x61);
  EXPECT_EQ(t[7], 0x01);
  EXPECT_EQ(Be32(t, 16), 2297888u);
  EXPECT_EQ(Be32(t, 20), 16u);
  EXPECT_SENSE(drive.Toc(4, true), 5, 0x24, 0);  // no ATIP on DVD
}

TEST_F(DvdTest, DvdRTracksAndBordersFollowTheObservedGaps) {
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Page05(kDvdRIncremental2, kDvdRIncremental3));
  EXPECT_GOOD(drive.Write(0, 12288));
  EXPECT_GOOD(drive.Close(1, 1));
  EXPECT_EQ(Be32(drive.TrackInfo(2), 8), 12288u + 16);
  EXPECT_GOOD(drive.Write(12304, 250));
  EXPECT_GOOD(drive.Sync());  // pads the open Rzone to 16
  EXPECT_EQ(Be32(drive.TrackInfo(2), 12), 12304u + 256);
  EXPECT_GOOD(drive.Close(2));
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x01);  // appendable, new session empty
  EXPECT_EQ(info[4], 2);
  auto t3 = drive.TrackInfo(3);
  EXPECT_EQ(Be32(t3, 8), 12304u + 256 + 28688);
  EXPECT_EQ(Be32(t3, 16), 2297888u - (12304 + 256 + 28688));
  EXPECT_EQ(drive.Capacity(), 12304u + 256 - 1);
  EXPECT_GOOD(drive.Toc(0, false));
  EXPECT_EQ(drive.data[3], 2);  // two tracks in the complete session
}

TEST_F(DvdTest, DvdRReservationAsTheBurnerSendsIt) {
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Page05(kDvdRIncremental2, kDvdRIncremental3));
  EXPECT_GOOD(drive.Reserve(1000));  // rounded up to 1008
  auto t1 = drive.TrackInfo(1);
  EXPECT_EQ(t1[6] & 0xC0, 0xC0);
  EXPECT_EQ(Be32(t1, 24), 1008u);
  EXPECT_SENSE(drive.Write(0, 1024), 5, 0x63, 0);
  EXPECT_GOOD(drive.Write(0, 992));
  // The burner closes the reserved track, the (empty) next one, then the session.
  EXPECT_GOOD(drive.Close(1, 1, true));
  drive.Finish();
  EXPECT_GOOD(drive.Close(1, 2, true));
  drive.Finish();
  EXPECT_GOOD(drive.Close(2, 3, true));
  EXPECT_SENSE(drive.Tur(), 2, 0x04, 0x08);
  drive.Finish();
  EXPECT_GOOD(drive.Tur());
  EXPECT_EQ(drive.DiscInfo()[2], 0x01);
  EXPECT_EQ(Be32(drive.TrackInfo(1), 24), 1008u);  // padded to its reserved size
  EXPECT_SENSE(drive.Close(1, 9), 5, 0x24, 0);      // no such track
}

TEST_F(DvdTest, DvdRDiscAtOnceCompletesTheDiscOnFlush) {
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Page05(0x02, 0x04));  // DAO
  EXPECT_SENSE(drive.Write(0, 16), 5, 0x2C, 0);  // DAO needs a reservation first
  EXPECT_GOOD(drive.Reserve(64));
  EXPECT_GOOD(drive.Write(0, 64));
  EXPECT_GOOD(drive.Sync());
  EXPECT_EQ(drive.DiscInfo()[2] & 0x03, 0x02);
  EXPECT_SENSE(drive.Write(64, 16), 5, 0x21, 0x02);
  EXPECT_SENSE(drive.Page05(0x01, 0x04), 5, 0x26, 0);  // TAO is a CD write type
}

TEST_F(DvdTest, DvdRDiscAtOnceOfAnOddSizeIsPaddedToItsEccBlockOnFlush) {
  // growisofs and wodim reserve the image's own size (267, 300 blocks) and
  // write exactly that; the drive rounded the reservation up to whole
  // 16-block ECC blocks and pads the last one when the cache is flushed.
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Page05(0x02, 0x04));
  EXPECT_GOOD(drive.Reserve(300));
  EXPECT_GOOD(drive.Write(0, 300));
  EXPECT_GOOD(drive.Sync());
  EXPECT_EQ(drive.DiscInfo()[2] & 0x03, 0x02) << "complete";
  EXPECT_EQ(Be32(drive.TrackInfo(1), 24), 304u);
  EXPECT_EQ(drive.Capacity(), 303u);
  // Less than the last ECC block's worth missing only: a reservation left
  // half written stays open.
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Page05(0x02, 0x04));
  EXPECT_GOOD(drive.Reserve(300));
  EXPECT_GOOD(drive.Write(0, 288));
  EXPECT_GOOD(drive.Sync());
  EXPECT_EQ(drive.DiscInfo()[2] & 0x03, 0x01);
}

TEST_F(DvdTest, DvdRwMinimalBlankLeavesOnlyDiscAtOnce) {
  drive.Insert(MediumKind::DvdRwSequential);
  EXPECT_GOOD(drive.Page05(kDvdRIncremental2, kDvdRIncremental3));
  EXPECT_GOOD(drive.Write(0, 160));
  EXPECT_GOOD(drive.Blank(1, false));
  EXPECT_EQ(drive.DiscInfo()[2], 0x10);
  EXPECT_SENSE(drive.Write(0, 16), 5, 0x64, 0);
  // Incremental recording is no longer a current feature.
  EXPECT_GOOD(drive.In({0x46, 0x02, 0x00, 0x21, 0, 0, 0, 0, 64, 0}, 64));
  EXPECT_EQ(drive.data[10] & 0x01, 0);
  EXPECT_GOOD(drive.Blank(0, false));
  EXPECT_GOOD(drive.Write(0, 16));
  EXPECT_GOOD(drive.In({0x46, 0x02, 0x00, 0x21, 0, 0, 0, 0, 64, 0}, 64));
  EXPECT_EQ(drive.data[10] & 0x01, 1);
}

TEST_F(DvdTest, DvdPlusRSessionsStayAppendableUntilFinalized) {
  drive.Insert(MediumKind::DvdPlusR);
  auto t = drive.TrackInfo(0xFF);
  EXPECT_EQ(t[6], 0x41);  // blank, not incremental
  EXPECT_EQ(Be32(t, 16), 2295104u);
  EXPECT_EQ(Be32(t, 36), 270336u);
  EXPECT_GOOD(drive.Page05(0x22, 0xC4));  // ignored on DVD+R
  EXPECT_GOOD(drive.Write(0, 1000));
  EXPECT_GOOD(drive.Close(1, 1));
  EXPECT_EQ(Be32(drive.TrackInfo(1), 24), 1008u);
  EXPECT_GOOD(drive.Page05(0x01, 0x04));  // "finalize" in page 05h: still appendable
  EXPECT_GOOD(drive.Close(2, 0xFF));
  EXPECT_EQ(drive.DiscInfo()[2], 0x01);
  EXPECT_EQ(Be32(drive.TrackInfo(2), 8), 1008u + 2048);
  EXPECT_GOOD(drive.Write(3056, 32));
  EXPECT_GOOD(drive.Close(1, 2));
  EXPECT_GOOD(drive.Close(5));  // close session and finalize
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x0E);
  EXPECT_EQ(info[4], 2);
  EXPECT_SENSE(drive.Write(3088, 16), 5, 0x21, 0x02);
  EXPECT_SENSE(drive.Blank(1, false), 5, 0x30, 0x06);
}

TEST_F(DvdTest, DvdPlusRDlHasItsCapacityAndFeature) {
  drive.Insert(MediumKind::DvdPlusRDl);
  EXPECT_EQ(Be32(drive.TrackInfo(1), 16), 4173824u);
  EXPECT_GOOD(drive.In({0x46, 0x02, 0x00, 0x3B, 0, 0, 0, 0, 64, 0}, 64));
  EXPECT_EQ(be::load16(&drive.data[6]), 0x2Bu);
  EXPECT_EQ(drive.data[10] & 0x01, 1);
  EXPECT_GOOD(drive.Write(0, 32));
  EXPECT_GOOD(drive.Close(1, 1));
  EXPECT_GOOD(drive.Close(6));
  EXPECT_EQ(drive.DiscInfo()[2] & 0x03, 0x02);
}

TEST_F(DvdTest, UnformattedDvdPlusRwMustBeFormattedFirst) {
  drive.Insert(MediumKind::DvdPlusRw);
  EXPECT_EQ(drive.DiscInfo()[2], 0x10);
  EXPECT_SENSE(drive.Write(0, 32), 5, 0x30, 0x10);
  // The erase/format list the burner sends: 26h, 2 295 104 blocks, Immed.
  EXPECT_GOOD(drive.Out({0x04, 0x11, 0, 0, 0, 0}, Hex("00 82 00 08 00 23 05 40 98 00 00 00")));
  EXPECT_GOOD(drive.Tur());  // background format: the drive stays ready
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x1E);
  EXPECT_EQ(info[7] & 0x03, 0x03);
  EXPECT_GOOD(drive.Write(1000, 7));  // 2 KiB granularity, anywhere
  EXPECT_GOOD(drive.Write(0, 32));
  EXPECT_SENSE(drive.Write(2295100, 5), 5, 0x21, 0);
  EXPECT_EQ(drive.Capacity(), 2295103u);
  EXPECT_GOOD(drive.Close(3, 0xFF));  // sent after overwriting; accepted
  EXPECT_SENSE(drive.Close(1, 1), 5, 0x24, 0);
  EXPECT_SENSE(drive.Blank(0, false), 5, 0x30, 0x06);
  EXPECT_GOOD(drive.Read(1000, 7));
  EXPECT_EQ(drive.data.at(7 * 2048 - 1), 0xAB);
}

TEST_F(DvdTest, DvdPlusRwFormattedAnewLosesItsDataUnlessTheFormatIsResumed) {
  // dvd+rw-format -force ("format as new while wiping any existing data"),
  // which growisofs asks for before it overwrites a disc unattended: the
  // same 26h format on a formatted disc, without the Restart bit.
  InsertOptions formatted;
  formatted.formatted = true;
  drive.Insert(MediumKind::DvdPlusRw, formatted);
  EXPECT_GOOD(drive.Write(0, 32, 0x5A));
  EXPECT_GOOD(drive.Format(0x26, 2295104, false, 0x000001));  // Restart: resumes, keeps
  EXPECT_GOOD(drive.Read(16, 1));
  EXPECT_EQ(drive.data[0], 0x5A);
  EXPECT_GOOD(drive.Out({0x04, 0x11, 0, 0, 0, 0}, Hex("00 02 00 08 00 23 05 40 98 00 00 00")));
  EXPECT_GOOD(drive.Read(16, 1));
  EXPECT_EQ(drive.data, Bytes(2048, 0));
  EXPECT_EQ(drive.DiscInfo()[2] & 0x03, 0x02) << "formatted again";
}

TEST_F(DvdTest, DvdRwQuickFormatToRestrictedOverwrite) {
  drive.Insert(MediumKind::DvdRwSequential);
  // What the burner sends before writing a DVD-RW: type 15h, 1000 blocks, Immed.
  EXPECT_GOOD(drive.Out({0x04, 0x11, 0, 0, 0, 0}, Hex("00 A2 00 08 00 00 03 E8 54 00 00 10")));
  EXPECT_SENSE(drive.Tur(), 2, 0x04, 0x04);
  drive.Finish();
  EXPECT_GOOD(drive.Tur());
  EXPECT_GOOD(drive.In({0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(be::load16(&drive.data[6]), 0x13u);
  auto t = drive.TrackInfo(1);
  EXPECT_EQ(Be32(t, 12), 0u);       // grows from 0
  EXPECT_EQ(Be32(t, 24), 0u);
  EXPECT_SENSE(drive.Write(8, 16), 5, 0x21, 0x02);  // ECC blocks only
  EXPECT_SENSE(drive.Write(0, 20), 5, 0x21, 0x02);
  EXPECT_SENSE(drive.Write(32, 32), 5, 0x21, 0x02);  // beyond the grown area
  EXPECT_GOOD(drive.Write(0, 64));
  EXPECT_GOOD(drive.Write(64, 32));
  EXPECT_EQ(Be32(drive.TrackInfo(1), 24), 96u);
  EXPECT_GOOD(drive.Close(2, 0, true));  // ends the intermediate state
  drive.Finish();
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x1E);
  EXPECT_SENSE(drive.Write(96, 16), 5, 0x21, 0x00);
  EXPECT_GOOD(drive.Write(0, 16));
  // Restricted overwrite: grow by a quick grow of the last session.
  EXPECT_GOOD(drive.Out({0x04, 0x11, 0, 0, 0, 0}, Hex("00 82 00 08 00 00 00 00 4C 00 00 10")));
  drive.Finish();
  EXPECT_GOOD(drive.Write(96, 16));
  EXPECT_SENSE(drive.Format(0x26, 0, false), 5, 0x26, 0);  // a DVD+RW format type
  EXPECT_GOOD(drive.Blank(1, false));                       // back to sequential
  EXPECT_GOOD(drive.In({0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(be::load16(&drive.data[6]), 0x14u);
}

TEST_F(DvdTest, FormatCapacitiesPerMedium) {
  struct Row {
    MediumKind kind;
    Bytes expected;
  };
  const Row rows[] = {
      {MediumKind::DvdPlusRw, Hex("00 00 00 10 00 23 05 40 01 00 08 00 00 23 05 40 98 00 00 00")},
      {MediumKind::DvdRwSequential,
       Hex("00 00 00 20 00 23 10 20 01 00 08 00 00 23 10 20 00 00 08 00 00 23 10 20 40 00 00 10"
           "00 23 10 20 54 00 00 10")},
      {MediumKind::DvdRam, Hex("00 00 00 18 00 22 21 20 02 00 08 00 00 22 21 20 00 00 08 00 00 21 A1 20 04 00 00 00")},
      {MediumKind::DvdR, Hex("00 00 00 08 00 23 10 20 02 00 08 00")},
  };
  for (const auto& row : rows) {
    drive.Insert(row.kind);
    EXPECT_GOOD(drive.In({0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0}, 248));
    EXPECT_EQ(drive.data, row.expected) << InfoOf(row.kind).cliName;
  }
}

TEST_F(DvdTest, DvdRamFormatIsALongOperation) {
  drive.Insert(MediumKind::DvdRam);
  EXPECT_EQ(drive.DiscInfo()[2] & 0x13, 0x13);  // erasable, "others"
  EXPECT_GOOD(drive.Write(12345, 3));
  EXPECT_GOOD(drive.Page05(0x01, 0x04));  // ignored, no refusal
  EXPECT_GOOD(drive.Out({0x04, 0x11, 0, 0, 0, 0}, Hex("00 82 00 08 00 22 21 20 00 00 08 00")));
  auto tur = drive.Tur();
  EXPECT_SENSE(tur, 2, 0x04, 0x04);
  drive.Finish();
  EXPECT_GOOD(drive.Tur());
  EXPECT_GOOD(drive.Read(12345, 1));
  EXPECT_EQ(drive.data.at(0), 0x00);  // formatting erased it
  EXPECT_SENSE(drive.Format(0x00, 2236705, false), 5, 0x26, 0);
  EXPECT_SENSE(drive.Blank(0, false), 5, 0x30, 0x06);
}

TEST_F(DvdTest, PressedDvdRomServesItsImageAndRefusesWriting) {
  const fs::path image = dir.path / "rom.iso";
  {
    std::ofstream out(image, std::ios::binary);
    for (int i = 0; i < 64; ++i) out << std::string(2048, static_cast<char>('A' + i % 26));
  }
  std::string why;
  ASSERT_TRUE(drive.recorder.Insert(MediumKind::DvdRom, InsertOptions{std::nullopt, false, image}, &why)) << why;
  drive.Tur();
  EXPECT_EQ(drive.Capacity(), 63u);
  EXPECT_GOOD(drive.Read(30, 2));
  EXPECT_EQ(drive.data[0], 'A' + 30 % 26);
  EXPECT_EQ(drive.data[2048], 'A' + 31 % 26);
  EXPECT_SENSE(drive.Read(63, 2), 5, 0x21, 0);
  EXPECT_SENSE(drive.Write(64, 16), 5, 0x30, 0x05);
  EXPECT_SENSE(drive.Reserve(16), 5, 0x30, 0x05);
  EXPECT_SENSE(drive.Close(2), 5, 0x30, 0x05);
  EXPECT_SENSE(drive.None({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 5, 0x30, 0x05);
  EXPECT_SENSE(drive.Blank(0, false), 5, 0x30, 0x06);
  EXPECT_SENSE(drive.Format(0x00, 64, false), 5, 0x30, 0x06);
  EXPECT_SENSE(drive.In({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 48, 0}, 48), 5, 0x24, 0);
  auto info = drive.DiscInfo();
  EXPECT_EQ(info[2], 0x0E);
  EXPECT_GOOD(drive.Toc(0, false));
  EXPECT_EQ(Be32(drive.data, 16), 64u);  // lead-out
}

}  // namespace
}  // namespace velloran::vrec::test

namespace velloran::vrec::test {
namespace {

TEST_F(DvdTest, PhysicalFormatAndMechanismStatus) {
  drive.Insert(MediumKind::DvdPlusR);
  EXPECT_GOOD(drive.In({0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x04, 0, 0}, 2052));
  EXPECT_EQ(be::load16(&drive.data[0]), 2050u);
  EXPECT_EQ(drive.data[4], 0xA1);  // DVD+R book type
  EXPECT_EQ(Be32(drive.data, 8), 0x030000u);
  EXPECT_SENSE(drive.In({0xAD, 0, 0, 0, 0, 0, 0, 0x07, 0x08, 0x04, 0, 0}, 2052), 5, 0x24, 0);
  EXPECT_GOOD(drive.In({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 8));
  EXPECT_EQ(drive.data[1] & 0x10, 0);
  drive.Insert(MediumKind::CdR);
  EXPECT_SENSE(drive.In({0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x04, 0, 0}, 2052), 5, 0x30, 0x02);
}

}  // namespace
}  // namespace velloran::vrec::test
