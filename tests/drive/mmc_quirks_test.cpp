// Model quirks chosen by INQUIRY, waiting for a busy drive, and drives that
// lack a command. The recorder's replies are changed at the transport where
// a test needs another drive's firmware.
#include "drive/mmc_reply.h"
#include "mmc_harness.h"

#include <cstring>

namespace velloran::drive::testing {
namespace {

using vrec::MediumKind;

class QuirkTest : public RecorderTest {
 protected:
  // Makes the drive identify as vendor/product (space-padded as INQUIRY is).
  void Identify(const std::string& vendor, const std::string& product) {
    transport_.tamper = [vendor, product](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
      if (cdb[0] != 0x12 || data.size() < 36) return;
      std::memset(&data[8], ' ', 24);
      std::memcpy(&data[8], vendor.data(), std::min<std::size_t>(vendor.size(), 8));
      std::memcpy(&data[16], product.data(), std::min<std::size_t>(product.size(), 16));
    };
  }
};

TEST_F(QuirkTest, ModelQuirksFromInquiry) {
  struct Row {
    const char* vendor;
    const char* product;
    bool slowReady, linkSizeValid, underrunByModel;
  };
  const Row rows[] = {
      {"PLEXTOR", "CD-W512EB", false, false, true},
      {"YAMAHA", "CRX175E", false, true, false},
      {"SONY", "CD-RW  CRX800E", false, true, false},
      {"MATSHITA", "UJDA755 DVD/CDRW", true, false, false},
      {"TDK", "CDRW121032", true, false, false},
      {"PIONEER", "DVD-RW  DVR-104", true, false, false},
      {"PIONEER", "DVD-RW  DVR-105", false, false, false},
      {"AB", "TDKX", false, false, false},  // short vendor: counts as blanks
      {"HL-DT-ST", "DVDRAM GH24NSD1", false, false, false},
  };
  std::string why;
  ASSERT_TRUE(recorder_->Insert(MediumKind::CdR, {}, &why)) << why;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.product);
    Identify(row.vendor, row.product);
    // Firmware without the BUF bit in page 2Ah.
    auto inquiryTamper = transport_.tamper;
    transport_.tamper = [inquiryTamper](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
      inquiryTamper(cdb, data);
      if (cdb[0] != 0x5A) return;
      if (std::size_t off = mmc::ModePageOffset(data, 0x2A); off && data.size() > off + 4) data[off + 4] &= 0x7F;
    };
    dev().SetDevice(dev().Devices.front());
    ASSERT_FALSE(dev().DeviceId.empty());
    EXPECT_EQ(dev().SlowReady(), row.slowReady);
    EXPECT_EQ(dev().LinkSizeValid(), row.linkSizeValid);
    EXPECT_EQ((dev().Capabilities & mmc::cap::UnderrunProtection) != 0, row.underrunByModel);
    // The quirk follows the drive into every later capability read.
    ASSERT_TRUE(dev().ReadCapabilities());
    EXPECT_EQ((dev().Capabilities & mmc::cap::UnderrunProtection) != 0, row.underrunByModel);

    transport_.log.clear();
    ASSERT_TRUE(dev().SetWriteParameters(false, false, mmc::kKindCdR, true)) << dev().LastError;
    auto select = Sent(0x55);
    ASSERT_EQ(select.size(), 1u);
    EXPECT_EQ((select[0].dataOut[8 + 2] & 0x20) != 0, row.linkSizeValid);
  }
}

TEST_F(QuirkTest, DescriptionReplacesControlCharacters) {
  std::string why;
  ASSERT_TRUE(recorder_->Insert(MediumKind::CdR, {}, &why)) << why;
  transport_.tamper = [](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
    if (cdb[0] != 0x12 || data.size() < 36) return;
    std::memcpy(&data[8], "ACME\0\0\0\0" "WRITER\t\0\0\0\0\0\0\0\0\0" "1.0\n", 28);
  };
  dev().SetDevice(dev().Devices.front());
  EXPECT_EQ(dev().DeviceDescription(), "ACME     WRITER           1.0 ");
}

TEST_F(QuirkTest, WaitUntilReadyOnASlowReadyDriveStartsWithLongSteps) {
  Identify("TDK", "CDRW121032");
  Insert(MediumKind::CdRw);
  ASSERT_TRUE(dev().SlowReady());
  std::string why;
  ASSERT_TRUE(recorder_->SetNotReady(3, &why)) << why;
  dev().slept.clear();
  EXPECT_TRUE(dev().WaitUntilReady(60000, 500));
  ASSERT_GE(dev().slept.size(), 3u);
  EXPECT_EQ(dev().slept[0], 1500u);
  EXPECT_EQ(dev().slept[1], 1500u);
  EXPECT_TRUE(dev().TestUnitReady(5000));
}

TEST_F(QuirkTest, WaitUntilReadyGivesUpWhenTheBudgetRunsOut) {
  Insert(MediumKind::CdR);
  std::string why;
  ASSERT_TRUE(recorder_->SetNotReady(1000, &why)) << why;
  dev().slept.clear();
  EXPECT_FALSE(dev().WaitUntilReady(5000, 1000));
  std::uint32_t waited = 0;
  for (auto ms : dev().slept) waited += ms;
  EXPECT_LE(waited, 5000u);
  EXPECT_GE(waited, 4000u);
}

TEST_F(QuirkTest, WaitUntilReadyOnDvdRamAsksRequestSenseOnly) {
  Insert(MediumKind::DvdRam);
  dev().LastDiscKind = mmc::kKindDvdRam;
  EXPECT_TRUE(dev().WaitUntilReady(10000, 1000));
  EXPECT_TRUE(Sent(0x51).empty());
  EXPECT_FALSE(Sent(0x03).empty());
  ASSERT_FALSE(Sent(0x03).empty());
  EXPECT_EQ(Sent(0x03)[0].cdb[4], 40);
}

TEST_F(QuirkTest, WithoutGetConfigurationTheAtipTellsCdRwFromCdR) {
  transport_.unsupported = {0x46};
  Insert(MediumKind::CdRw);
  EXPECT_EQ(dev().GetDiscKind(), mmc::kKindCdRw);
  Insert(MediumKind::CdR);
  EXPECT_EQ(dev().GetDiscKind(), mmc::kKindCdR);
  // Without the ATIP too, the disc information's erasable bit decides.
  transport_.unsupported = {0x46, 0x43};
  Insert(MediumKind::CdRw);
  EXPECT_EQ(dev().GetDiscKind(), mmc::kKindCdRw);
}

TEST_F(QuirkTest, ReadTocRefusesLengthsAboveOneByte) {
  Insert(MediumKind::CdR);
  std::vector<std::uint8_t> buf(512);
  EXPECT_FALSE(dev().ReadTOC(0, buf.data(), 0, false, 0, 256));
  EXPECT_TRUE(Sent(0x43).empty());
}

}  // namespace
}  // namespace velloran::drive::testing
