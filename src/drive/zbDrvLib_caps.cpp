// Drive selection, identification and capabilities of TSCSIDevice.
#include "drive/zbDrvLib.h"

#include "drive/byte_order.h"
#include "drive/zbConst.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace velloran::drive {

namespace {

std::string Trimmed(std::string_view s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(' ');
  return std::string(s.substr(b, e - b + 1));
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Model quirks, matched on the INQUIRY product (trimmed unless noted) and
// vendor. Kept as data so a new firmware oddity is one row.
struct Quirk {
  enum Match { kProductIs, kProductStarts, kVendorStarts, kProductRawIs } match;
  const char* text;
  bool underrunByModel, linkSizeValid, slowReady;
};
constexpr Quirk kQuirks[] = {
    // Burn-proof drive whose page 2Ah does not show the BUF bit.
    {Quirk::kProductIs, "CD-W512EB", true, false, false},
    // Firmware that rejects page 05h unless the link size is marked valid.
    {Quirk::kProductIs, "CRX175E", false, true, false},
    {Quirk::kProductIs, "CD-RW  CRX800E", false, true, false},
    // Drives that stay "not ready" long after closing or blanking.
    {Quirk::kProductStarts, "UJDA", false, false, true},
    {Quirk::kVendorStarts, "TDK", false, false, true},
    {Quirk::kProductRawIs, "DVD-RW  DVR-103 ", false, false, true},
    {Quirk::kProductRawIs, "DVD-RW  DVR-104 ", false, false, true},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void TSCSIDevice::Deselect() {
  DeviceId.clear();
  FDeviceDescription.clear();
  FDeviceType = 0x7F;
  FAdapter = FTarget = FLun = kNoDevice;
  FLinkSizeValid = FSlowReady = FUnderrunByModel = false;
}

void TSCSIDevice::SetDevice(const std::string& id) {
  if (id.size() <= 4 || !IsDigit(id[0]) || !IsDigit(id[2]) || !IsDigit(id[4])) {
    if (!id.empty()) DebugMessage(msg::INVALID_DEVICE_ID, 0);
    Deselect();
    return;
  }
  SelectAddress(static_cast<std::uint8_t>(id[0] - '0'), static_cast<std::uint8_t>(id[2] - '0'),
                static_cast<std::uint8_t>(id[4] - '0'));
  DeviceId = id;
  FLinkSizeValid = FSlowReady = FUnderrunByModel = false;

  // A drive reports a medium change (unit attention) to the first command
  // that is not exempt from it; let a harmless command take it, so the
  // capability page read below is not the one that fails.
  TestUnitReady(5000);
  ReadCapabilities();
  InquiryBuffer.fill(0);
  if (!Inquiry()) {
    // A device that does not answer INQUIRY is not kept selected (the type
    // of a previously selected drive must not vouch for it).
    FDeviceDescription = LastError;
    FDeviceType = 0x7F;
  } else {
    FDeviceType = InquiryBuffer[0];
    for (std::size_t i = 8; i < 56; ++i)
      if (InquiryBuffer[i] < 0x20) InquiryBuffer[i] = ' ';
    const char* inq = reinterpret_cast<const char*>(InquiryBuffer.data());
    FDeviceDescription = std::string(inq + 8, 8) + " " + std::string(inq + 16, 16) + " " + std::string(inq + 32, 4);
  }
  if (FDeviceType != 5 && FDeviceType != 4) {
    DebugMessage(msg::INVALID_DEVICE_ID, 0);
    Deselect();
    return;
  }

  const char* inq = reinterpret_cast<const char*>(InquiryBuffer.data());
  const std::string productRaw(inq + 16, 16);
  const std::string product = Trimmed(productRaw);
  std::string vendor = Trimmed(std::string_view(inq + 8, 8));
  if (vendor.size() < 3) vendor = "     ";
  for (const Quirk& q : kQuirks) {
    bool hit = false;
    switch (q.match) {
      case Quirk::kProductIs: hit = product == q.text; break;
      case Quirk::kProductStarts: hit = StartsWith(product, q.text); break;
      case Quirk::kVendorStarts: hit = StartsWith(vendor, q.text); break;
      case Quirk::kProductRawIs: hit = productRaw == q.text; break;
    }
    if (!hit) continue;
    FUnderrunByModel |= q.underrunByModel;
    FLinkSizeValid |= q.linkSizeValid;
    FSlowReady |= q.slowReady;
  }
  if (FUnderrunByModel) Capabilities |= mmc::cap::UnderrunProtection;

  if (OnDeviceChange) OnDeviceChange(this);
  ProbeWriteModes();
}

bool TSCSIDevice::ReadCapabilities() {
  Capabilities = 0;
  FDeviceMaxWriteSpeed = 0;
  FDeviceMaxReadSpeed = 0;
  CapabilityPage.fill(0);
  CapabilityWords = {};

  alignas(8) std::array<std::uint8_t, 512> reply{};
  auto copyPage = [&](std::size_t off, std::size_t replyLength) {
    CapabilityPage.fill(0);
    const std::size_t n = std::min({replyLength - std::min(off, replyLength), CapabilityPage.size()});
    std::memcpy(CapabilityPage.data(), &reply[off], n);
  };

  // Default values first: they show what the drive can do with any medium.
  const bool haveDefaults = ModeSense10(0x2A, reply.data(), true, 255, 511);
  if (haveDefaults) {
    std::size_t off = mmc::ModePageOffset(std::span(reply.data(), 255), 0x2A);
    if (off == 0) off = 8;
    copyPage(off, 255);
    Capabilities |= mmc::CapabilitiesFromPage(CapabilityPage);

    alignas(8) std::array<std::uint8_t, 512> vendor{};
    if (ModeSense10(0x30, vendor.data(), false, 128, 511) &&
        (vendor[16] == 0x30 || vendor[8] == 0x30 || vendor[7] == 0x30))
      Capabilities |= mmc::cap::UnderrunProtection;
    if (FUnderrunByModel) Capabilities |= mmc::cap::UnderrunProtection;

    const mmc::CapabilityWords w = mmc::DecodeCapabilityWords(CapabilityPage);
    const bool dvdRamWriter = CapabilityPage[3] & 0x20;
    FDeviceMaxWriteSpeed = w.maxWriteSpeed ? w.maxWriteSpeed : (dvdRamWriter ? 1 : 0);
    FDeviceMaxReadSpeed = w.maxReadSpeed ? w.maxReadSpeed : (dvdRamWriter ? 1 : 0);

    for (std::uint16_t feature : {std::uint16_t{0x2A}, std::uint16_t{0x3B}, std::uint16_t{0x2F}}) {
      alignas(8) std::array<std::uint8_t, 114> config{};
      if (GetConfiguration(2, feature, config.size(), config.data()))
        Capabilities |= mmc::CapabilitiesFromFeature(feature, config);
    }
  }

  if (!ModeSense10(0x2A, reply.data(), false, 128, 511)) return false;
  std::size_t off = mmc::ModePageOffset(std::span(reply.data(), 128), 0x2A);
  if (off == 0) off = 8;
  copyPage(off, 128);
  // Some ATAPI firmware (QEMU's ide-cd among them) refuses the default
  // values with INVALID FIELD IN CDB and reports only current values; the
  // current page announces the same read and write abilities.
  if (!haveDefaults) {
    Capabilities |= mmc::CapabilitiesFromPage(CapabilityPage);
    if (FUnderrunByModel) Capabilities |= mmc::cap::UnderrunProtection;
  }
  CapabilityWords = mmc::DecodeCapabilityWords(CapabilityPage);
  // Drives that leave the obsolete speed words at 0 still write at 1x DVD.
  if (CapabilityWords.currentWriteSpeed == 0) CapabilityWords.currentWriteSpeed = 1385;
  if (CapabilityWords.maxWriteSpeed == 0) CapabilityWords.maxWriteSpeed = 1385;

  FDeviceMaxWriteSpeed = std::max(FDeviceMaxWriteSpeed, CapabilityWords.maxWriteSpeed);
  FDeviceMaxReadSpeed = std::max(FDeviceMaxReadSpeed, CapabilityWords.maxReadSpeed);
  return true;
}

std::uint16_t TSCSIDevice::MaxWriteSpeed() { return ReadCapabilities() ? CapabilityWords.maxWriteSpeed : 0; }

std::uint16_t TSCSIDevice::MaxReadSpeed() { return ReadCapabilities() ? CapabilityWords.maxReadSpeed : 0; }

std::uint16_t TSCSIDevice::CurrentWriteSpeed() {
  return ReadCapabilities() ? CapabilityWords.currentWriteSpeed : 0;
}

}  // namespace velloran::drive
