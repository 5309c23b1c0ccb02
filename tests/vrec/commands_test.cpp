// Drive-level commands: identification, features, mode pages, speeds, events,
// the tray, sense reporting and the buffer.
#include "vrec/medium_state.h"
#include "vrec/sense.h"
#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

class CommandsTest : public ::testing::Test {
 protected:
  TempDir dir;
  Drive drive{dir.path};

  // GET CONFIGURATION RT=2 for one feature: {present, current, first data byte}.
  struct FeatureState {
    bool present;
    bool current;
    std::uint8_t data0;
  };
  FeatureState Feature(std::uint16_t code) {
    Bytes cdb{0x46, 0x02, 0, 0, 0, 0, 0, 0, 114, 0};
    be::store16(&cdb[2], code);
    auto r = drive.Cdb(cdb, Bytes(114), DataDirection::In);
    EXPECT_GOOD(r);
    if (drive.data.size() < 12 || be::load16(&drive.data[8]) != code) return {false, false, 0};
    return {true, (drive.data[10] & 1) != 0, drive.data.size() > 12 ? drive.data[12] : std::uint8_t{0}};
  }
  std::uint16_t Profile() {
    EXPECT_GOOD(drive.In({0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8));
    return be::load16(&drive.data[6]);
  }
  Bytes Page2A() {
    auto r = drive.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 255, 0}, 255);
    EXPECT_GOOD(r);
    return Slice(drive.data, 8, 255);
  }
};

Bytes Encoded(const Sense& s) {
  const auto a = s.Encode();
  return Bytes(a.begin(), a.end());
}

TEST(SenseTest, FixedFormatLayout) {
  EXPECT_EQ(Encoded(Sense::Make(kMediumError, 0x0C, 0x00)), Hex("70 00 03 00 00 00 00 0A 00 00 00 00 0C 00 00 00 00 00"));
  EXPECT_EQ(Encoded(Sense::AtAddress(kMediumError, 0x0C, 0x00, 0x12345)),
            Hex("F0 00 03 00 01 23 45 0A 00 00 00 00 0C 00 00 00 00 00"));
  EXPECT_EQ(Encoded(Sense::InvalidCdbField(7)), Hex("70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 C0 00 07"));
  EXPECT_EQ(Slice(Encoded(Sense::InvalidParameter(12, 3)), 15, 3), Hex("8B 00 0C"));
  EXPECT_EQ(Slice(Encoded(Sense::Progress(0x07, 0x8000)), 12, 6), Hex("04 07 00 80 80 00"));
}

TEST(MsfTest, ConvertsBothWaysAcrossTheLeadIn) {
  struct Row {
    std::int32_t lba;
    std::uint8_t m, s, f;
  };
  const Row rows[] = {{0, 0, 2, 0}, {-150, 0, 0, 0}, {1002, 0, 15, 27}, {359849, 79, 59, 74}, {-11635, 97, 26, 65}};
  for (const auto& row : rows) {
    const Msf msf = LbaToMsf(row.lba);
    EXPECT_EQ(msf.m, row.m) << row.lba;
    EXPECT_EQ(msf.s, row.s) << row.lba;
    EXPECT_EQ(msf.f, row.f) << row.lba;
    EXPECT_EQ(MsfToLba(row.m, row.s, row.f), row.lba);
  }
}

TEST_F(CommandsTest, InquiryNamesTheRecorder) {
  EXPECT_GOOD(drive.In({0x12, 0, 0, 0, 128, 0}, 131));
  ASSERT_EQ(drive.data.size(), 96u);
  EXPECT_EQ(drive.data[0], 0x05);
  EXPECT_EQ(drive.data[1], 0x80);
  EXPECT_EQ(drive.data[4], 91);
  EXPECT_EQ(std::string(drive.data.begin() + 8, drive.data.begin() + 36), "VELLORANVREC RECORDER 0 3.38");
  EXPECT_GOOD(drive.In({0x12, 0, 0, 0, 36, 0}, 131));
  EXPECT_EQ(drive.data.size(), 36u);  // clamped to the allocation length
  EXPECT_SENSE(drive.In({0x12, 0, 0x80, 0, 36, 0}, 36), 5, 0x24, 0);
  EXPECT_GOOD(drive.In({0x12, 1, 0x80, 0, 36, 0}, 36));
  EXPECT_EQ(drive.data[1], 0x80);
}

