// Decoders of MMC replies and builders of the parameter data the drive class
// sends. Pure functions over byte spans: every variable-length reply is read
// only as far as the bytes the caller actually has.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

namespace velloran::drive::mmc {

using Bytes = std::span<const std::uint8_t>;

// --- Capability bits (mode page 2Ah and GET CONFIGURATION features) ---------
namespace cap {
inline constexpr std::uint32_t ReadCDR = 0x00000001;
inline constexpr std::uint32_t ReadCDRW = 0x00000002;
inline constexpr std::uint32_t ReadMethod2 = 0x00000004;
inline constexpr std::uint32_t ReadDVD = 0x00000008;
inline constexpr std::uint32_t ReadDVDR = 0x00000010;
inline constexpr std::uint32_t ReadDVDRW = 0x00000020;
inline constexpr std::uint32_t ReadDVDRAM = 0x00000040;
inline constexpr std::uint32_t ReadDVDPR = 0x00000080;
inline constexpr std::uint32_t ReadDVDPRDL = 0x00000100;
inline constexpr std::uint32_t ReadDVDPRW = 0x00000200;
inline constexpr std::uint32_t WriteCDR = 0x00000400;
inline constexpr std::uint32_t WriteCDRW = 0x00000800;
inline constexpr std::uint32_t WriteTest = 0x00001000;
inline constexpr std::uint32_t WriteDVDR = 0x00002000;
inline constexpr std::uint32_t WriteDVDRW = 0x00004000;
inline constexpr std::uint32_t WriteDVDRAM = 0x00008000;
inline constexpr std::uint32_t WriteDVDPR = 0x00010000;
inline constexpr std::uint32_t WriteDVDPRDL = 0x00020000;
inline constexpr std::uint32_t WriteDVDPRW = 0x00040000;
inline constexpr std::uint32_t UnderrunProtection = 0x00100000;
}  // namespace cap

struct CapabilityName {
  std::uint32_t bit;
  const char* name;
};
// Every capability bit with its name, in bit order.
std::span<const CapabilityName> CapabilityNames();

// Bits that mode page 2Ah itself announces (page bytes 2..4).
std::uint32_t CapabilitiesFromPage(Bytes page);
// Bits a GET CONFIGURATION reply for one feature (2Ah, 3Bh or 2Fh, asked
// for alone) adds: the read bits when the feature is present, the write bits
// too when its first data byte is exactly 1.
std::uint32_t CapabilitiesFromFeature(std::uint16_t feature, Bytes reply);

// Offset of a mode page in a MODE SENSE (10) reply, 0 when it is not there.
// The header's block descriptor length says where the page starts; drives
// that fill that field wrongly are caught by looking for the page code at
// the offsets seen in practice (16, 8, 7).
std::size_t ModePageOffset(Bytes reply, std::uint8_t pageCode);

// The speed and buffer words of mode page 2Ah, in host order.
struct CapabilityWords {
  std::uint16_t maxReadSpeed = 0;       // bytes 8-9, kB/s
  std::uint16_t volumeLevels = 0;       // bytes 10-11
  std::uint16_t bufferSizeKiB = 0;      // bytes 12-13
  std::uint16_t maxWriteSpeed = 0;      // bytes 18-19, kB/s
  std::uint16_t currentWriteSpeed = 0;  // bytes 20-21, kB/s
};
CapabilityWords DecodeCapabilityWords(Bytes page);

// --- Profiles and disc kinds ------------------------------------------------
// Disc kind codes (0 unknown; codes below 4 are the CD family).
enum DiscKindCode : std::uint8_t {
  kKindUnknown = 0,
  kKindCdRom = 1,
  kKindCdR = 2,
  kKindCdRw = 3,
  kKindDvdRom = 4,
  kKindDvdR = 5,
  kKindDvdRam = 6,
  kKindDvdRwRestricted = 8,
  kKindDvdRwSequential = 9,
  kKindDvdPlusRw = 10,
  kKindDvdPlusR = 11,
  kKindDvdPlusRDl = 12,
  kKindDdcdRom = 13,
  kKindDdcdR = 14,
  kKindDdcdRw = 15,
};
std::uint8_t DiscKindFromProfile(std::uint16_t profile);
const std::array<std::string, 16>& DiscKindNames();

struct ProfileName {
  const char* name;
  bool erasable;
};
// The medium name shown for a current profile ("???????" when unknown).
ProfileName MediumNameForProfile(std::uint16_t profile);
// Current profile of a GET CONFIGURATION reply (0 when too short).
std::uint16_t CurrentProfile(Bytes reply);

// --- Replies ----------------------------------------------------------------
// READ FORMAT CAPACITIES: the capacity the drive offers, in 2048-byte blocks.
struct FormatCapacity {
  std::uint32_t blocks = 0;
  std::uint32_t blockSize = 2048;
};
FormatCapacity DecodeFormatCapacities(Bytes reply);

// READ BUFFER CAPACITY: sizes in bytes. A drive that reports FFFFFFFFh free
// bytes means "all of it".
struct BufferCapacity {
  std::uint32_t size = 0;
  std::uint32_t free = 0;
};
BufferCapacity DecodeBufferCapacity(Bytes reply);

// READ TRACK INFORMATION (the first 40 bytes).
struct TTrackInfo {
  std::uint16_t dataLength = 0;
  std::uint8_t trackNumber = 0;
  std::uint8_t sessionNumber = 0;
  std::uint8_t trackMode = 0;    // byte 5 bits 0-3
  std::uint8_t dataMode = 0;     // byte 6 bits 0-3
  bool damage = false;
  bool reserved = false;         // RT
  bool blank = false;
  bool packet = false;
  bool fixedPacket = false;
  bool nwaValid = false;
  bool lraValid = false;
  std::uint32_t trackStart = 0;
  std::uint32_t nextWritableAddress = 0;
  std::uint32_t freeBlocks = 0;
  std::uint32_t fixedPacketSize = 0;
  std::uint32_t trackSize = 0;
  std::uint32_t lastRecordedAddress = 0;
};
TTrackInfo DecodeTrackInformation(Bytes reply);

// READ DISC INFORMATION.
struct TDiscInformation {
  std::uint16_t dataLength = 0;
  bool erasable = false;
  std::uint8_t lastSessionState = 0;  // 0 empty, 1 incomplete, 2 damaged, 3 complete
  std::uint8_t discStatus = 0;        // 0 empty, 1 incomplete, 2 complete, 3 other
  std::uint8_t firstTrack = 0;
  std::uint16_t sessions = 0;
  std::uint16_t firstTrackLastSession = 0;
  std::uint16_t lastTrackLastSession = 0;
  std::uint8_t bgFormatStatus = 0;
  std::uint8_t discType = 0;
  std::uint32_t lastSessionLeadIn = 0;
  std::uint32_t lastPossibleLeadOut = 0;
};
TDiscInformation DecodeDiscInformation(Bytes reply);

// READ FORMAT CAPACITIES as a whole: the current capacity and what the
// formattable descriptors offer. Block counts in 2048-byte blocks.
struct FormatCapacityList {
  std::uint32_t current = 0;     // current/maximum descriptor
  std::uint8_t currentType = 3;  // 1 unformatted, 2 formatted, 3 no medium or unknown
  std::uint32_t largest = 0;     // the largest count any formattable descriptor offers
  std::uint32_t grow = 0;        // format type 13h (quick grow the last session)
  bool growOffered = false;
};
FormatCapacityList DecodeFormatCapacityList(Bytes reply);

// Fixed-format sense data (response code 70h-71h, also with the VALID bit).
struct SenseInfo {
  bool valid = false;          // a fixed-format response code
  bool deferred = false;       // 71h: reports a failure of an earlier command
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  bool progressValid = false;  // SKSV on NOT READY or NO SENSE
  std::uint16_t progress = 0;  // fraction of a long operation done, x 65536
};
SenseInfo DecodeSense(Bytes sense);

// Blocks up to the ATIP's last possible lead-out start: the block address of
// the MSF in reply bytes 12..14 (M*4500 + S*75 + F - 150), 0 when the reply
// is too short.
std::uint32_t AtipLeadOutBlocks(Bytes atip);

// --- Parameter data ---------------------------------------------------------
// Length of the write parameters page the drive class sends (page length 32h).
inline constexpr std::size_t kWritePageLength = 54;

struct WriteParameters {
  bool testWrite = false;
  bool underrun = false;
  std::uint8_t discKind = 0;
  bool multiSession = false;
  bool finalizeDisc = false;
  bool linkSizeValid = false;    // drive quirk: LS_V must be set
  std::uint32_t capabilities = 0;
  std::uint8_t capabilityByte4 = 0;  // page 2Ah byte 4 (bit 7: BUF)
};
// Rewrites a copy of mode page 05h (as the drive reported it, at least
// kWritePageLength bytes) for the medium and options given.
void BuildWriteParametersPage(std::span<std::uint8_t> page, const WriteParameters& p);

// Rewrites page 05h for probing one write type: 0 raw, 1 session-at-once,
// 2 track-at-once.
void BuildWriteModeProbePage(std::span<std::uint8_t> page, std::uint8_t writeType);

// The MODE SELECT (10) parameter list: 8 zero header bytes and the page as
// long as its length byte says (clamped to the page given). PS is cleared:
// drives reject a page that claims to be savable in a MODE SELECT.
std::array<std::uint8_t, 8 + 512> ModeSelectList(std::span<const std::uint8_t> page, std::size_t& listLength);

// SET STREAMING performance descriptor (28 bytes). Sizes in kB, times in ms.
std::array<std::uint8_t, 28> PerformanceDescriptor(std::uint32_t startLba, std::uint32_t endLba,
                                                   std::uint32_t readSize, std::uint32_t writeSize,
                                                   std::uint32_t readTime, std::uint32_t writeTime);

// SEND DVD STRUCTURE time stamp (format 0Fh, 22 bytes): "yyyymmddhhnnss".
std::array<std::uint8_t, 22> TimeStampStructure(const std::tm& when);

}  // namespace velloran::drive::mmc
