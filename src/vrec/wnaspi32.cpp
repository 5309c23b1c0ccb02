// wnaspi32.so: the virtual recorders served as an ASPI-style library. One
// host adapter; target N is recorder N of the state folder (LUN 0). Requests
// complete before SendASPI32Command returns.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "drive/zbASPI.h"
#include "vrec/recorder.h"

namespace {

using velloran::vrec::CommandResult;
using velloran::vrec::DataDirection;
using velloran::vrec::Recorder;

constexpr char kManagerId[16] = {'V', 'E', 'L', 'L', 'O', 'R', 'A', 'N', ' ', 'V', 'R', 'E', 'C', ' ', ' ', ' '};
constexpr char kAdapterId[16] = {'V', 'E', 'L', 'L', 'O', 'R', 'A', 'N', ' ', 'V', 'R', 'E', 'C', 0, 0, 0};
constexpr std::uint8_t kHostScsiId = 7;
constexpr std::uint8_t kMaxTargets = 8;

// The recorders of the state folder, created on first use. Each Recorder has
// its own mutex, so requests to different targets run in parallel.
struct Library {
  std::once_flag once;
  std::vector<std::unique_ptr<Recorder>> recorders;

  std::vector<std::unique_ptr<Recorder>>& Get() {
    std::call_once(once, [this] {
      const auto dir = velloran::vrec::DefaultStateDir();
      const int count = std::min<int>(kMaxTargets, velloran::vrec::RecorderCount(dir));
      for (int i = 0; i < count; ++i) recorders.push_back(std::make_unique<Recorder>(dir, i));
    });
    return recorders;
  }
};

Library& TheLibrary() {
  static Library library;
  return library;
}

Recorder* Target(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
  auto& recorders = TheLibrary().Get();
  if (adapter != 0 || lun != 0 || target >= recorders.size()) return nullptr;
  return recorders[target].get();
}

std::uint32_t HaInquiry(SRB_HAInquiry* srb) {
  if (srb->SRB_HaId != 0) return srb->SRB_Status = SS_INVALID_HA;
  srb->HA_Count = 1;
  srb->HA_SCSI_ID = kHostScsiId;
  std::memcpy(srb->HA_ManagerId, kManagerId, sizeof kManagerId);
  std::memcpy(srb->HA_Identifier, kAdapterId, sizeof kAdapterId);
  std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
  srb->HA_Unique[3] = kMaxTargets;
  const std::uint32_t maxTransfer = 0x00FF0000;  // little-endian, as on the original platform
  std::memcpy(&srb->HA_Unique[4], &maxTransfer, sizeof maxTransfer);
  return srb->SRB_Status = SS_COMP;
}

std::uint32_t GetDeviceType(SRB_GDEVBlock* srb) {
  if (srb->SRB_HaId != 0) return srb->SRB_Status = SS_INVALID_HA;
  if (!Target(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun)) {
    srb->SRB_DeviceType = 0x1F;
    return srb->SRB_Status = SS_NO_DEVICE;
  }
  srb->SRB_DeviceType = 5;  // CD/DVD
  return srb->SRB_Status = SS_COMP;
}

std::uint32_t Execute(SRB_ExecSCSICmd* srb) {
  const bool notify = (srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc;
  auto finish = [&](std::uint8_t status) -> std::uint32_t {
    srb->SRB_Status = status;
    if (notify) {
      auto* event = static_cast<AspiEvent*>(srb->SRB_PostProc);
      if (event->Signal) event->Signal(event);
    }
    return status;
  };
  if (srb->SRB_HaId != 0) return finish(SS_INVALID_HA);
  Recorder* recorder = Target(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  if (!recorder) return finish(SS_NO_DEVICE);
  if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte) return finish(SS_INVALID_SRB);
  DataDirection direction = DataDirection::None;
  if (srb->SRB_Flags & SRB_DIR_IN)
    direction = DataDirection::In;
  else if (srb->SRB_Flags & SRB_DIR_OUT)
    direction = DataDirection::Out;
  std::span<std::uint8_t> data;
  if (direction != DataDirection::None && srb->SRB_BufPointer && srb->SRB_BufLen)
    data = std::span<std::uint8_t>(srb->SRB_BufPointer, srb->SRB_BufLen);
  const CommandResult r =
      recorder->Execute(std::span<const std::uint8_t>(srb->CDBByte, srb->SRB_CDBLen), data, direction);
  srb->SRB_HaStat = HASTAT_OK;
  srb->SRB_TargStat = r.status;
  if (r.Good()) return finish(SS_COMP);
  const std::size_t n = std::min<std::size_t>({srb->SRB_SenseLen, r.senseLength, sizeof srb->SenseArea});
  std::memcpy(srb->SenseArea, r.sense.data(), n);
  return finish(SS_ERR);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::uint32_t GetASPI32SupportInfo(void) {
  return (std::uint32_t{SS_COMP} << 8) | 1u;
}

__attribute__((visibility("default"))) std::uint32_t SendASPI32Command(void* request) {
  if (!request) return SS_INVALID_SRB;
  auto* header = static_cast<SRB_Header*>(request);
  switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: return HaInquiry(static_cast<SRB_HAInquiry*>(request));
    case SC_GET_DEV_TYPE: return GetDeviceType(static_cast<SRB_GDEVBlock*>(request));
    case SC_EXEC_SCSI_CMD: return Execute(static_cast<SRB_ExecSCSICmd*>(request));
    case SC_GET_DISK_INFO: {
      auto* srb = static_cast<SRB_GetDiskInfo*>(request);
      srb->SRB_DriveFlags = 0;
      srb->SRB_Int13HDriveInfo = 128;  // no BIOS drive
      srb->SRB_Heads = 0;
      srb->SRB_Sectors = 0;
      return srb->SRB_Status = SS_COMP;
    }
    case SC_ABORT_SRB:
    case SC_RESET_DEV:
      // Requests complete synchronously: there is never one to abort.
      return header->SRB_Status = SS_COMP;
    default: return header->SRB_Status = SS_INVALID_CMD;
  }
}

__attribute__((visibility("default"))) std::uint32_t GetASPI32DevicePath(std::uint8_t adapter, std::uint8_t target,
                                                                         std::uint8_t lun, char* path,
                                                                         std::uint32_t size) {
  Recorder* recorder = Target(adapter, target, lun);
  if (!recorder || !path) return 0;
  const std::string p = recorder->DevicePath().string();
  if (p.size() + 1 > size) return 0;
  std::memcpy(path, p.c_str(), p.size() + 1);
  return static_cast<std::uint32_t>(p.size());
}

}  // extern "C"
