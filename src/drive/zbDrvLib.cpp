#include "drive/zbDrvLib.h"

#include "drive/asc_table.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"
#include "platform/scsi_system.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>

namespace velloran::drive {

namespace {

constexpr std::uint32_t kMinimumTimeoutMs = 10000;

std::array<std::string, 256> MakeCommandNames() {
  std::array<std::string, 256> names;
  for (int i = 0; i < 255; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", i);
    names[i] = hex;
  }
  static const struct {
    std::uint8_t opcode;
    const char* name;
  } kNames[] = {
      {0x00, "TEST UNIT READY"}, {0x01, "REWIND UNIT"}, {0x03, "REQUEST SENSE"}, {0x04, "FORMAT UNIT"},
      {0x12, "INQUIRY"}, {0x1B, "START STOP UNIT"}, {0x1E, "PREVENT/ALLOW REMOVAL"},
      {0x23, "READ FORMAT CAPACITIES"}, {0x25, "READ CAPACITY"}, {0x28, "READ (10)"}, {0x2A, "WRITE (10)"},
      {0x2B, "SEEK (10)"}, {0x2E, "WRITE AND VERIFY (10)"}, {0x2F, "VERIFY (10)"}, {0x35, "SYNCHRONIZE CACHE"},
      {0x42, "READ SUB-CHANNEL"}, {0x43, "READ TOC/PMA/ATIP"}, {0x45, "PLAY AUDIO (10)"},
      {0x46, "GET CONFIGURATION"}, {0x47, "PLAY AUDIO MSF"}, {0x4A, "GET EVENT/STATUS NOTIF"},
      {0x4B, "PAUSE/RESUME"}, {0x4E, "STOP PLAY/SCAN"}, {0x51, "READ DISC INFORMATION"},
      {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK"}, {0x54, "SEND OPC INFORMATION"},
      {0x55, "MODE SELECT (10)"}, {0x58, "REPAIR TRACK"}, {0x5A, "MODE SENSE (10)"},
      {0x5B, "CLOSE TRACK/SESSION"}, {0x5C, "READ BUFFER CAPACITY"}, {0x5D, "SEND CUE SHEET"}, {0xA1, "BLANK"},
      {0xA2, "SEND EVENT"}, {0xA3, "SEND KEY"}, {0xA4, "REPORT KEY"}, {0xA5, "PLAY AUDIO (12)"},
      {0xA6, "LOAD/UNLOAD CD/DVD"}, {0xA7, "SET READ AHEAD"}, {0xA8, "READ (12)"}, {0xAA, "WRITE (12)"},
      {0xAC, "GET PERFORMANCE"}, {0xAD, "READ DVD STRUCTURE"}, {0xB6, "SET STREAMING"}, {0xB9, "READ CD MSF"},
      {0xBA, "SCAN"}, {0xBB, "SET CD SPEED"}, {0xBD, "MECHANISM STATUS"}, {0xBE, "READ CD"},
      {0xBF, "SEND DVD STRUCTURE"},
  };
  for (const auto& n : kNames) {
    std::string padded = n.name;
    padded.resize(22, ' ');
    names[n.opcode] = padded;
  }
  return names;
}

// The per-call completion event of an event-notify request.
struct CommandEvent : AspiEvent {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;

  CommandEvent() { Signal = &CommandEvent::Fire; }

  static void Fire(AspiEvent* self) {
    auto* e = static_cast<CommandEvent*>(self);
    std::lock_guard lock(e->mutex);
    e->signalled = true;
    e->cv.notify_all();
  }

  // Waits until signalled or until the request is no longer pending.
  void Wait(const volatile std::uint8_t& status, std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return signalled || status != SS_PENDING; });
  }
};

// Opcodes whose failures are expected in normal use (probing, polling) and
// never traced.
bool IsQuietOpcode(std::uint8_t op) {
  switch (op) {
    case 0x00: case 0x01: case 0x04: case 0x12: case 0x1B: case 0x1E: case 0x23: case 0x35: case 0x43:
    case 0x46: case 0x51: case 0x52: case 0x55: case 0x5A: case 0x5C: case 0xB6: case 0xBB:
      return true;
    default:
      return false;
  }
}

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

}  // namespace

