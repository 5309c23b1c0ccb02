// Who else holds the selected drive, and the eject that leaves such a drive
// alone. A drive is shared by every program of the machine: a medium lock set
// by a burning program must not be lifted by another one's eject (the
// kernel's own CD-ROM eject refuses while another program has the drive
// open), and a burn must not start on a disc that is mounted or on a drive
// another burner is using.
#include "drive/zbDrvLib.h"

#include "drive/zbSPTI.h"

#include <cerrno>

namespace velloran::drive {
namespace {

// Mode page 2Ah byte 6: bit 1 is the lock state (a PREVENT holds the medium),
// bit 3 says the drive ejects by command, bits 7-5 give the loading
// mechanism (001b a tray the drive moves; a caddy, a slot or a pop-up tray
// takes a hand to go back in).
constexpr std::uint8_t kLockState = 0x02;
constexpr std::uint8_t kEjectByCommand = 0x08;
constexpr std::uint8_t kMechanismMask = 0xE0;
constexpr std::uint8_t kTrayMechanism = 0x20;

}  // namespace

std::string TSCSIDevice::DriveName() {
  const char letter = DriveLetter();
  if (letter >= 'A' && letter <= 'Z') return std::string(1, letter) + ":";
  return "drive " + std::to_string(FAdapter) + ":" + std::to_string(FTarget) + ":" + std::to_string(FLun);
}

platform::DriveUse TSCSIDevice::FindDriveUse() {
  platform::DriveUse use;
  if (FAdapter == kNoDevice) return use;
  use = platform::FindDriveUse(TransportDevicePath(FAdapter, FTarget, FLun));
  if (!use.Any() && TransportName() == kPassThroughTransportName && PassThroughOpenError(DriveLetter()) == EBUSY)
    use.claimedExclusively = true;
  return use;
}

bool TSCSIDevice::MediumLocked() {
  alignas(8) std::array<std::uint8_t, 128> reply{};
  if (!ModeSense10(0x2A, reply.data(), false, reply.size(), reply.size() - 1)) return false;
  const std::size_t offset = mmc::ModePageOffset(reply, 0x2A);
  return offset != 0 && offset + 6 < reply.size() && (reply[offset + 6] & kLockState) != 0;
}

std::string TSCSIDevice::HeldElsewhere() {
  // The kernel's refusal (EBUSY) is known only from the last open of the
  // node: when that one was refused, a harmless query opens it again, so a
  // holder that has gone since is not named.
  const bool passThrough = TransportName() == kPassThroughTransportName;
  if (passThrough && PassThroughOpenError(DriveLetter()) == EBUSY) MediumLocked();
  std::string text = platform::DescribeDriveUse(FindDriveUse(), DriveName());
  if (!text.empty()) return text;
  // A lock nobody visible holds: a program of another user, or one that
  // talks to the drive through another node.
  if (!FRemovalPrevented && MediumLocked()) {
    std::string name = DriveName();
    if (name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name + " is locked by another program, which keeps its disc in the drive";
  }
  // That query may have been the first open of the node since another
  // program claimed it exclusively.
  if (passThrough && PassThroughOpenError(DriveLetter()) == EBUSY) {
    platform::DriveUse claimed;
    claimed.claimedExclusively = true;
    return platform::DescribeDriveUse(claimed, DriveName());
  }
  return {};
}

bool TSCSIDevice::EjectMedium(std::string& refusal) {
  refusal = HeldElsewhere();
  if (!refusal.empty()) return false;
  SynchronizeCache(300000, false);
  PreventAllowRemoval(true);
  return StartStopUnit(true);
}

TSCSIDevice::TReload TSCSIDevice::ReloadMedium(std::uint32_t budgetMs) {
  alignas(8) std::array<std::uint8_t, 128> reply{};
  if (!ModeSense10(0x2A, reply.data(), false, reply.size(), reply.size() - 1)) return TReload::NotPossible;
  const std::size_t offset = mmc::ModePageOffset(reply, 0x2A);
  if (offset == 0 || offset + 6 >= reply.size()) return TReload::NotPossible;
  const std::uint8_t mechanism = reply[offset + 6];
  if ((mechanism & kMechanismMask) != kTrayMechanism || !(mechanism & kEjectByCommand)) return TReload::NotPossible;
  PreventAllowRemoval(true);
  if (!StartStopUnit(true)) return TReload::NotPossible;
  // A laptop's tray reports itself as a tray but cannot be pulled back in:
  // the load then fails, or the drive stays without a medium.
  if (!StartStopUnit(false)) return TReload::TrayLeftOpen;
  return WaitForDrive(budgetMs, 500, nullptr) == TWaitResult::Ready ? TReload::Reloaded : TReload::TrayLeftOpen;
}

}  // namespace velloran::drive
