#include "drive/mmc_reply.h"

#include "drive/byte_order.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velloran::drive::mmc {
namespace {

// Copies what the reply holds into a zeroed fixed-size block, so decoders
// read absent bytes as 0 instead of past the end.
template <std::size_t N>
std::array<std::uint8_t, N> Padded(Bytes reply, std::size_t valid) {
  std::array<std::uint8_t, N> out{};
  std::size_t n = std::min({reply.size(), valid, N});
  if (n) std::memcpy(out.data(), reply.data(), n);
  return out;
}

constexpr CapabilityName kCapabilityNames[] = {
    {cap::ReadCDR, "ReadCDR"},         {cap::ReadCDRW, "ReadCDRW"},
    {cap::ReadMethod2, "ReadMethod2"}, {cap::ReadDVD, "ReadDVD"},
    {cap::ReadDVDR, "ReadDVDR"},       {cap::ReadDVDRW, "ReadDVDRW"},
    {cap::ReadDVDRAM, "ReadDVDRAM"},   {cap::ReadDVDPR, "ReadDVDPR"},
    {cap::ReadDVDPRDL, "ReadDVDPRDL"}, {cap::ReadDVDPRW, "ReadDVDPRW"},
    {cap::WriteCDR, "WriteCDR"},       {cap::WriteCDRW, "WriteCDRW"},
    {cap::WriteTest, "WriteTest"},     {cap::WriteDVDR, "WriteDVDR"},
    {cap::WriteDVDRW, "WriteDVDRW"},   {cap::WriteDVDRAM, "WriteDVDRAM"},
    {cap::WriteDVDPR, "WriteDVDPR"},   {cap::WriteDVDPRDL, "WriteDVDPRDL"},
    {cap::WriteDVDPRW, "WriteDVDPRW"}, {cap::UnderrunProtection, "UnderrunProtection"},
};

struct ProfileRow {
  std::uint16_t profile;
  std::uint8_t kind;
  const char* name;
  bool erasable;
};

// Current profiles the system knows. Profile 1Bh (DVD+R) carries the name
// "DVD+RW" in the medium list, as users of the earlier versions knew it; the
// disc kind names tell DVD+R apart.
constexpr ProfileRow kProfiles[] = {
    {0x01, kKindUnknown, "Non-removable disk", false},
    {0x02, kKindUnknown, "Removable disk", false},
    {0x03, kKindUnknown, "MO Eraseable", true},
    {0x04, kKindUnknown, "MO Write Once", false},
    {0x05, kKindUnknown, "AS-MO", false},
    {0x08, kKindCdRom, "CD-ROM", false},
    {0x09, kKindCdR, "CD-R", false},
    {0x0A, kKindCdRw, "CD-RW", true},
    {0x10, kKindDvdRom, "DVD-ROM", false},
    {0x11, kKindDvdR, "DVD-R", false},
    {0x12, kKindDvdRam, "DVD-RAM", false},
    {0x13, kKindDvdRwRestricted, "DVD-RW Restricted Overwrite", true},
    {0x14, kKindDvdRwSequential, "DVD-RW Sequential Recording", true},
    {0x1A, kKindDvdPlusRw, "DVD+RW", true},
    {0x1B, kKindDvdPlusR, "DVD+RW", false},
    {0x20, kKindDdcdRom, "DDCD-ROM", false},
    {0x21, kKindDdcdR, "DDCD-R", false},
    {0x22, kKindDdcdRw, "DDCD-RW", true},
    {0x2B, kKindDvdPlusRDl, nullptr, false},
};

const ProfileRow* FindProfile(std::uint16_t profile) {
  for (const auto& row : kProfiles)
    if (row.profile == profile) return &row;
  return nullptr;
}

}  // namespace

std::span<const CapabilityName> CapabilityNames() { return kCapabilityNames; }

std::uint32_t CapabilitiesFromPage(Bytes page) {
  if (page.size() < 5) return 0;
  std::uint32_t c = 0;
  const std::uint8_t r = page[2], w = page[3];
  if (r & 0x01) c |= cap::ReadCDR;
  if (r & 0x02) c |= cap::ReadCDRW;
  if (r & 0x04) c |= cap::ReadMethod2;
  if (r & 0x08) c |= cap::ReadDVD;
  if (r & 0x10) c |= cap::ReadDVDR | cap::ReadDVDRW;  // one bit covers DVD-R and DVD-RW
  if (r & 0x20) c |= cap::ReadDVDRAM;
  if (w & 0x01) c |= cap::WriteCDR;
  if (w & 0x02) c |= cap::WriteCDRW;
  if (w & 0x04) c |= cap::WriteTest;
  if (w & 0x10) c |= cap::WriteDVDR | cap::WriteDVDRW;
  if (w & 0x20) c |= cap::WriteDVDRAM;
  if (page[4] & 0x80) c |= cap::UnderrunProtection;
  return c;
}

