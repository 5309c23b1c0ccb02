// Reply decoders and parameter-data builders.
#include "drive/mmc_reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace velloran::drive::mmc {
namespace {

std::vector<std::uint8_t> Hex(std::initializer_list<unsigned> bytes) {
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

TEST(ModePageOffset, FollowsTheBlockDescriptorLengthAndMasksPs) {
  std::vector<std::uint8_t> r(64, 0);
  r[7] = 8;  // one block descriptor
  r[16] = 0x2A;
  r[17] = 0x1E;
  EXPECT_EQ(ModePageOffset(r, 0x2A), 16u);

  std::fill(r.begin(), r.end(), 0);
  r[8] = 0x85;  // PS set: the page is savable
  r[9] = 0x32;
  EXPECT_EQ(ModePageOffset(r, 0x05), 8u);
  // Page at 8 whose maximum read speed happens to start with 2Ah (10752 kB/s
  // and up): byte 16 equals the page code but is not the page.
  std::fill(r.begin(), r.end(), 0);
  r[8] = 0x2A;
  r[9] = 0x1E;
  r[16] = 0x2A;
  EXPECT_EQ(ModePageOffset(r, 0x2A), 8u);
  // Drives that shift the page one byte down: the page code sits in the
  // header's last byte, so that header no longer says where the page is.
  std::fill(r.begin(), r.end(), 0);
  r[7] = 0x2A;
  r[8] = 0x1E;
  EXPECT_EQ(ModePageOffset(r, 0x2A), 7u);
  std::fill(r.begin(), r.end(), 0);
  EXPECT_EQ(ModePageOffset(r, 0x2A), 0u);
}

TEST(Capabilities, PageBitsMapOneDvdMinusBitToReadAndWriteOfBothKinds) {
  std::vector<std::uint8_t> page(32, 0);
  page[2] = 0x3F;
  page[3] = 0x37;
  page[4] = 0x80;
  const std::uint32_t c = CapabilitiesFromPage(page);
  EXPECT_EQ(c, cap::ReadCDR | cap::ReadCDRW | cap::ReadMethod2 | cap::ReadDVD | cap::ReadDVDR | cap::ReadDVDRW |
                   cap::ReadDVDRAM | cap::WriteCDR | cap::WriteCDRW | cap::WriteTest | cap::WriteDVDR |
                   cap::WriteDVDRW | cap::WriteDVDRAM | cap::UnderrunProtection);
  page[2] = 0x01;
  page[3] = 0x00;
  page[4] = 0x00;
  EXPECT_EQ(CapabilitiesFromPage(page), cap::ReadCDR);
}

TEST(Capabilities, FeatureReplyAddsWriteBitsOnlyForFirstDataByteOne) {
  struct Row {
    std::uint16_t feature;
    std::uint8_t code;
    std::uint8_t data0;
    std::uint32_t expected;
  };
  const Row rows[] = {
      {0x2A, 0x2A, 1, cap::ReadDVDPR | cap::ReadDVDPRW | cap::WriteDVDPR | cap::WriteDVDPRW},
      {0x2A, 0x2A, 3, cap::ReadDVDPR | cap::ReadDVDPRW},  // Write + Quick Start: read bits only
      {0x2A, 0x2A, 0, cap::ReadDVDPR | cap::ReadDVDPRW},
      {0x3B, 0x3B, 1, cap::ReadDVDPRDL | cap::WriteDVDPRDL},
      {0x2F, 0x2F, 1, cap::ReadDVDR | cap::ReadDVDRW | cap::WriteDVDR | cap::WriteDVDRW},
      {0x2F, 0x2F, 0x44, cap::ReadDVDR | cap::ReadDVDRW},
      {0x2A, 0x00, 1, 0},  // drive answered with the header only
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.feature * 1000 + row.data0);
    std::vector<std::uint8_t> reply(114, 0);
    reply[3] = 12;
    reply[9] = row.code;
    reply[11] = 4;
    reply[12] = row.data0;
    EXPECT_EQ(CapabilitiesFromFeature(row.feature, reply), row.expected);
  }
}

TEST(Capabilities, WordsAreBigEndianOnTheWire) {
  std::vector<std::uint8_t> page(32, 0);
  page[8] = 0x1B;  // 7056
  page[9] = 0x90;
  page[12] = 0x08;  // 2048 KiB
  page[18] = 0x10;  // 4234
  page[19] = 0x8A;
  page[20] = 0x05;
  page[21] = 0x83;
  CapabilityWords w = DecodeCapabilityWords(page);
  EXPECT_EQ(w.maxReadSpeed, 7056);
  EXPECT_EQ(w.bufferSizeKiB, 2048);
  EXPECT_EQ(w.maxWriteSpeed, 4234);
  EXPECT_EQ(w.currentWriteSpeed, 1411);
  // A page cut short reads as zeros, not past its end.
  EXPECT_EQ(DecodeCapabilityWords(std::span(page.data(), 10)).maxWriteSpeed, 0);
}

TEST(Profiles, KindsAndNames) {
  struct Row {
    std::uint16_t profile;
    std::uint8_t kind;
    const char* name;
    bool erasable;
  };
  const Row rows[] = {
      {0x08, 1, "CD-ROM", false},  {0x09, 2, "CD-R", false},   {0x0A, 3, "CD-RW", true},
      {0x10, 4, "DVD-ROM", false}, {0x11, 5, "DVD-R", false},  {0x12, 6, "DVD-RAM", false},
      {0x13, 8, "DVD-RW Restricted Overwrite", true},          {0x14, 9, "DVD-RW Sequential Recording", true},
      {0x1A, 10, "DVD+RW", true},  {0x1B, 11, "DVD+RW", false}, {0x2B, 12, "???????", false},
      {0x20, 13, "DDCD-ROM", false}, {0x22, 15, "DDCD-RW", true}, {0x03, 0, "MO Eraseable", true},
      {0x00, 0, "???????", false}, {0x40, 0, "???????", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    EXPECT_EQ(DiscKindFromProfile(row.profile), row.kind);
    EXPECT_STREQ(MediumNameForProfile(row.profile).name, row.name);
    EXPECT_EQ(MediumNameForProfile(row.profile).erasable, row.erasable);
  }
  EXPECT_EQ(DiscKindNames()[7], "DVD-RW");
  EXPECT_EQ(DiscKindNames()[12], "DVD+R DL");
  EXPECT_EQ(DiscKindNames()[15], "DDCD-RW");
}

TEST(FormatCapacities, ChoosesTheDescriptorByTypeAndBlockLength) {
  auto reply = [](std::uint32_t t0, std::uint32_t t1, std::uint32_t t2, std::uint8_t listLength = 24) {
    std::vector<std::uint8_t> r(248, 0);
    r[3] = listLength;
    const std::uint32_t counts[] = {1000, 2000, 3000};
    const std::uint32_t types[] = {t0, t1, t2};
    for (int i = 0; i < 3; ++i) {
      std::uint8_t* d = &r[4 + 8 * i];
      d[0] = counts[i] >> 24, d[1] = counts[i] >> 16, d[2] = counts[i] >> 8, d[3] = counts[i];
      d[4] = types[i] >> 24, d[5] = types[i] >> 16, d[6] = types[i] >> 8, d[7] = types[i];
    }
    return r;
  };
  EXPECT_EQ(DecodeFormatCapacities(reply(0x02000800, 0x00000800, 0x00000800)).blocks, 1000u);
  EXPECT_EQ(DecodeFormatCapacities(reply(0x00000800, 0x00000800, 0)).blocks, 2000u);
  EXPECT_EQ(DecodeFormatCapacities(reply(0x00000800, 0x98000000, 0)).blocks, 2000u);
  EXPECT_EQ(DecodeFormatCapacities(reply(0x00000800, 0x40000010, 0x00000800)).blocks, 3000u);
  EXPECT_EQ(DecodeFormatCapacities(reply(0x00000800, 0x40000010, 0x54000010)).blocks, 1000u);
  // The third descriptor lies beyond the list the drive announced.
  EXPECT_EQ(DecodeFormatCapacities(reply(0x00000800, 0x40000010, 0x00000800, 16)).blocks, 1000u);
  EXPECT_EQ(DecodeFormatCapacities(reply(0x02000800, 0, 0)).blockSize, 2048u);
}

TEST(BufferCapacity, AllOnesFreeMeansTheWholeBuffer) {
  auto r = Hex({0, 0x0A, 0, 0, 0x00, 0x20, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(DecodeBufferCapacity(r).size, 2097152u);
  EXPECT_EQ(DecodeBufferCapacity(r).free, 2097152u);
  r[8] = 0;
  r[9] = 0x10;
  EXPECT_EQ(DecodeBufferCapacity(r).free, 0x0010FFFFu);
}

TEST(TrackInformation, DecodesTheAppendableCdExample) {
  // Track 2 of an 80-minute CD-R after one closed session.
  auto r = Hex({0x00, 0x2E, 0x02, 0x02, 0x00, 0x04, 0x41, 0x01, 0x00, 0x00, 0x30, 0x72, 0x00, 0x00,
                0x30, 0x72, 0x00, 0x05, 0x4D, 0x37, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x4D, 0x37,
                0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0});
  TTrackInfo t = DecodeTrackInformation(r);
  EXPECT_EQ(t.trackNumber, 2);
  EXPECT_EQ(t.sessionNumber, 2);
  EXPECT_EQ(t.trackMode, 4);
  EXPECT_TRUE(t.blank);
  EXPECT_FALSE(t.reserved);
  EXPECT_EQ(t.dataMode, 1);
  EXPECT_TRUE(t.nwaValid);
  EXPECT_EQ(t.trackStart, 12402u);
  EXPECT_EQ(t.nextWritableAddress, 12402u);
  EXPECT_EQ(t.freeBlocks, 347447u);
  EXPECT_EQ(t.trackSize, 347447u);
  // A reply that claims fewer bytes than it carries is read only that far.
  r[1] = 10;
  EXPECT_EQ(DecodeTrackInformation(r).trackStart, 0x3072u);
  EXPECT_EQ(DecodeTrackInformation(r).nextWritableAddress, 0u);
}

TEST(DiscInformation, DecodesStatusSessionsAndTracks) {
  auto r = Hex({0x00, 0x20, 0x01, 0x01, 0x02, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0,
                0x00, 0x01, 0x2D, 0x1B, 0x00, 0x4F, 0x3B, 0x4A});
  TDiscInformation d = DecodeDiscInformation(r);
  EXPECT_EQ(d.discStatus, 1);
  EXPECT_EQ(d.lastSessionState, 0);
  EXPECT_FALSE(d.erasable);
  EXPECT_EQ(d.sessions, 2);
  EXPECT_EQ(d.lastTrackLastSession, 2);
  r[2] = 0x1E;  // formatted DVD+RW: erasable, complete session, complete disc
  r[9] = 0x01;  // sessions MSB
  d = DecodeDiscInformation(r);
  EXPECT_TRUE(d.erasable);
  EXPECT_EQ(d.lastSessionState, 3);
  EXPECT_EQ(d.discStatus, 2);
  EXPECT_EQ(d.sessions, 0x0102);
}

TEST(Atip, LeadOutBlocksAreTheBlockAddressOfTheMsf) {
  std::vector<std::uint8_t> atip(28, 0);
  atip[12] = 79, atip[13] = 59, atip[14] = 74;  // 80-minute disc
  EXPECT_EQ(AtipLeadOutBlocks(atip), 359849u);
  atip[12] = 74, atip[13] = 43, atip[14] = 0;  // 74-minute disc
  EXPECT_EQ(AtipLeadOutBlocks(atip), 336075u);
  EXPECT_EQ(AtipLeadOutBlocks(std::span(atip.data(), 14)), 0u);
}

struct PageCase {
  const char* name;
  std::uint8_t kind;
  bool testWrite, underrun, multiSession, finalize, linkSize;
  std::uint8_t b2, b3, b5;
  std::uint32_t packet;
};

TEST(WriteParametersPage, PerMediumKind) {
  const PageCase cases[] = {
      {"CD-R appendable", 2, false, true, true, false, false, 0x41, 0xC4, 0, 0},
      {"CD-R finalized", 2, false, true, true, true, false, 0x41, 0x04, 0, 0},
      {"CD-R test write", 2, true, false, true, false, false, 0x11, 0x04, 0, 0},
      {"CD-RW link size quirk", 3, false, false, true, false, true, 0x21, 0xC4, 0, 0},
      {"DVD-R", 5, false, true, true, false, false, 0x60, 0xE5, 16, 16},
      {"DVD-R no BUFE", 5, false, false, true, false, false, 0x20, 0xE5, 16, 16},
      {"DVD-RW restricted", 8, false, true, true, false, false, 0x60, 0xC5, 16, 0},
      {"DVD-RW sequential", 9, false, false, true, true, false, 0x20, 0xC5, 16, 0},
      {"DVD+RW", 10, false, true, true, false, false, 0x62, 0x04, 16, 0},
      {"DVD+R", 11, false, true, true, false, false, 0x62, 0xC4, 0, 16},
      {"DVD+R DL multi", 12, false, true, true, false, false, 0x62, 0xC4, 0, 0},
      {"DVD+R DL closed", 12, false, true, false, false, false, 0x62, 0x04, 0, 0},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> page(kWritePageLength, 0);
    // As drives report it by default: TAO, link size 7, packet 16, vendor bytes.
    page[0] = 0x05, page[1] = 0x32, page[2] = 0x01, page[3] = 0x04, page[4] = 8, page[5] = 7;
    page[6] = 0xAA, page[7] = 0x3F, page[8] = 0x20, page[9] = 0x55, page[13] = 16;
    WriteParameters p;
    p.discKind = c.kind;
    p.testWrite = c.testWrite;
    p.underrun = c.underrun;
    p.multiSession = c.multiSession;
    p.finalizeDisc = c.finalize;
    p.linkSizeValid = c.linkSize;
    p.capabilities = cap::UnderrunProtection | cap::WriteTest;
    p.capabilityByte4 = 0x80;
    BuildWriteParametersPage(page, p);
    EXPECT_EQ(page[1], 0x32);
    EXPECT_EQ(page[2], c.b2);
    EXPECT_EQ(page[3], c.b3);
    EXPECT_EQ(page[4], 8);
    EXPECT_EQ(page[5], c.b5);
    EXPECT_EQ(page[6], 0);
    EXPECT_EQ(page[7], 0);
    EXPECT_EQ(page[8], 0);
    EXPECT_EQ(page[9], 0);
    EXPECT_EQ((page[10] << 24) | (page[11] << 16) | (page[12] << 8) | page[13], c.packet);
    EXPECT_EQ(page[14], 0);
    EXPECT_EQ(page[15], 150);
  }
}

TEST(WriteParametersPage, TestWriteAndBufeNeedTheDriveToSupportThem) {
  std::vector<std::uint8_t> page(kWritePageLength, 0);
  WriteParameters p;
  p.discKind = 2;
  p.testWrite = true;
  p.underrun = true;
  BuildWriteParametersPage(page, p);
  EXPECT_EQ(page[2], 0x01);
}

TEST(WriteModeProbePage, SetsTheWriteTypeAndBlockType) {
  for (std::uint8_t type : {0, 1, 2}) {
    std::vector<std::uint8_t> page(kWritePageLength, 0x77);
    BuildWriteModeProbePage(page, type);
    const std::uint8_t expectedType[] = {3, 2, 1};
    EXPECT_EQ(page[2], expectedType[type]);
    EXPECT_EQ(page[3], 0);
    EXPECT_EQ(page[4], type == 0 ? 1 : 0);
    EXPECT_EQ(page[8], 0);
    EXPECT_EQ(page[9], 0);
    EXPECT_EQ(page[15], 150);
  }
}

TEST(ModeSelectList, HeaderIsZeroAndPageKeepsItsLength) {
  std::vector<std::uint8_t> page(kWritePageLength, 0x11);
  page[0] = 0x85;
  page[1] = 0x32;
  std::size_t n = 0;
  auto list = ModeSelectList(page, n);
  EXPECT_EQ(n, 60u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(list[i], 0);
  EXPECT_EQ(list[8], 0x05);  // PS cleared
  EXPECT_EQ(list[9], 0x32);
  EXPECT_EQ(list[59], 0x11);
  EXPECT_EQ(list[60], 0);
  // A page length beyond the bytes given is clamped to them.
  page[1] = 0xFF;
  ModeSelectList(page, n);
  EXPECT_EQ(n, 8 + kWritePageLength);
}

TEST(PerformanceDescriptor, FieldOrderIsReadSizeReadTimeWriteSizeWriteTime) {
  auto d = PerformanceDescriptor(0, 0x00112233, 2881, 5762, 1000, 1000);
  const std::uint8_t expected[28] = {0, 0, 0, 0,  0, 0, 0, 0,  0x00, 0x11, 0x22, 0x33, 0, 0, 0x0B, 0x41,
                                     0, 0, 0x03, 0xE8, 0, 0, 0x16, 0x82, 0, 0, 0x03, 0xE8};
  EXPECT_TRUE(std::equal(d.begin(), d.end(), expected));
}

TEST(TimeStamp, DataLengthThenDigits) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 3;
  t.tm_min = 4;
  t.tm_sec = 59;
  auto s = TimeStampStructure(t);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], 20);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(s[i], 0);
  EXPECT_EQ(std::string(s.begin() + 8, s.end()), "20261208030459");
}

}  // namespace
}  // namespace velloran::drive::mmc
