// Disc and track information for every medium the recorder can hold: kind,
// the TDisc record, next writable address, free blocks and capacity, checked
// against what the recorder holds.
#include "drive/byte_order.h"
#include "drive/mmc_reply.h"
#include "mmc_harness.h"

#include <fstream>
#include <functional>
#include <optional>

namespace velloran::drive::testing {
namespace {

using vrec::MediumKind;

constexpr std::uint32_t kCd80 = 359849;    // ATIP lead-out 79:59:74
constexpr std::uint32_t kDvdR = 2297888;   // DVD-R/-RW incremental
constexpr std::uint32_t kDvdPlus = 2295104;
constexpr std::uint32_t kDvdPlusDl = 4173824;
constexpr std::uint32_t kDvdRam = 2236704;

// A primary volume descriptor announcing `blocks` blocks.
std::vector<std::uint8_t> Pvd(std::uint32_t blocks) {
  std::vector<std::uint8_t> b(2048, 0);
  b[0] = 1;
  std::memcpy(&b[1], "CD001", 5);
  b[6] = 1;
  both::store32(&b[80], blocks);
  return b;
}

// Writes `blocks` blocks from lba in commands of up to 32 blocks.
void Record(TSCSIDevice& d, std::uint32_t lba, std::uint32_t blocks) {
  std::vector<std::uint8_t> data(32 * 2048, 0xA5);
  while (blocks) {
    const std::uint16_t n = static_cast<std::uint16_t>(std::min<std::uint32_t>(blocks, 32));
    ASSERT_TRUE(d.Write10(lba, n, 0x50, n * 2048u, data.data())) << d.LastError;
    lba += n;
    blocks -= n;
  }
}

// One track-at-once session of 1000 blocks on a CD; closed (appendable or
// finalized) or left open.
void CdSession(TSCSIDevice& d, std::uint8_t kind, bool closeSession, bool finalize) {
  d.FinalizeDisc = finalize;
  ASSERT_TRUE(d.SetWriteParameters(false, true, kind, true)) << d.LastError;
  Record(d, 0, 1000);
  ASSERT_TRUE(d.SynchronizeCache(60000, false)) << d.LastError;  // closes the track in TAO
  if (closeSession) {
    ASSERT_TRUE(d.CloseTrackSession(false, false, false)) << d.LastError;
  }
  d.FinalizeDisc = false;
}

std::filesystem::path PressedImage(const std::filesystem::path& dir, std::uint32_t blocks) {
  auto path = dir / "pressed.iso";
  std::vector<std::uint8_t> image(std::size_t{blocks} * 2048, 0);
  auto pvd = Pvd(blocks);
  std::copy(pvd.begin(), pvd.end(), image.begin() + 16 * 2048);
  image[17 * 2048] = 0xFF;
  std::memcpy(&image[17 * 2048 + 1], "CD001", 5);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
  return path;
}

struct MediumCase {
  const char* name;
  MediumKind medium;
  bool formatted;
  std::uint32_t pressedBlocks;  // ROM media: image size
  std::function<void(TSCSIDevice&)> prepare;
  std::uint8_t kind;
  std::uint16_t profile;
  const char* mediumName;
  bool erasable;
  int discStatus;
  int lastSessionState;
  int sessions;
  std::optional<std::uint32_t> nwa;
  std::uint32_t free;
  std::optional<std::uint32_t> capacity;
};

void PrintTo(const MediumCase& c, std::ostream* os) { *os << c.name; }

const MediumCase kCases[] = {
    {"BlankCdR", MediumKind::CdR, false, 0, nullptr, 2, 0x09, "CD-R", false, 0, 0, 0, 0, kCd80, kCd80},
    {"CdROpenSession", MediumKind::CdR, false, 0,
     [](TSCSIDevice& d) { CdSession(d, mmc::kKindCdR, false, false); }, 2, 0x09, "CD-R", false, 1, 1, 1,
     1000 + 2 + 150, kCd80 - 1152, kCd80},
    // A finalized CD has no writable address; the drive class reports the
    // last readable block (lead-out - 1), and no free blocks.
    {"FinalizedCdR", MediumKind::CdR, false, 0,
     [](TSCSIDevice& d) { CdSession(d, mmc::kKindCdR, true, true); }, 2, 0x09, "CD-R", false, 2, 3, 1, 1001, 0,
     kCd80},
    {"BlankCdRw", MediumKind::CdRw, false, 0, nullptr, 3, 0x0A, "CD-RW", true, 0, 0, 0, 0, kCd80, kCd80},
    {"UsedCdRw", MediumKind::CdRw, false, 0,
     [](TSCSIDevice& d) { CdSession(d, mmc::kKindCdRw, true, false); }, 3, 0x0A, "CD-RW", true, 1, 0, 1,
     1002 + 11400, kCd80 - 12402, kCd80},
    {"BlankDvdR", MediumKind::DvdR, false, 0, nullptr, 5, 0x11, "DVD-R", false, 0, 0, 0, 0, kDvdR, kDvdR},
    {"DvdRwSequential", MediumKind::DvdRwSequential, false, 0, nullptr, 9, 0x14, "DVD-RW Sequential Recording",
     true, 0, 0, 0, 0, kDvdR, kDvdR},
    // Formatted and empty: the whole formatted area is free from address 0.
    {"DvdRwRestricted", MediumKind::DvdRwRestricted, false, 0, nullptr, 8, 0x13, "DVD-RW Restricted Overwrite", true,
     2, 3, 1, 0, kDvdR, kDvdR},
    {"BlankDvdPlusR", MediumKind::DvdPlusR, false, 0, nullptr, 11, 0x1B, "DVD+RW", false, 0, 0, 0, 0, kDvdPlus,
     kDvdPlus},
    {"BlankDvdPlusRDl", MediumKind::DvdPlusRDl, false, 0, nullptr, 12, 0x2B, "???????", false, 0, 0, 0, 0,
     kDvdPlusDl, kDvdPlusDl},
    // An overwritable disc holding a 500-block file system: the next session
    // goes after the volume, the rest is free.
    {"DvdPlusRwWithVolume", MediumKind::DvdPlusRw, true, 0,
     [](TSCSIDevice& d) {
       auto pvd = Pvd(500);
       ASSERT_TRUE(d.Write10(16, 1, 0x50, 2048, pvd.data())) << d.LastError;
     },
     10, 0x1A, "DVD+RW", true, 2, 3, 1, 500, kDvdPlus - 500, kDvdPlus},
    {"DvdRam", MediumKind::DvdRam, false, 0, nullptr, 6, 0x12, "DVD-RAM", true, 3, 3, 1, 0, kDvdRam, kDvdRam},
    {"PressedCdRom", MediumKind::CdRom, false, 300, nullptr, 1, 0x08, "CD-ROM", false, 2, 3, 1, 299, 0,
     std::nullopt},
    {"PressedDvdRom", MediumKind::DvdRom, false, 300, nullptr, 4, 0x10, "DVD-ROM", false, 2, 3, 1, std::nullopt, 0,
     std::nullopt},
};

class DiscTest : public RecorderTest, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(DiscTest, KindRecordAddressesAndSizes) {
  const MediumCase& c = GetParam();
  vrec::InsertOptions options;
  options.formatted = c.formatted;
  if (c.pressedBlocks) options.image = PressedImage(dir_, c.pressedBlocks);
  Insert(c.medium, options);
  if (c.prepare) {
    c.prepare(dev());
    ASSERT_FALSE(HasFatalFailure());
  }
  const auto status = Status();

