#include "drive/zbSPTI.h"

#include "drive/zbConst.h"
#include "platform/drive_use.h"
#include "platform/process.h"
#include "platform/scsi_system.h"

#include <fcntl.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace velloran::drive {

std::atomic<bool> CloseHandleAfterCommand{true};

namespace {

// platform::kScsiIoctlGetIdLun's reply: id | lun << 8 | channel << 16 | host << 24.
struct ScsiIdLun {
  int dev_id;
  int host_unique_id;
};

// Host status codes of the Linux SCSI midlayer (DID_*) that have an ASPI
// counterpart.
enum : unsigned short {
  kDidNoConnect = 0x01,
  kDidBusBusy = 0x02,
  kDidTimeOut = 0x03,
  kDidBadTarget = 0x04,
  kDidReset = 0x08,
  kDidParity = 0x09,
};
// Direction not known to the caller (the kernel's SG_DXFER_UNKNOWN).
constexpr int kDxferUnknown = -5;
// Driver status: the kernel gave up on the command (DRIVER_TIMEOUT).
constexpr unsigned short kDriverTimeout = 0x06;

constexpr char kManagerId[17] = "VELLORAN SG_IO  ";

// The time-out ExecuteCommand set for the request this thread sends next;
// 0: none given.
thread_local unsigned g_commandTimeoutMs = 0;

struct LayerState {
  std::mutex tableMutex;          // the table and the notes
  std::mutex driveMutex[27];      // one command at a time per drive
  PassThroughDriveTable table;
  bool initialised = false;
  std::vector<std::string> notes;
  // Drives whose medium removal we prevented and have not allowed again.
  // Linux's sr driver sends ALLOW MEDIUM REMOVAL itself when the last handle
  // of the node closes, so such a drive keeps its handle open until the
  // lock is lifted or the layer shuts down.
  bool removalPrevented[27] = {};
  // errno of the last refused open of each drive's node (0 after a success):
  // tells "busy" and "no permission" apart from "no drive".
  std::atomic<int> openErrno[27] = {};
};

LayerState& Layer() {
  static LayerState state;
  return state;
}

void ClearTable(PassThroughDriveTable& t) {
  t.adapterCount = 0;
  for (int i = 0; i < 27; ++i) {
    t.drives[i] = PassThroughDrive{};
    t.drives[i].letterIndex = static_cast<std::uint8_t>(i);
    t.drives[i].handle = -1;
  }
}

// Opens a drive node read-write, falling back to read-only. O_NONBLOCK lets a
// drive without a medium open. Returns a descriptor or -errno.
int OpenDrive(platform::ScsiSystem& sys, const std::string& node) {
  int fd = sys.Open(node, O_RDWR | O_NONBLOCK);
  if (fd >= 0) return fd;
  return sys.Open(node, O_RDONLY | O_NONBLOCK);
}

// One SG_IO request. Returns the ioctl result (0 or -errno).
int SendSgIo(platform::ScsiSystem& sys, int fd, sg_io_hdr_t& io, const std::uint8_t* cdb, std::uint8_t cdbLen,
             int direction, void* data, std::uint32_t dataLen, std::uint8_t* sense, std::uint8_t senseLen) {
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.dxfer_direction = direction;
  io.cmd_len = cdbLen;
  io.cmdp = const_cast<unsigned char*>(cdb);
  io.mx_sb_len = senseLen;
  io.sbp = sense;
  io.dxfer_len = dataLen;
  io.dxferp = data;
  io.timeout = g_commandTimeoutMs ? g_commandTimeoutMs : kPassThroughTimeoutMs;
  g_commandTimeoutMs = 0;
  return sys.Ioctl(fd, SG_IO, &io);
}

bool SgIoSucceeded(int rc, const sg_io_hdr_t& io) {
  return rc >= 0 && io.status == 0 && io.host_status == 0 && (io.driver_status & 0x0F) == 0;
}

// Keeps a line for the caller once (a transport choice may probe twice).
void Note(LayerState& layer, const std::string& line) {
  if (std::find(layer.notes.begin(), layer.notes.end(), line) == layer.notes.end()) layer.notes.push_back(line);
}

// Probes one letter's node; fills the entry when a drive answers INQUIRY.
void ProbeDrive(LayerState& layer, platform::ScsiSystem& sys, PassThroughDrive& entry, const std::string& node,
                std::uint8_t& syntheticTarget, int& rawHost) {
  int fd = OpenDrive(sys, node);
  layer.openErrno[entry.letterIndex] = fd < 0 ? -fd : 0;
  if (fd < 0) {
    if (fd == -EACCES || fd == -EPERM) {
      std::string group = platform::OwningGroupName(node);
      char line[512];
      std::snprintf(line, sizeof line, msg::DRIVE_ACCESS_DENIED, node.c_str(), group.c_str());
      Note(layer, line);
    } else if (fd == -EBUSY) {
      // Held exclusively by someone: name them when we may see who.
      platform::DriveUse use = platform::FindDriveUse(sys.UsePath(node));
      if (!use.Any()) use.claimedExclusively = true;
      const std::string name(1, static_cast<char>('A' + entry.letterIndex));
      Note(layer, platform::DescribeDriveUse(use, name + ":") + " (" + node + ")");
    }
    return;
  }
  std::uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
  std::uint8_t reply[1025] = {};
  std::uint8_t sense[24] = {};
  sg_io_hdr_t io;
  int rc = SendSgIo(sys, fd, io, cdb, 6, SG_DXFER_FROM_DEV, reply, 96, sense, sizeof sense);
  if (!SgIoSucceeded(rc, io)) {
    sys.Close(fd);
    return;
  }
  std::memcpy(entry.inquiry, reply, sizeof entry.inquiry);
  entry.present = 1;
  platform::ScsiIdLun idlun{};
  int host = -1;
  bool haveAddress = sys.Ioctl(fd, platform::kScsiIoctlGetIdLun, &idlun) >= 0;
  if (haveAddress) {
    host = (idlun.dev_id >> 24) & 0xFF;
    int busNumber = -1;
    if (sys.Ioctl(fd, platform::kScsiIoctlGetBusNumber, &busNumber) >= 0 && busNumber >= 0) host = busNumber;
    int target = idlun.dev_id & 0xFF;
    int lun = (idlun.dev_id >> 8) & 0xFF;
    // A device line holds one digit per field: an address that cannot be
    // written there is treated like no address at all.
    if (target > 7 || lun > 7) haveAddress = false;
    if (haveAddress) {
      rawHost = host;  // numbered compactly after the scan
      entry.target = static_cast<std::uint8_t>(target);
      entry.lun = static_cast<std::uint8_t>(lun);
    }
  }
  if (!haveAddress) {
    entry.adapter = 0;
    entry.target = syntheticTarget++;
    entry.lun = kNoAddressLun;
  }
  sys.Close(fd);
}

PassThroughDrive* FindDrive(PassThroughDriveTable& t, std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
  for (int i = 2; i < 27; ++i) {
    auto& d = t.drives[i];
    if (d.present && d.adapter == adapter && d.target == target && d.lun == lun) return &d;
  }
  return nullptr;
}

std::uint32_t ExecuteOnDrive(LayerState& layer, SRB_ExecSCSICmd* srb) {
  PassThroughDrive* drive;
  {
    std::lock_guard lock(layer.tableMutex);
    drive = FindDrive(layer.table, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (!drive) return srb->SRB_Status = SS_NO_DEVICE;
    if (srb->CDBByte[0] == 0x12) {
      // INQUIRY never reaches the drive: the probe's data answers it.
      if (srb->SRB_HaId >= layer.table.adapterCount) return srb->SRB_Status = SS_INVALID_HA;
      if (srb->SRB_BufPointer) std::memcpy(srb->SRB_BufPointer, drive->inquiry, std::min<std::uint32_t>(36, srb->SRB_BufLen));
      return srb->SRB_Status = SS_COMP;
    }
  }
  auto& sys = platform::CurrentScsiSystem();
  std::lock_guard driveLock(layer.driveMutex[drive->letterIndex]);
  std::string node = platform::OpticalNodeForLetter(static_cast<char>('A' + drive->letterIndex));
  if (drive->handle < 0) {
    int fd = OpenDrive(sys, node);
    layer.openErrno[drive->letterIndex] = fd < 0 ? -fd : 0;
    if (fd < 0) return srb->SRB_Status = SS_NO_DEVICE;
    drive->handle = fd;
  }
  int direction = SG_DXFER_NONE;
  if (srb->SRB_Flags & SRB_DIR_IN)
    direction = SG_DXFER_FROM_DEV;
  else if (srb->SRB_Flags & SRB_DIR_OUT)
    direction = SG_DXFER_TO_DEV;
  else if (srb->SRB_BufLen > 0)
    direction = kDxferUnknown;
  std::uint8_t senseLen = std::min<std::uint8_t>(srb->SRB_SenseLen, SENSE_AREA_LEN);
  std::uint8_t sense[SENSE_AREA_LEN] = {};
  std::uint8_t cdbLen = std::min<std::uint8_t>(srb->SRB_CDBLen, 16);
  sg_io_hdr_t io;
  int rc = SendSgIo(sys, drive->handle, io, srb->CDBByte, cdbLen, direction,
                    srb->SRB_BufLen ? srb->SRB_BufPointer : nullptr, srb->SRB_BufLen, sense, senseLen);
  if (SgIoSucceeded(rc, io)) {
    srb->SRB_Status = SS_COMP;
  } else if (rc < 0) {
    // The kernel refused the request itself (a command filtered for a
    // read-only handle, a bad length): nothing reached the drive.
    srb->SRB_Status = SS_INVALID_CMD;
  } else {
    srb->SRB_Status = SS_ERR;
    std::memcpy(srb->SenseArea, sense, senseLen);
    srb->SRB_TargStat = io.status;
    switch (io.host_status) {
      case 0: break;
      case kDidNoConnect:
      case kDidBadTarget: srb->SRB_HaStat = HASTAT_SEL_TO; break;
      case kDidTimeOut: srb->SRB_HaStat = HASTAT_TIMEOUT; break;
      case kDidReset: srb->SRB_HaStat = HASTAT_BUS_RESET; break;
      case kDidParity: srb->SRB_HaStat = HASTAT_PARITY_ERROR; break;
      default: srb->SRB_HaStat = HASTAT_BUS_FREE; break;
    }
    if ((io.driver_status & 0x0F) == kDriverTimeout) srb->SRB_HaStat = HASTAT_TIMEOUT;
  }
  if (srb->CDBByte[0] == 0x1E && srb->SRB_Status == SS_COMP)
    layer.removalPrevented[drive->letterIndex] = (srb->CDBByte[4] & 0x01) != 0;
  if (CloseHandleAfterCommand.load() && !layer.removalPrevented[drive->letterIndex]) {
    sys.Close(drive->handle);
    drive->handle = -1;
  }
  return srb->SRB_Status;
}

}  // namespace

void SetPassThroughTimeout(unsigned ms) { g_commandTimeoutMs = ms; }

int PassThroughInit() {
  auto& layer = Layer();
  std::lock_guard lock(layer.tableMutex);
  if (layer.initialised) return 0;
  auto& t = layer.table;
  ClearTable(t);
  auto& sys = platform::CurrentScsiSystem();
  std::uint8_t syntheticTarget = 0;
  int found = 0;
  int rawHost[27];
  std::fill(std::begin(rawHost), std::end(rawHost), -1);
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    auto& entry = t.drives[letter - 'A'];
    std::string node = platform::OpticalNodeForLetter(letter);
    if (node.empty() || !sys.NodeExists(node)) {
      entry.target = kNotOpticalTarget;
      continue;
    }
    ProbeDrive(layer, sys, entry, node, syntheticTarget, rawHost[letter - 'A']);
    if (entry.present) ++found;
  }
  // Linux host numbers can exceed 9, but a device line holds one digit per
  // field: number the adapters compactly in order of their host numbers.
  std::set<int> hosts;
  bool anyWithoutAddress = false;
  for (int i = 0; i < 27; ++i) {
    if (!t.drives[i].present) continue;
    if (t.drives[i].lun == kNoAddressLun)
      anyWithoutAddress = true;
    else
      hosts.insert(rawHost[i]);
  }
  for (int i = 0; i < 27; ++i) {
    auto& d = t.drives[i];
    if (d.present && d.lun != kNoAddressLun)
      d.adapter = static_cast<std::uint8_t>(std::distance(hosts.begin(), hosts.find(rawHost[i])));
  }
  t.adapterCount = static_cast<std::uint8_t>(hosts.empty() ? 0 : hosts.size());
  if (anyWithoutAddress) {
    for (auto& d : t.drives) {
      if (d.present && d.lun == kNoAddressLun) {
        d.adapter = t.adapterCount;
        d.lun = 0;
      }
    }
    t.adapterCount = static_cast<std::uint8_t>(t.adapterCount + 1);
  }
  layer.initialised = true;
  return found;
}