const std::array<std::string, 256>& CommandNames() {
  static const std::array<std::string, 256> names = MakeCommandNames();
  return names;
}

TSCSIDevice::TSCSIDevice() {
  if (ASPIInitialized()) {
    HostAdapterInquiry(0);
    RescanDevices();
  }
}

TSCSIDevice::~TSCSIDevice() = default;

void TSCSIDevice::SelectAddress(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
  FAdapter = adapter;
  FTarget = target;
  FLun = lun;
}

bool TSCSIDevice::InitializeASPI(bool preferPassThrough, const std::string& libraryPath) {
  bool ok = false;
  try {
    ok = SelectTransport(preferPassThrough, libraryPath);
  } catch (...) {
    ok = false;
  }
  DriveNotes = TakePassThroughNotes();
  for (const auto& note : DriveNotes) DebugMessage(note, 0);
  if (ok) {
    HostAdapterInquiry(0);
    RescanDevices();
  }
  return ok;
}

void TSCSIDevice::HostAdapterInquiry(std::uint8_t adapter) {
  std::memset(&HAInquiryBlock, 0, sizeof HAInquiryBlock);
  HAInquiryBlock.SRB_Cmd = SC_HA_INQUIRY;
  HAInquiryBlock.SRB_HaId = adapter;
  if (SendASPI32Command) SendASPI32Command(&HAInquiryBlock);
  AdapterCount = HAInquiryBlock.SRB_Status == SS_COMP ? HAInquiryBlock.HA_Count : 255;
  if (AdapterCount == 0) AdapterCount = 7;
}

void TSCSIDevice::RescanDevices() {
  Devices.clear();
  const std::uint8_t savedAdapter = FAdapter, savedTarget = FTarget, savedLun = FLun;
  FLun = 0;
  if (DoDebug) DebugMessage(">>> " + TransportName(), 1);
  const int adapters = AdapterCount >= 128 ? 0 : AdapterCount;
  for (int adapter = 0; adapter < adapters; ++adapter) {
    HostAdapterInquiry(static_cast<std::uint8_t>(adapter));
    if (DoDebug) {
      std::string manager(reinterpret_cast<const char*>(HAInquiryBlock.HA_ManagerId), 16);
      std::string ident(reinterpret_cast<const char*>(HAInquiryBlock.HA_Identifier), 16);
      ident = ident.c_str();  // zero-padded
      while (!ident.empty() && ident.back() == ' ') ident.pop_back();
      while (!ident.empty() && ident.front() == ' ') ident.erase(0, 1);
      DebugMessage(">>> " + manager + " (" + ident + ")", 1);
    }
    for (int target = 0; target < 8; ++target) {
      for (int lun = 0; lun < 8; ++lun) {
        SelectAddress(static_cast<std::uint8_t>(adapter), static_cast<std::uint8_t>(target),
                      static_cast<std::uint8_t>(lun));
        InquiryBuffer.fill(0);
        if (!Inquiry()) continue;
        const std::uint8_t type = InquiryBuffer[0];
        if (type != 5 && type != 4) continue;
        char letter = DriveLetter();
        std::string line = std::to_string(adapter) + ":" + std::to_string(target) + ":" + std::to_string(lun) + ",";
        line += (letter == '\0' || letter == 127) ? std::string("?") : std::string(1, letter);
        line += ": ";
        for (int i = 8; i < 36; ++i) {
          // Control characters (a NUL-padded product name) would cut or
          // garble the line.
          char c = static_cast<char>(InquiryBuffer[i]);
          line += (InquiryBuffer[i] < 0x20) ? ' ' : c;
        }
        if (type == 4) line += " (not supported)";
        Devices.push_back(line);
      }
    }
  }
  SelectAddress(savedAdapter, savedTarget, savedLun);
  LastError.clear();
}