  EXPECT_EQ(dev().GetDiscKind(), c.kind);
  TDisc disc;
  ASSERT_TRUE(dev().GetDiscInfo(disc)) << dev().LastError;
  EXPECT_EQ(disc.ready, 1);
  EXPECT_EQ(disc.profile, c.profile);
  EXPECT_EQ(disc.mediumName, c.mediumName);
  EXPECT_EQ(disc.erasable, c.erasable ? 1 : 0);
  EXPECT_EQ(disc.discStatus, c.discStatus);
  EXPECT_EQ(disc.lastSessionState, c.lastSessionState);
  EXPECT_EQ(disc.blockSize, 2048u);
  if (c.capacity) {
    EXPECT_EQ(disc.capacity, *c.capacity);
  }
  EXPECT_EQ(dev().IsErasable(), c.erasable);
  EXPECT_EQ(dev().GetDiscStatus(), c.discStatus);
  EXPECT_EQ(dev().GetSessionCount(), c.sessions);

  const std::uint32_t nwa = dev().NextWritableAddress();
  if (c.nwa) {
    EXPECT_EQ(nwa, *c.nwa);
  }
  if (c.nwa && status.nextWritable && c.kind != mmc::kKindDvdPlusRw) {
    EXPECT_EQ(nwa, *status.nextWritable);
  }
  const std::uint32_t free = dev().FreeBlocks();
  EXPECT_EQ(free, c.free);
  if (c.capacity) {
    EXPECT_EQ(dev().DiscCapacity(), *c.capacity);
  }
  if (status.discStatus == "blank" || status.discStatus == "incomplete") {
    EXPECT_EQ(free, status.freeBlocks);
  }
}

INSTANTIATE_TEST_SUITE_P(Media, DiscTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecorderTest, NoMediumLeavesTheRecordUnchanged) {
  std::string why;
  ASSERT_TRUE(recorder_->Eject(&why)) << why;
  Select();
  EXPECT_EQ(dev().GetDiscKind(), 0);
  TDisc disc;
  disc.capacity = 4242;
  disc.mediumName = "before";
  EXPECT_FALSE(dev().GetDiscInfo(disc));
  EXPECT_EQ(disc.capacity, 4242u);
  EXPECT_EQ(disc.mediumName, "before");
  EXPECT_EQ(dev().Disc.ready, 0);
  EXPECT_EQ(dev().LastSense[12], 0x3A);
  EXPECT_EQ(dev().GetDiscStatus(), -1);
  EXPECT_EQ(dev().GetSessionCount(), 0);
  EXPECT_FALSE(dev().IsErasable());
  EXPECT_EQ(dev().LastDiscKind, 0);
  EXPECT_EQ(dev().NextWritableAddress(), 0u);
  EXPECT_EQ(dev().FreeBlocks(), 0u);
  EXPECT_EQ(dev().DiscCapacity(), 0u);
  // The wait between the two readiness tests stays within its budget.
  std::uint32_t waited = 0;
  for (auto ms : dev().slept) waited += ms;
  EXPECT_LE(waited, 3000u);
}

TEST_F(RecorderTest, IsErasableFallsBackToTheProfileAndRemembersTheKind) {
  Insert(MediumKind::DvdRam);
  // Disc information unreadable for a while: the profile decides.
  std::string why;
  ASSERT_TRUE(recorder_->SetNotReady(1, &why)) << why;
  EXPECT_TRUE(dev().IsErasable());
  EXPECT_EQ(dev().LastDiscKind, mmc::kKindDvdRam);
}

TEST_F(RecorderTest, AppendedCdSessionMovesTheWritableAddress) {
  Insert(MediumKind::CdR);
  CdSession(dev(), mmc::kKindCdR, true, false);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(dev().NextWritableAddress(), 12402u);
  // Second session: 500 blocks at 12402, closed: later sessions cost 6900.
  ASSERT_TRUE(dev().SetWriteParameters(false, true, mmc::kKindCdR, true));
  Record(dev(), 12402, 500);
  ASSERT_TRUE(dev().SynchronizeCache(60000, false));
  ASSERT_TRUE(dev().CloseTrackSession(false, false, false)) << dev().LastError;
  EXPECT_EQ(dev().GetSessionCount(), 2);
  EXPECT_EQ(dev().NextWritableAddress(), 12402u + 502 + 6900);
  EXPECT_EQ(dev().NextWritableAddress(), *Status().nextWritable);
  TDisc disc;
  ASSERT_TRUE(dev().GetDiscInfo(disc));
  EXPECT_EQ(disc.firstSession, 1);
  EXPECT_EQ(disc.lastSession, 2);
}

}  // namespace
}  // namespace velloran::drive::testing