void PassThroughDone() {
  auto& layer = Layer();
  std::lock_guard lock(layer.tableMutex);
  auto& sys = platform::CurrentScsiSystem();
  for (auto& d : layer.table.drives) {
    if (d.present && d.handle >= 0) sys.Close(d.handle);
  }
  ClearTable(layer.table);
  std::fill(std::begin(layer.removalPrevented), std::end(layer.removalPrevented), false);
  for (auto& e : layer.openErrno) e = 0;
  layer.initialised = false;
}

std::uint32_t PassThroughSupportInfo() {
  auto& layer = Layer();
  std::lock_guard lock(layer.tableMutex);
  if (layer.table.adapterCount) return (std::uint32_t{SS_COMP} << 8) | layer.table.adapterCount;
  return std::uint32_t{SS_NO_ADAPTERS} << 8;
}

std::uint32_t PassThroughSendCommand(void* request) {
  if (!request) return SS_ERR;
  auto& layer = Layer();
  auto* header = static_cast<SRB_Header*>(request);
  switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: {
      auto* srb = static_cast<SRB_HAInquiry*>(request);
      std::lock_guard lock(layer.tableMutex);
      srb->HA_Count = layer.table.adapterCount;
      if (srb->SRB_HaId >= layer.table.adapterCount) return srb->SRB_Status = SS_INVALID_HA;
      srb->HA_SCSI_ID = 7;
      std::memcpy(srb->HA_ManagerId, kManagerId, 16);
      std::memset(srb->HA_Identifier, 0, 16);
      std::memcpy(srb->HA_Identifier, "SPTI ", 5);
      srb->HA_Identifier[5] = static_cast<std::uint8_t>('0' + srb->SRB_HaId);
      std::memset(srb->HA_Unique, 0, 16);
      srb->HA_Unique[0] = 0x07;  // alignment mask 0007h
      srb->HA_Unique[3] = 8;     // maximum targets
      srb->HA_Unique[4] = 0x00;  // maximum transfer 00FF0000h, little-endian
      srb->HA_Unique[5] = 0x00;
      srb->HA_Unique[6] = 0xFF;
      srb->HA_Unique[7] = 0x00;
      return srb->SRB_Status = SS_COMP;
    }
    case SC_GET_DEV_TYPE: {
      auto* srb = static_cast<SRB_GDEVBlock*>(request);
      std::lock_guard lock(layer.tableMutex);
      if (FindDrive(layer.table, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun)) {
        srb->SRB_DeviceType = 5;
        return srb->SRB_Status = SS_COMP;
      }
      srb->SRB_DeviceType = 0x1F;
      return srb->SRB_Status = SS_NO_DEVICE;
    }
    case SC_EXEC_SCSI_CMD: {
      auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
      std::uint32_t status = ExecuteOnDrive(layer, srb);
      if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc) {
        auto* event = static_cast<AspiEvent*>(srb->SRB_PostProc);
        event->Signal(event);
      }
      return status;
    }
    case SC_GET_DISK_INFO:
      header->SRB_Status = SS_PENDING;
      return SS_ERR;
    default:
      return header->SRB_Status = SS_ERR;
  }
}

const PassThroughDriveTable& PassThroughTable() { return Layer().table; }

int PassThroughOpenError(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return 0;
  return Layer().openErrno[letter - 'A'].load();
}

std::vector<std::string> TakePassThroughNotes() {
  auto& layer = Layer();
  std::lock_guard lock(layer.tableMutex);
  return std::exchange(layer.notes, {});
}

}  // namespace velloran::drive