std::uint32_t CapabilitiesFromFeature(std::uint16_t feature, Bytes reply) {
  if (reply.size() < 10 || be::load16(&reply[8]) != feature) return 0;
  // Only a first data byte of exactly 1 (the Write bit alone) counts as
  // write support; drives that set more bits there are treated as readers.
  const bool write = reply.size() > 12 && reply[12] == 1;
  switch (feature) {
    case 0x2A:
      return cap::ReadDVDPR | cap::ReadDVDPRW | (write ? cap::WriteDVDPR | cap::WriteDVDPRW : 0);
    case 0x3B:
      return cap::ReadDVDPRDL | (write ? cap::WriteDVDPRDL : 0);
    case 0x2F:
      return cap::ReadDVDR | cap::ReadDVDRW | (write ? cap::WriteDVDR | cap::WriteDVDRW : 0);
    default:
      return 0;
  }
}

std::size_t ModePageOffset(Bytes reply, std::uint8_t pageCode) {
  auto is = [&](std::size_t off) { return off + 1 < reply.size() && (reply[off] & 0x3F) == pageCode; };
  if (reply.size() >= 8) {
    std::size_t off = 8 + std::size_t{be::load16(&reply[6])};
    if (is(off)) return off;
  }
  for (std::size_t off : {16u, 8u, 7u})
    if (is(off)) return off;
  return 0;
}

CapabilityWords DecodeCapabilityWords(Bytes page) {
  auto p = Padded<22>(page, page.size());
  CapabilityWords w;
  w.maxReadSpeed = be::load16(&p[8]);
  w.volumeLevels = be::load16(&p[10]);
  w.bufferSizeKiB = be::load16(&p[12]);
  w.maxWriteSpeed = be::load16(&p[18]);
  w.currentWriteSpeed = be::load16(&p[20]);
  return w;
}

std::uint8_t DiscKindFromProfile(std::uint16_t profile) {
  const ProfileRow* row = FindProfile(profile);
  return row ? row->kind : std::uint8_t{kKindUnknown};
}

const std::array<std::string, 16>& DiscKindNames() {
  static const std::array<std::string, 16> names = {
      "UNKNOWN", "CD-ROM", "CD-R",   "CD-RW",  "DVD-ROM",  "DVD-R",    "DVD-RAM", "DVD-RW",
      "DVD-RW",  "DVD-RW", "DVD+RW", "DVD+R",  "DVD+R DL", "DDCD-ROM", "DDCD-R",  "DDCD-RW"};
  return names;
}

ProfileName MediumNameForProfile(std::uint16_t profile) {
  const ProfileRow* row = FindProfile(profile);
  if (!row || !row->name) return {"???????", false};
  return {row->name, row->erasable};
}

std::uint16_t CurrentProfile(Bytes reply) { return reply.size() >= 8 ? be::load16(&reply[6]) : 0; }

FormatCapacity DecodeFormatCapacities(Bytes reply) {
  const std::size_t valid = reply.size() >= 4 ? 4 + std::size_t{reply[3]} : 0;
  auto r = Padded<28>(reply, valid);
  auto count = [&](int i) { return be::load32(&r[4 + 8 * i]); };
  auto typeAndSize = [&](int i) { return be::load32(&r[8 + 8 * i]); };
  FormatCapacity f;
  // Descriptor type 0 with 2048-byte blocks in the current/maximum slot is
  // how some drives say "no current capacity"; the formattable descriptors
  // then carry it.
  if (typeAndSize(0) != 0x00000800)
    f.blocks = count(0);
  else if (typeAndSize(1) == 0x00000800 || typeAndSize(1) == 0x98000000)
    f.blocks = count(1);
  else if (typeAndSize(2) == 0x00000800)
    f.blocks = count(2);
  else
    f.blocks = count(0);
  return f;
}