char TSCSIDevice::DriveLetter() {
  if (TransportName() == kPassThroughTransportName) {
    const auto& table = PassThroughTable();
    for (int i = 0; i < 27; ++i) {
      const auto& d = table.drives[i];
      if (d.present && d.adapter == FAdapter && d.target == FTarget && d.lun == FLun)
        return static_cast<char>('A' + i);
    }
    return 127;
  }
  // Through a library: find the kernel node with the same address.
  auto& sys = platform::CurrentScsiSystem();
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    std::string node = platform::OpticalNodeForLetter(letter);
    if (!sys.NodeExists(node)) continue;
    int fd = sys.Open(node, O_RDONLY | O_NONBLOCK);
    if (fd < 0) continue;
    platform::ScsiIdLun idlun{};
    bool ok = sys.Ioctl(fd, platform::kScsiIoctlGetIdLun, &idlun) >= 0;
    sys.Close(fd);
    if (ok && ((idlun.dev_id >> 24) & 0xFF) == FAdapter && (idlun.dev_id & 0xFF) == FTarget) return letter;
  }
  if (!SendASPI32Command) return '\0';
  SRB_GetDiskInfo info{};
  info.SRB_Cmd = SC_GET_DISK_INFO;
  info.SRB_HaId = FAdapter;
  info.SRB_Target = FTarget;
  info.SRB_Lun = FLun;
  SendASPI32Command(&info);
  if (info.SRB_Status == SS_COMP && info.SRB_Int13HDriveInfo != 128)
    return static_cast<char>('A' + info.SRB_Int13HDriveInfo);
  return '\0';
}

void TSCSIDevice::DebugMessage(const std::string& text, std::uint8_t mType) {
  if (OnDebugMessage) OnDebugMessage(this, text, mType);
}

std::uint8_t TSCSIDevice::ExecuteCommand(SRB_ExecSCSICmd& srb, std::uint32_t timeoutMs) {
  LastError.clear();
  TargetBusy = false;
  LastSense.fill(0);
  if (!SendASPI32Command || FAdapter == kNoDevice) return SS_NO_ASPI;

  CommandEvent event;
  const bool notify = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
  srb.SRB_PostProc = notify ? static_cast<AspiEvent*>(&event) : nullptr;
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = FAdapter;
  srb.SRB_Target = FTarget;
  srb.SRB_Lun = FLun;
  srb.SRB_SenseLen = 24;
  const std::uint32_t timeout = std::max(timeoutMs, kMinimumTimeoutMs);
  srb.CDBByte[1] = static_cast<std::uint8_t>(((FLun & 7) << 5) | (srb.CDBByte[1] & 0x1F));

  SetPassThroughTimeout(timeout);
  SendASPI32Command(&srb);
  SetPassThroughTimeout(0);
  if (notify && srb.SRB_Status == SS_PENDING) event.Wait(srb.SRB_Status, timeout);

  if (srb.SRB_Status != SS_COMP && srb.SRB_Status != SS_PENDING) LastError = SenseText(srb);
  TraceError(srb);
  if (srb.SRB_Status == SS_PENDING) {
    // Timed out (or a transport that never completes): the request counts
    // as failed. No abort is sent to the transport.
    srb.SRB_Status = SS_ERR;
    srb.SRB_HaStat = HASTAT_TIMEOUT;
    LastError = StatusText(srb.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat);
  }
  srb.SRB_PostProc = nullptr;
  if (reinterpret_cast<std::uintptr_t>(srb.SRB_BufPointer) % 4 != 0)
    DebugMessage("aaaa" + std::to_string(reinterpret_cast<std::uintptr_t>(srb.SRB_BufPointer)), 0);
  return 1;
}

