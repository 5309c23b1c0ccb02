#include "vrec/media.h"

#include <array>

namespace velloran::vrec {
namespace {

// Speeds a typical current writer advertises for each medium, in kB/s.
constexpr std::array<std::uint16_t, 7> kCdRSpeeds{8467, 7056, 5645, 4234, 2822, 1411, 706};
constexpr std::array<std::uint16_t, 4> kCdRwSpeeds{4234, 2822, 1411, 706};
constexpr std::array<std::uint16_t, 5> kDvdRSpeeds{22160, 11080, 8310, 5540, 2770};
constexpr std::array<std::uint16_t, 3> kDvdRwSpeeds{8310, 5540, 2770};
constexpr std::array<std::uint16_t, 3> kDvdPlusRwSpeeds{11080, 5540, 3324};
constexpr std::array<std::uint16_t, 4> kDvdPlusRDlSpeeds{11080, 8310, 5540, 3324};
constexpr std::array<std::uint16_t, 3> kDvdRamSpeeds{6925, 4155, 2770};

// Capacities in 2048-byte blocks. CD: ATIP lead-out 79:59:74 of 80-minute
// media. DVD-R/-RW: the invisible Rzone of a blank disc holds 2 297 888
// blocks while the legacy lead-out is reported at 2 298 496.
constexpr std::uint32_t kCd80 = 359849;
constexpr std::uint32_t kDvdMinus = 2297888;
constexpr std::uint32_t kDvdMinusLeadOut = 2298496;
constexpr std::uint32_t kDvdPlus = 2295104;
constexpr std::uint32_t kDvdPlusDl = 4173824;
constexpr std::uint32_t kDvdRam = 2236704;

const std::array<MediumInfo, 12> kCatalogue{{
    {MediumKind::None, "none", "No medium", 0x0000, Family::None, false, false, false, 0, 0, {}, 8467},
    {MediumKind::CdRom, "cd-rom", "CD-ROM", 0x0008, Family::Rom, true, false, false, 0, 0, {}, 8467},
    {MediumKind::CdR, "cd-r", "CD-R", 0x0009, Family::Cd, true, false, true, kCd80, kCd80, kCdRSpeeds, 8467},
    {MediumKind::CdRw, "cd-rw", "CD-RW", 0x000A, Family::Cd, true, true, true, kCd80, kCd80, kCdRwSpeeds, 8467},
    {MediumKind::DvdRom, "dvd-rom", "DVD-ROM", 0x0010, Family::Rom, false, false, false, 0, 0, {}, 22160},
    {MediumKind::DvdR, "dvd-r", "DVD-R", 0x0011, Family::DvdMinus, false, false, true, kDvdMinus,
     kDvdMinusLeadOut, kDvdRSpeeds, 22160},
    {MediumKind::DvdRam, "dvd-ram", "DVD-RAM", 0x0012, Family::Ram, false, true, false, kDvdRam, kDvdRam,
     kDvdRamSpeeds, 6925},
    {MediumKind::DvdRwRestricted, "dvd-rw-ro", "DVD-RW Restricted Overwrite", 0x0013, Family::Restricted, false,
     true, false, kDvdMinus, kDvdMinus, kDvdRwSpeeds, 11080},
    {MediumKind::DvdRwSequential, "dvd-rw", "DVD-RW Sequential Recording", 0x0014, Family::DvdMinus, false, true,
     true, kDvdMinus, kDvdMinusLeadOut, kDvdRwSpeeds, 11080},
    {MediumKind::DvdPlusRw, "dvd+rw", "DVD+RW", 0x001A, Family::PlusRw, false, true, false, kDvdPlus, kDvdPlus,
     kDvdPlusRwSpeeds, 11080},
    {MediumKind::DvdPlusR, "dvd+r", "DVD+R", 0x001B, Family::DvdPlus, false, false, false, kDvdPlus, kDvdPlus,
     kDvdRSpeeds, 22160},
    {MediumKind::DvdPlusRDl, "dvd+r-dl", "DVD+R DL", 0x002B, Family::DvdPlus, false, false, false, kDvdPlusDl,
     kDvdPlusDl, kDvdPlusRDlSpeeds, 11080},
}};

}  // namespace

const MediumInfo& InfoOf(MediumKind kind) { return kCatalogue[static_cast<std::size_t>(kind)]; }

std::optional<MediumKind> KindFromName(std::string_view name) {
  for (const auto& info : kCatalogue)
    if (name == info.cliName) return info.kind;
  return std::nullopt;
}

std::span<const MediumInfo> Catalogue() { return kCatalogue; }

Msf LbaToMsf(std::int32_t lba) {
  std::int32_t l = lba + (lba < -150 ? 450150 : 150);
  if (l < 0) l = 0;
  return Msf{static_cast<std::uint8_t>(l / 4500), static_cast<std::uint8_t>((l % 4500) / 75),
             static_cast<std::uint8_t>(l % 75)};
}

std::int32_t MsfToLba(std::uint8_t m, std::uint8_t s, std::uint8_t f) {
  std::int32_t l = (m * 60 + s) * 75 + f;
  return m >= 90 ? l - 450150 : l - 150;
}

}  // namespace velloran::vrec