FormatCapacityList DecodeFormatCapacityList(Bytes reply) {
  FormatCapacityList f;
  if (reply.size() < 12) return f;
  // The list length counts whole descriptors after the 4-byte header; a
  // drive claiming more than it sent is read as far as it sent.
  const std::size_t end = std::min(reply.size(), 4 + std::size_t{reply[3]});
  f.current = be::load32(&reply[4]);
  f.currentType = reply[8] & 0x03;
  for (std::size_t at = 12; at + 8 <= end; at += 8) {
    const std::uint32_t blocks = be::load32(&reply[at]);
    const std::uint8_t type = reply[at + 4] >> 2;
    f.largest = std::max(f.largest, blocks);
    if (type == 0x13) {
      f.grow = blocks;
      f.growOffered = true;
    }
  }
  return f;
}

SenseInfo DecodeSense(Bytes sense) {
  SenseInfo s;
  if (sense.size() < 14) return s;
  const std::uint8_t response = sense[0] & 0x7F;
  if (response != 0x70 && response != 0x71) return s;
  s.valid = true;
  s.deferred = response == 0x71;
  s.key = sense[2] & 0x0F;
  s.asc = sense[12];
  s.ascq = sense[13];
  if (sense.size() >= 18 && sense[7] >= 10 && (sense[15] & 0x80) && (s.key == 0x00 || s.key == 0x02)) {
    s.progressValid = true;
    s.progress = be::load16(&sense[16]);
  }
  return s;
}

BufferCapacity DecodeBufferCapacity(Bytes reply) {
  auto r = Padded<12>(reply, reply.size());
  BufferCapacity b;
  b.size = be::load32(&r[4]);
  b.free = be::load32(&r[8]);
  if (b.free == 0xFFFFFFFF) b.free = b.size;
  return b;
}

TTrackInfo DecodeTrackInformation(Bytes reply) {
  const std::size_t valid = reply.size() >= 2 ? 2 + std::size_t{be::load16(reply.data())} : 0;
  auto r = Padded<40>(reply, valid);
  TTrackInfo t;
  t.dataLength = be::load16(&r[0]);
  t.trackNumber = r[2];
  t.sessionNumber = r[3];
  t.damage = r[5] & 0x20;
  t.trackMode = r[5] & 0x0F;
  t.reserved = r[6] & 0x80;
  t.blank = r[6] & 0x40;
  t.packet = r[6] & 0x20;
  t.fixedPacket = r[6] & 0x10;
  t.dataMode = r[6] & 0x0F;
  t.lraValid = r[7] & 0x02;
  t.nwaValid = r[7] & 0x01;
  t.trackStart = be::load32(&r[8]);
  t.nextWritableAddress = be::load32(&r[12]);
  t.freeBlocks = be::load32(&r[16]);
  t.fixedPacketSize = be::load32(&r[20]);
  t.trackSize = be::load32(&r[24]);
  t.lastRecordedAddress = be::load32(&r[28]);
  return t;
}

TDiscInformation DecodeDiscInformation(Bytes reply) {
  const std::size_t valid = reply.size() >= 2 ? 2 + std::size_t{be::load16(reply.data())} : 0;
  auto r = Padded<24>(reply, valid);
  TDiscInformation d;
  d.dataLength = be::load16(&r[0]);
  d.erasable = r[2] & 0x10;
  d.lastSessionState = (r[2] >> 2) & 3;
  d.discStatus = r[2] & 3;
  d.firstTrack = r[3];
  d.sessions = static_cast<std::uint16_t>(r[4] | (r[9] << 8));
  d.firstTrackLastSession = static_cast<std::uint16_t>(r[5] | (r[10] << 8));
  d.lastTrackLastSession = static_cast<std::uint16_t>(r[6] | (r[11] << 8));
  d.bgFormatStatus = r[7] & 3;
  d.discType = r[8];
  d.lastSessionLeadIn = be::load32(&r[16]);
  d.lastPossibleLeadOut = be::load32(&r[20]);
  return d;
}

std::uint32_t AtipLeadOutBlocks(Bytes atip) {
  if (atip.size() < 15) return 0;
  // MSF counts from the start of the 2-second pregap, LBA 0 lies at 00:02:00.
  const std::uint32_t msf = atip[12] * 4500u + atip[13] * 75u + atip[14];
  return msf > 150 ? msf - 150 : 0;
}