void TSCSIDevice::TraceError(const SRB_ExecSCSICmd& srb) {
  // Every failed command is traced unless the trace is silenced (the write
  // thread silences it while it polls a busy drive, unless debugging).
  if (CommandErrorTraceDone) return;
  if (srb.SRB_Status == SS_COMP || srb.SRB_Status == SS_PENDING) return;
  const std::uint8_t op = srb.CDBByte[0];
  if (IsQuietOpcode(op)) return;
  const std::uint8_t* sense = srb.SenseArea;
  if (sense[12] == 0x04 && sense[13] == 0x08) return;  // long write in progress

  std::string a = std::to_string(srb.SRB_HaId) + ":" + Hex(srb.SRB_Target, 1) + ":" + std::to_string(srb.SRB_Lun) +
                  " <" + Hex(srb.SRB_Status, 2) + ">" + " [" + Hex(srb.SRB_BufLen, 5) + "]";
  std::string b = "(" + Hex(op, 2) + ") {" + Hex(srb.SRB_Flags, 2) + "|" + Hex(srb.SRB_CDBLen, 2) + "} - " + a + " ";
  for (int i = 1; i <= 15; ++i) b += Hex(srb.CDBByte[i], 2) + " ";
  std::string c = CommandNames()[op] + " " + b + " " + "|";
  if (srb.SRB_BufPointer) {
    const std::uint32_t n = std::min<std::uint32_t>(srb.SRB_BufLen, 257);
    for (std::uint32_t i = 0; i < n; ++i) c += Hex(srb.SRB_BufPointer[i], 2) + " ";
  }
  std::string line = "<<< " + c + "= " + Hex(srb.SRB_HaStat, 2) + " " + Hex(srb.SRB_TargStat, 2) + " " +
                     Hex(sense[0], 2) + " " + Hex(sense[2], 2) + " " + "ASC:" + Hex(sense[12], 2) + ",ASQ:" +
                     Hex(sense[13], 2) + " " + LastError;
  DebugMessage(line, 0);
}

std::string TSCSIDevice::StatusText(std::uint8_t status, std::uint8_t hostStatus, std::uint8_t targetStatus) {
  switch (status) {
    case SS_PENDING:
    case SS_COMP: return {};
    case SS_ABORTED:
    case SS_ABORT_FAIL: return msg::OPERATION_ABORTED_BY_USER;
    case SS_ERR:
      switch (hostStatus) {
        case HASTAT_OK:
          switch (targetStatus) {
            case STATUS_GOOD:
            case STATUS_CHKCOND: return msg::CHECK_CONDITION;
            case STATUS_BUSY: return msg::TARGET_BUSY;
            case STATUS_RESCONF: return msg::TARGET_RESERVATION_CONFLICT;
            case STATUS_QUEUE_FULL: return msg::TARGET_QUEUE_FULL;
            default: return msg::UNKNOWN;
          }
        case HASTAT_TIMEOUT: return msg::COMMAND_TIMEOUT;
        case HASTAT_COMMAND_TIMEOUT: return msg::SRB_TIMEOUT;
        case HASTAT_MESSAGE_REJECT: return msg::MESSAGE_REJECT;
        case HASTAT_BUS_RESET: return msg::BUS_RESET;
        case HASTAT_PARITY_ERROR: return msg::PARITY_ERROR;
        case HASTAT_REQUEST_SENSE_FAILED: return msg::REQUEST_SENSE_FAILED;
        case HASTAT_SEL_TO: return msg::SELECTION_TIMEOUT;
        case HASTAT_DO_DU: return msg::DATA_OVERRUN;
        case HASTAT_BUS_FREE: return msg::UNEXPECTED_BUS_FREE;
        default: return msg::UNKNOWN;
      }
    case SS_INVALID_CMD: return msg::INVALID_REQUEST;
    case SS_INVALID_HA: return msg::INVALID_HOST_ADAPTER;
    case SS_NO_DEVICE: return msg::NO_DEVICE;
    case SS_INVALID_SRB: return msg::INVALID_SRB;
    case SS_BUFFER_ALIGN: return msg::BUFFER_ALIGNMENT;
    case SS_ASPI_IS_BUSY: return msg::ASPI_IS_BUSY;
    case SS_BUFFER_TO_BIG: return msg::BUFFER_TOO_BIG;
    default: return msg::UNKNOWN;
  }
}

