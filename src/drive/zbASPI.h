// The ASPI request blocks and the transport that carries them.
//
// Every drive command travels as an ASPI request block (SRB) through two
// entry points with the published ASPI signatures. They are served either by
// an ASPI-style library loaded at run time (on this system: wnaspi32.so, which
// is also the form in which the virtual recorder ships) or by our own
// pass-through layer on the kernel's SCSI generic interface (zbSPTI).
//
// The block layouts are shared with any library that serves them, so they are
// plain C structures packed to one byte. Pointers take their native size.
#pragma once

#include <cstdint>
#include <string>

extern "C" {

// SRB command codes.
enum : std::uint8_t {
  SC_HA_INQUIRY = 0x00,
  SC_GET_DEV_TYPE = 0x01,
  SC_EXEC_SCSI_CMD = 0x02,
  SC_ABORT_SRB = 0x03,
  SC_RESET_DEV = 0x04,
  SC_GET_DISK_INFO = 0x06,
};

// SRB status codes.
enum : std::uint8_t {
  SS_PENDING = 0x00,
  SS_COMP = 0x01,
  SS_ABORTED = 0x02,
  SS_ABORT_FAIL = 0x03,
  SS_ERR = 0x04,
  SS_INVALID_CMD = 0x80,
  SS_INVALID_HA = 0x81,
  SS_NO_DEVICE = 0x82,
  SS_INVALID_SRB = 0xE0,
  SS_BUFFER_ALIGN = 0xE1,
  SS_NO_ASPI = 0xE2,  // also: no transport loaded or no device selected
  SS_FAILED_INIT = 0xE4,
  SS_ASPI_IS_BUSY = 0xE5,
  SS_BUFFER_TO_BIG = 0xE6,
  SS_NO_ADAPTERS = 0xE8,
};

// Host adapter status.
enum : std::uint8_t {
  HASTAT_OK = 0x00,
  HASTAT_TIMEOUT = 0x09,
  HASTAT_COMMAND_TIMEOUT = 0x0B,
  HASTAT_MESSAGE_REJECT = 0x0D,
  HASTAT_BUS_RESET = 0x0E,
  HASTAT_PARITY_ERROR = 0x0F,
  HASTAT_REQUEST_SENSE_FAILED = 0x10,
  HASTAT_SEL_TO = 0x11,
  HASTAT_DO_DU = 0x12,
  HASTAT_BUS_FREE = 0x13,
};

// Target (SCSI) status.
enum : std::uint8_t {
  STATUS_GOOD = 0x00,
  STATUS_CHKCOND = 0x02,
  STATUS_BUSY = 0x08,
  STATUS_RESCONF = 0x18,
  STATUS_QUEUE_FULL = 0x28,
};

// SRB flags.
enum : std::uint8_t {
  SRB_POSTING = 0x01,
  SRB_ENABLE_RESIDUAL_COUNT = 0x04,
  SRB_DIR_IN = 0x08,
  SRB_DIR_OUT = 0x10,
  SRB_EVENT_NOTIFY = 0x40,
};

// The sense area of an execute request: 32 bytes of sense data and the byte
// that follows them.
enum { SENSE_LEN = 32, SENSE_AREA_LEN = SENSE_LEN + 1 };

#pragma pack(push, 1)

struct SRB_Header {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t HA_Count;
  std::uint8_t HA_SCSI_ID;
  std::uint8_t HA_ManagerId[16];
  std::uint8_t HA_Identifier[16];
  std::uint8_t HA_Unique[16];  // alignment mask (u16), flags, max targets, max transfer (u32), ...
  std::uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t SRB_Target;
  std::uint8_t SRB_Lun;
  std::uint8_t SRB_DeviceType;
  std::uint8_t SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t SRB_Target;
  std::uint8_t SRB_Lun;
  std::uint16_t SRB_Rsvd1;
  std::uint32_t SRB_BufLen;
  std::uint8_t* SRB_BufPointer;
  std::uint8_t SRB_SenseLen;
  std::uint8_t SRB_CDBLen;
  std::uint8_t SRB_HaStat;
  std::uint8_t SRB_TargStat;
  void* SRB_PostProc;  // with SRB_EVENT_NOTIFY: an AspiEvent* to signal on completion
  std::uint8_t SRB_Rsvd2[20];
  std::uint8_t CDBByte[16];
  std::uint8_t SenseArea[SENSE_AREA_LEN];
};

struct SRB_GetDiskInfo {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t SRB_Target;
  std::uint8_t SRB_Lun;
  std::uint8_t SRB_DriveFlags;
  std::uint8_t SRB_Int13HDriveInfo;  // drive number; 128 when none
  std::uint8_t SRB_Heads;
  std::uint8_t SRB_Sectors;
  std::uint8_t SRB_Rsvd1[10];
};

#pragma pack(pop)

// The completion event of an event-notify request. On Windows this is an
// event handle; here the requester hands a small object whose Signal the
// serving side calls once the request's status is final.
struct AspiEvent {
  void (*Signal)(AspiEvent* self);
};

// The two entry points of an ASPI-style library.
typedef std::uint32_t (*TGetASPI32SupportInfo)(void);
typedef std::uint32_t (*TSendASPI32Command)(void* srb);
// An optional third one of ours: the file that stands for a device's node,
// so its users can be found (processes that hold it open). Writes a
// NUL-terminated path into path (size bytes) and returns its length, or 0
// when the device has no such file or the path does not fit.
typedef std::uint32_t (*TGetASPI32DevicePath)(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun,
                                              char* path, std::uint32_t size);

}  // extern "C"

namespace velloran::drive {

// Names of the two transports.
inline constexpr const char* kLibraryTransportName = "WNASPI32.DLL";
inline constexpr const char* kPassThroughTransportName = "QZASPI32";
// The file the library route loads.
inline constexpr const char* kAspiLibraryFile = "wnaspi32.so";

// Process-wide transport state.
extern TGetASPI32SupportInfo GetASPI32SupportInfo;
extern TSendASPI32Command SendASPI32Command;

bool ASPIInitialized();
std::string TransportName();

// Chooses the transport: the pass-through layer when prefer is set and it
// finds a drive, else the library (libraryPath when not empty, then
// wnaspi32.so beside the program or in ../lib/velloran beside it, then the
// loader's search path; never the working directory), else pass-through
// when it finds a drive. Returns false when no transport could be chosen.
bool SelectTransport(bool preferPassThrough, const std::string& libraryPath);
// Releases the current transport and chooses again with the saved preference.
bool ReloadTransport();
// Unloads the library (when loaded). Returns true when one was unloaded.
bool UnloadASPILibrary();
// Releases whichever transport is in use; used at shutdown and by tests.
void ReleaseTransport();
// The file whose users are the device's users: the kernel node of a
// pass-through drive (or what the installed SCSI seam names for it), the
// library's GetASPI32DevicePath otherwise. Empty when there is none.
std::string TransportDevicePath(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun);
// Uses the given entry points as the transport (an embedding program's own
// ASPI-style server, or a test's). Releases the current transport first.
void InstallTransport(TGetASPI32SupportInfo support, TSendASPI32Command send, const std::string& name);

}  // namespace velloran::drive