TEST_F(CommandsTest, UnknownOpcodesAreRefused) {
  for (std::uint8_t op : {0x01, 0x08, 0x0A, 0x2F, 0xA3, 0xFF}) {
    auto r = drive.None({op, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_SENSE(r, 5, 0x20, 0x00);
    EXPECT_EQ(r.sense[0], 0x70);
    EXPECT_EQ(r.sense[7], 0x0A);
  }
}

TEST_F(CommandsTest, CurrentProfileAndWriteFeaturesFollowTheMedium) {
  struct Row {
    MediumKind kind;
    std::uint16_t profile;
    bool f2A, f2B, f2F, f3B;
  };
  const Row rows[] = {
      {MediumKind::CdR, 0x09, false, false, false, false},
      {MediumKind::DvdR, 0x11, false, false, true, false},
      {MediumKind::DvdRwSequential, 0x14, false, false, true, false},
      {MediumKind::DvdRwRestricted, 0x13, false, false, false, false},
      {MediumKind::DvdPlusRw, 0x1A, true, false, false, false},
      {MediumKind::DvdPlusR, 0x1B, false, true, false, false},
      {MediumKind::DvdPlusRDl, 0x2B, false, false, false, true},
      {MediumKind::DvdRam, 0x12, false, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(InfoOf(row.kind).cliName);
    drive.Insert(row.kind);
    EXPECT_EQ(Profile(), row.profile);
    // The drive has every feature; "current" follows the medium, and the
    // write bit says the drive writes that medium.
    auto f2A = Feature(0x2A), f2B = Feature(0x2B), f2F = Feature(0x2F), f3B = Feature(0x3B);
    EXPECT_TRUE(f2A.present && f2B.present && f2F.present && f3B.present);
    EXPECT_EQ(f2A.current, row.f2A);
    EXPECT_EQ(f2B.current, row.f2B);
    EXPECT_EQ(f2F.current, row.f2F);
    EXPECT_EQ(f3B.current, row.f3B);
    EXPECT_EQ(f2A.data0, 1);
    EXPECT_EQ(f3B.data0, 1);
  }
  EXPECT_TRUE(drive.recorder.Eject());
  EXPECT_EQ(Profile(), 0u);
  EXPECT_FALSE(Feature(0x1F).current);
  EXPECT_TRUE(Feature(0x01).current);
  EXPECT_SENSE(drive.In({0x46, 0x03, 0, 0, 0, 0, 0, 0, 8, 0}, 8), 5, 0x24, 0);
}

TEST_F(CommandsTest, ProfileListAndFeatureOrder) {
  EXPECT_GOOD(drive.In({0x46, 0x00, 0, 0, 0, 0, 0, 0x04, 0, 0}, 1024));
  const Bytes& r = drive.data;
  ASSERT_GE(r.size(), 8u + 4 + 44);
  EXPECT_EQ(Be32(r, 0), r.size() - 4);
  EXPECT_EQ(be::load16(&r[8]), 0u);
  EXPECT_EQ(r[11], 44);  // eleven profiles
  EXPECT_EQ(Slice(r, 12, 4), Hex("00 2B 00 00"));
  // CD-R (09h) is current in the fresh folder.
  EXPECT_EQ(Slice(r, 12 + 4 * 9, 4), Hex("00 09 01 00"));
  std::uint16_t previous = 0;
  for (std::size_t at = 8; at + 4 <= r.size(); at += 4 + r[at + 3]) {
    const std::uint16_t code = be::load16(&r[at]);
    EXPECT_TRUE(at == 8 || code > previous);
    EXPECT_EQ(r[at + 3] % 4, 0);
    previous = code;
  }
  // RT=01b: only current features.
  EXPECT_GOOD(drive.In({0x46, 0x01, 0x00, 0x2A, 0, 0, 0, 0x04, 0, 0}, 1024));
  for (std::size_t at = 8; at + 4 <= drive.data.size(); at += 4 + drive.data[at + 3])
    EXPECT_EQ(drive.data[at + 2] & 1, 1);
}

TEST_F(CommandsTest, CapabilitiesPageReportsSpeedsOfTheMediumAndTheChosenSpeed) {
  Bytes p = Page2A();
  EXPECT_EQ(p[0], 0x2A);
  EXPECT_EQ(p[1], 0x1E + 4 * 7);
  EXPECT_EQ(be::load16(&p[12]), 2048u);   // 2 MiB buffer
  EXPECT_EQ(be::load16(&p[18]), 8467u);   // 48x CD-R
  EXPECT_EQ(be::load16(&p[30]), 7u);
  EXPECT_EQ(be::load16(&p[34]), 8467u);   // fastest descriptor first
  // SET CD SPEED rounds down to a supported speed and never below the slowest.
  EXPECT_GOOD(drive.None({0xBB, 0, 0xFF, 0xFF, 0x0F, 0xA0, 0, 0, 0, 0, 0, 0}));  // 4000 kB/s
  p = Page2A();
  EXPECT_EQ(be::load16(&p[28]), 2822u);
  EXPECT_EQ(be::load16(&p[20]), 2822u);
  EXPECT_GOOD(drive.None({0xBB, 0, 0xFF, 0xFF, 0x00, 0x02, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(be::load16(&Page2A()[28]), 706u);
  // The same request on a DVD-R follows the DVD speeds.
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.None({0xBB, 0, 0xFF, 0xFF, 0x2B, 0x5C, 0, 0, 0, 0, 0, 0}));  // 11100
  EXPECT_EQ(be::load16(&Page2A()[28]), 11080u);
  // SET STREAMING sets the write speed from size and time.
  Bytes desc(28, 0);
  be::store32(&desc[12], 5540);
  be::store32(&desc[16], 1000);
  be::store32(&desc[20], 5540);
  be::store32(&desc[24], 1000);
  EXPECT_GOOD(drive.Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, desc));
  EXPECT_EQ(be::load16(&Page2A()[28]), 5540u);
  be::store32(&desc[24], 0);
  EXPECT_SENSE(drive.Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, desc), 5, 0x26, 0);
  EXPECT_SENSE(drive.Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 3, 0, 28, 0}, desc), 5, 0x24, 0);
  // Prevent shows in the lock-state bit.
  EXPECT_GOOD(drive.None({0x1E, 0, 0, 0, 1, 0}));
  EXPECT_EQ(Page2A()[6] & 0x02, 0x02);
}

TEST_F(CommandsTest, ModePagesAndTheirRefusals) {
  EXPECT_GOOD(drive.In({0x5A, 0, 0x05, 0, 0, 0, 0, 0, 255, 0}, 255));
  EXPECT_EQ(be::load16(&drive.data[0]), 8u + 0x34 - 2);
  EXPECT_EQ(Slice(drive.data, 8, 6), Hex("05 32 01 04 08 07"));
  EXPECT_SENSE(drive.In({0x5A, 0, 0x30, 0, 0, 0, 0, 0, 128, 0}, 128), 5, 0x24, 0);  // no vendor page 30h
  EXPECT_SENSE(drive.In({0x5A, 0, 0xC5, 0, 0, 0, 0, 0, 128, 0}, 128), 5, 0x39, 0);  // saved values
  EXPECT_SENSE(drive.In({0x5A, 0, 0x05, 1, 0, 0, 0, 0, 128, 0}, 128), 5, 0x24, 0);  // subpage
  // Changeable mask and all pages.
  EXPECT_GOOD(drive.In({0x5A, 0, 0x45, 0, 0, 0, 0, 0, 255, 0}, 255));
  EXPECT_EQ(drive.data[10], 0x7F);
  EXPECT_GOOD(drive.In({0x5A, 0, 0x3F, 0, 0, 0, 0, 1, 0, 0}, 256));
  EXPECT_EQ(drive.data[8], 0x05);
  EXPECT_EQ(drive.data[8 + 0x34], 0x2A);
  // MODE SENSE(6) has a 4-byte header.
  EXPECT_GOOD(drive.In({0x1A, 0, 0x2A, 0, 255, 0}, 255));
  EXPECT_EQ(drive.data[4], 0x2A);

  struct Row {
    const char* what;
    MediumKind kind;
    std::uint8_t b2, b3, b4, length;
    bool accepted;
  };
  const Row rows[] = {
      {"CD TAO data", MediumKind::CdR, 0x01, 0x04, 0x08, 0x32, true},
      {"CD TAO, 36h page", MediumKind::CdR, 0x01, 0x04, 0x08, 0x36, true},
      {"CD SAO audio", MediumKind::CdR, 0x02, 0x00, 0x00, 0x32, true},
      {"CD raw 16", MediumKind::CdR, 0x03, 0x00, 0x01, 0x32, true},
      {"CD raw with 2048 blocks", MediumKind::CdR, 0x03, 0x00, 0x08, 0x32, false},
      {"CD data track, audio blocks", MediumKind::CdR, 0x01, 0x04, 0x00, 0x32, false},
      {"CD reserved block type", MediumKind::CdR, 0x01, 0x04, 0x05, 0x32, false},
      {"CD layer jump", MediumKind::CdR, 0x04, 0x04, 0x08, 0x32, false},
      {"reserved multi-session", MediumKind::CdR, 0x01, 0x84, 0x08, 0x32, false},
      {"bad page length", MediumKind::CdR, 0x01, 0x04, 0x08, 0x30, false},
      {"DVD-R incremental", MediumKind::DvdR, 0x60, 0xE5, 0x08, 0x32, true},
      {"DVD-R DAO test", MediumKind::DvdR, 0x12, 0x04, 0x08, 0x32, true},
      {"DVD-R TAO", MediumKind::DvdR, 0x01, 0x04, 0x08, 0x32, false},
      {"DVD-R Mode 2 blocks", MediumKind::DvdR, 0x00, 0x05, 0x0A, 0x32, false},
      {"DVD+R ignores the page", MediumKind::DvdPlusR, 0x01, 0x04, 0x08, 0x32, true},
      {"DVD+RW ignores the page", MediumKind::DvdPlusRw, 0x32, 0x04, 0x08, 0x32, true},
  };
  for (const auto& row : rows) {
    drive.Insert(row.kind);
    auto r = drive.Page05(row.b2, row.b3, row.b4, row.length);
    SCOPED_TRACE(row.what);
    if (row.accepted) {
      EXPECT_GOOD(r);
    } else {
      EXPECT_SENSE(r, 5, 0x26, 0);
    }
  }
  // Header shorter than the list claims, PF missing, page 2Ah in SELECT.
  EXPECT_SENSE(drive.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 4, 0}, Bytes(4)), 5, 0x1A, 0);
  EXPECT_SENSE(drive.Out({0x55, 0x00, 0, 0, 0, 0, 0, 0, 8, 0}, Bytes(8)), 5, 0x24, 0);
  Bytes cap(8 + 32, 0);
  cap[8] = 0x2A;
  cap[9] = 30;
  EXPECT_SENSE(drive.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 40, 0}, cap), 5, 0x26, 0);
}