std::string TSCSIDevice::SenseText(const SRB_ExecSCSICmd& srb) {
  std::string text = StatusText(srb.SRB_Status, srb.SRB_HaStat, srb.SRB_TargStat);
  if (srb.SRB_Status == SS_ERR && srb.SRB_HaStat == HASTAT_OK && srb.SRB_TargStat == STATUS_BUSY) TargetBusy = true;
  if (text != msg::CHECK_CONDITION) return text;
  const std::uint8_t* sense = srb.SenseArea;
  const std::uint8_t response = sense[0];
  if (response == 0) {
    text.clear();
  } else if ((response & 0x7E) == 0x70) {
    const std::uint8_t byte2 = sense[2];
    static const char* const kKeyTexts[16] = {
        nullptr, msg::RECOVERED_ERROR, msg::NOT_READY, msg::MEDIUM_ERROR, msg::HARDWARE_ERROR,
        msg::ILLEGAL_REQUEST, msg::UNIT_ATTENTION, msg::DATA_PROTECT, msg::ERASE_CHECK, nullptr,
        msg::COPYABORTED, msg::ABORTED_COMMAND, nullptr, msg::VOLUME_OVERFLOW, msg::MISCOMPARE, msg::RESERVED,
    };
    const int key = byte2 & 0x0F;
    if (key == 0) {
      if (byte2 & 0x80)
        text = msg::FILEMARK;
      else if (byte2 & 0x40)
        text = msg::END_OF_MEDIA;
      else if (byte2 & 0x20)
        text = msg::ILLEGAL_LENGTH;
      else
        text = msg::NO_ADDITIONAL_SENSE_INFORMATION;
    } else if (kKeyTexts[key]) {
      text = kKeyTexts[key];
    }
  } else {
    text = msg::UNKNOWN;
  }
  LastError = text;
  SenseCodeText(srb);
  return LastError;
}

void TSCSIDevice::SenseCodeText(const SRB_ExecSCSICmd& srb) {
  std::memcpy(LastSense.data(), srb.SenseArea, LastSense.size());
  const std::uint8_t asc = srb.SenseArea[12], ascq = srb.SenseArea[13];
  if (srb.SenseArea[7] == 0) return;
  const char* known = FindAscText(asc, ascq);
  std::string text = known ? known : std::to_string(asc) + "," + std::to_string(ascq);
  LastError += " (" + text + ")";
}

bool TSCSIDevice::SendCommand(const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t flags, void* buffer,
                              std::uint32_t length, std::uint32_t timeoutMs, SRB_ExecSCSICmd* srbOut) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = flags;
  srb.SRB_SenseLen = 24;
  srb.SRB_CDBLen = cdbLength;
  srb.SRB_BufLen = length;
  srb.SRB_BufPointer = static_cast<std::uint8_t*>(buffer);
  std::memcpy(srb.CDBByte, cdb, std::min<std::uint8_t>(cdbLength, 16));
  const bool sent = ExecuteCommand(srb, timeoutMs) == 1;
  if (srbOut) *srbOut = srb;
  if (!sent && LastError.empty()) LastError = SendASPI32Command ? msg::NO_DEVICE_SELECTED : msg::NO_TRANSPORT;
  return sent && srb.SRB_Status == SS_COMP;
}

bool TSCSIDevice::Inquiry() {
  const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 128, 0};
  return SendCommand(cdb, 6, SRB_DIR_IN | SRB_EVENT_NOTIFY, InquiryBuffer.data(), 128, 10000);
}

}  // namespace velloran::drive