void BuildWriteParametersPage(std::span<std::uint8_t> page, const WriteParameters& p) {
  if (page.size() < kWritePageLength) return;
  const std::uint8_t k = p.discKind;
  auto setPacketSize = [&](std::uint32_t v) { be::store32(&page[10], v); };

  page[1] = 0x32;
  if (k == kKindDvdR) {  // incremental with 16-block links and packets
    page[2] = 0x60;
    page[3] = 0xE5;
    page[5] = 16;
    setPacketSize(16);
  } else {  // track-at-once, data track mode 4
    page[2] = 0x01;
    page[3] = 0x04;
    page[5] = 0;
    setPacketSize(0);
  }
  page[4] = 8;  // Mode 1, 2048-byte blocks
  if (k == kKindDvdPlusRw || k == kKindDvdPlusR) {
    page[2] = 0x22;
    page[3] |= 0xC0;
  }
  if (p.linkSizeValid) page[2] |= 0x20;
  if (k == kKindDvdR || k == 7 || k == kKindDvdRwRestricted || k == kKindDvdRwSequential || k == kKindDvdPlusR) {
    page[3] |= 0xE0;
  } else if (!p.testWrite && !p.finalizeDisc) {
    page[3] |= 0xC0;  // next session allowed
  } else if ((page[3] & 0xC0) == 0xC0) {
    page[3] &= 0x3F;
  }
  const bool bufe = (p.capabilities & cap::UnderrunProtection) && p.underrun;
  page[2] = static_cast<std::uint8_t>((page[2] & ~0x40) | (bufe ? 0x40 : 0));
  const bool test = (p.capabilities & cap::WriteTest) && p.testWrite;
  page[2] = static_cast<std::uint8_t>((page[2] & ~0x10) | (test ? 0x10 : 0));
  page[6] = page[7] = page[8] = page[9] = 0;
  if (k == kKindDvdRwRestricted || k == kKindDvdRwSequential) {
    // Incremental with link size; a test write keeps its bit, or the drive
    // would record for real.
    page[2] = static_cast<std::uint8_t>(0x20 | (test ? 0x10 : 0));
    page[3] = 0xC5;
    page[5] = 16;
  }
  if (k == kKindDvdPlusR) {
    page[3] = 0xC4;
    setPacketSize(16);
  }
  if (k == kKindDvdPlusRDl) {
    page[2] = static_cast<std::uint8_t>((page[2] & 0xF0) | 0x22);
    page[3] = static_cast<std::uint8_t>(((page[3] & 0xF0) | 0x04) & ~0x20);
    page[5] = page[6] = 0;
    setPacketSize(0);
    if (p.multiSession)
      page[3] |= 0xC0;
    else
      page[3] &= 0x3F;
  } else if (p.underrun && (p.capabilityByte4 & 0x80)) {
    page[2] |= 0x40;
  }
  if (k == kKindDvdPlusRw) {
    page[3] = 0x04;
    page[5] = 16;
  }
  be::store16(&page[14], 150);  // audio pause length, 2 seconds
}

void BuildWriteModeProbePage(std::span<std::uint8_t> page, std::uint8_t writeType) {
  if (page.size() < 16) return;
  page[4] = 0;
  switch (writeType) {
    case 0:  // raw
      page[2] = 3;
      page[4] = 1;
      break;
    case 1:  // session-at-once
      page[2] = 2;
      break;
    default:  // track-at-once
      page[2] = 1;
      break;
  }
  page[3] = 0;
  page[8] = page[9] = 0;
  be::store16(&page[14], 150);
}

std::array<std::uint8_t, 8 + 512> ModeSelectList(std::span<const std::uint8_t> page, std::size_t& listLength) {
  std::array<std::uint8_t, 8 + 512> list{};
  std::size_t n = page.size() >= 2 ? std::size_t{page[1]} + 2 : 0;
  n = std::min({n, page.size(), std::size_t{512}});
  if (n) std::memcpy(&list[8], page.data(), n);
  if (n) list[8] &= 0x3F;
  listLength = 8 + n;
  return list;
}

std::array<std::uint8_t, 28> PerformanceDescriptor(std::uint32_t startLba, std::uint32_t endLba,
                                                   std::uint32_t readSize, std::uint32_t writeSize,
                                                   std::uint32_t readTime, std::uint32_t writeTime) {
  std::array<std::uint8_t, 28> d{};
  be::store32(&d[4], startLba);
  be::store32(&d[8], endLba);
  be::store32(&d[12], readSize);
  be::store32(&d[16], readTime);
  be::store32(&d[20], writeSize);
  be::store32(&d[24], writeTime);
  return d;
}

std::array<std::uint8_t, 22> TimeStampStructure(const std::tm& when) {
  std::array<std::uint8_t, 22> s{};
  be::store16(&s[0], 20);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", (when.tm_year + 1900) % 10000,
                (when.tm_mon + 1) % 100, when.tm_mday % 100, when.tm_hour % 100, when.tm_min % 100,
                when.tm_sec % 100);
  std::memcpy(&s[8], text, 14);
  return s;
}

}  // namespace velloran::drive::mmc