TEST_F(CommandsTest, MediumChangeRaisesOneUnitAttentionAndOneEvent) {
  std::string why;
  ASSERT_TRUE(drive.recorder.Insert(MediumKind::DvdR, {}, &why)) << why;
  // Polling commands do not consume the unit attention.
  EXPECT_GOOD(drive.In({0x12, 0, 0, 0, 36, 0}, 36));
  EXPECT_GOOD(drive.In({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(drive.data, Hex("00 06 04 10 02 02 00 00"));  // new media, present
  EXPECT_GOOD(drive.In({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(drive.data[4], 0);  // reported once
  EXPECT_SENSE(drive.Tur(), 6, 0x28, 0);
  EXPECT_GOOD(drive.Tur());
  EXPECT_SENSE(drive.In({0x4A, 0x00, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8), 5, 0x24, 0);  // asynchronous
  EXPECT_GOOD(drive.In({0x4A, 0x01, 0, 0, 0x02, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(drive.data[2], 0x80);  // no event of that class
}

TEST_F(CommandsTest, TrayEjectLoadAndPrevent) {
  EXPECT_GOOD(drive.None({0x1E, 0, 0, 0, 1, 0}));
  EXPECT_SENSE(drive.None({0x1B, 0, 0, 0, 0x02, 0}), 5, 0x53, 0x02);
  EXPECT_GOOD(drive.None({0x1E, 0, 0, 0, 0, 0}));
  EXPECT_GOOD(drive.None({0x1B, 0, 0, 0, 0x02, 0}));
  EXPECT_SENSE(drive.Tur(), 2, 0x3A, 0x02);
  EXPECT_SENSE(drive.In({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34), 2, 0x3A, 0x02);
  EXPECT_GOOD(drive.In({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(Slice(drive.data, 4, 2), Hex("03 01"));  // removal, tray open
  EXPECT_GOOD(drive.In({0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8));
  EXPECT_EQ(be::load16(&drive.data[6]), 0u);
  EXPECT_GOOD(drive.None({0x1B, 0, 0, 0, 0x03, 0}));
  EXPECT_SENSE(drive.Tur(), 6, 0x28, 0);
  EXPECT_GOOD(drive.Tur());
  // The medium is still the blank CD-R.
  EXPECT_EQ(drive.DiscInfo()[2], 0x00);
  EXPECT_GOOD(drive.None({0x1B, 0, 0, 0, 0x03, 0}));  // loading a loaded tray: nothing happens
  EXPECT_GOOD(drive.Tur());
}

TEST_F(CommandsTest, NoMediumAnswersForMediumAccessOnly) {
  ASSERT_TRUE(drive.recorder.Eject());
  for (std::uint8_t op : {0x00, 0x25, 0x28, 0x2A, 0x43, 0x51, 0x52, 0x5B, 0xA1}) {
    auto r = drive.Cdb(Bytes{op, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0}, Bytes(64), DataDirection::In);
    SCOPED_TRACE(int{op});
    EXPECT_SENSE(r, 2, 0x3A, 0);
  }
  EXPECT_GOOD(drive.In({0x12, 0, 0, 0, 36, 0}, 36));
  EXPECT_GOOD(drive.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 255, 0}, 255));
  EXPECT_GOOD(drive.In({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12));
}

TEST_F(CommandsTest, RequestSenseReturnsTheLastErrorOnce) {
  EXPECT_SENSE(drive.Read(5, 1), 5, 0x21, 0);
  EXPECT_GOOD(drive.In({0x03, 0, 0, 0, 18, 0}, 18));
  EXPECT_EQ(drive.data[2], 0x05);
  EXPECT_EQ(drive.data[12], 0x21);
  EXPECT_GOOD(drive.In({0x03, 0, 0, 0, 18, 0}, 18));
  EXPECT_EQ(drive.data[2], 0x00);
  EXPECT_EQ(drive.data[12], 0x00);
  EXPECT_SENSE(drive.In({0x03, 1, 0, 0, 18, 0}, 18), 5, 0x24, 0);  // descriptor format
  // A good command clears the saved sense.
  EXPECT_SENSE(drive.Read(5, 1), 5, 0x21, 0);
  EXPECT_GOOD(drive.Tur());
  EXPECT_GOOD(drive.In({0x03, 0, 0, 0, 18, 0}, 18));
  EXPECT_EQ(drive.data[12], 0x00);
}

TEST_F(CommandsTest, BufferFillsWithWritesAndDrainsAtTheWriteSpeed) {
  auto free = [&] {
    EXPECT_GOOD(drive.In({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12));
    EXPECT_EQ(Be32(drive.data, 4), 2097152u);
    return Be32(drive.data, 8);
  };
  EXPECT_EQ(free(), 2097152u);
  EXPECT_GOOD(drive.Write(0, 500));  // 1 024 000 bytes
  EXPECT_EQ(free(), 2097152u - 1024000u);
  // 48x CD: 8467 kB/s of raw sectors, about 7372 bytes of user data per ms.
  drive.clock.Advance(100);
  const std::uint32_t after = free();
  EXPECT_GT(after, 2097152u - 1024000u + 700000u);
  EXPECT_LT(after, 2097152u - 1024000u + 760000u);
  drive.clock.Advance(1000);
  EXPECT_EQ(free(), 2097152u);
  EXPECT_GOOD(drive.In({0x5C, 1, 0, 0, 0, 0, 0, 0, 12, 0}, 12));
  EXPECT_EQ(drive.data[3], 1);
  EXPECT_EQ(Be32(drive.data, 8), 1024u);  // in blocks
}

TEST_F(CommandsTest, OpcAndTimeStamp) {
  EXPECT_GOOD(drive.None({0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes stamp = Hex("00 14 00 00 00 00 00 00");
  for (char ch : std::string("20261208013000")) stamp.push_back(static_cast<std::uint8_t>(ch));
  EXPECT_SENSE(drive.Out({0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, stamp), 5, 0x24, 0);  // CD
  drive.Insert(MediumKind::DvdR);
  EXPECT_GOOD(drive.Out({0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, stamp));
  EXPECT_SENSE(drive.Out({0xBF, 0, 0, 0, 0, 0, 0, 0x04, 0, 22, 0, 0}, stamp), 5, 0x24, 0);
  EXPECT_GOOD(drive.In({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x03, 0}, 8 + 16 * 8));
  EXPECT_EQ(Be32(drive.data, 0), 4u + 16 * 5);
  EXPECT_EQ(Be32(drive.data, 8 + 12), 22160u);
}

TEST(MediumStateTest, SerializationRoundTripsEveryField) {
  MediumState m = MediumState::Fresh(MediumKind::DvdR);
  WriteParams wp;
  wp.writeType = 0;
  wp.multiSession = 3;
  int index = -1;
  ASSERT_TRUE(m.CheckWrite(0, 100, wp, &index).Ok());
  m.CommitWrite(index, 0, 100, wp);
  ASSERT_TRUE(m.CloseSession(wp).Ok());
  ASSERT_TRUE(m.Reserve(64).Ok());
  m.timeStamp = "20261208";
  m.tracks[0].damaged = true;
  std::string why;
  auto back = MediumState::Parse(m.Serialize(), &why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(back->Serialize(), m.Serialize());
  EXPECT_EQ(back->tracks.size(), 3u);
  EXPECT_FALSE(MediumState::Parse("kind dvd-q\n", &why));
  EXPECT_FALSE(MediumState::Parse("kind dvd-r\ntrack 4 0 0 0 complete 0 4 1 0\n", &why));
}

}  // namespace
}  // namespace velloran::vrec::test
