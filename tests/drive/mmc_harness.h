// A TSCSIDevice wired to a virtual recorder in a temporary state folder.
//
// The recorder sits behind the ASPI entry points (an adapter of a few lines
// that hands each execute request to Recorder::Execute), so every command
// runs the drive class's real request building, ExecuteCommand and sense
// decoding, and the recorder's real MMC emulation. The adapter keeps a log of
// the command blocks it passed on, so tests can check CDB bytes end to end.
#pragma once

#include "drive/zbASPI.h"
#include "drive/zbDrvLib.h"
#include "vrec/clock.h"
#include "vrec/recorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velloran::drive::testing {

// Answers a request with CHECK CONDITION and the given sense.
inline void FailRequest(SRB_ExecSCSICmd& srb, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
  srb.SRB_HaStat = HASTAT_OK;
  srb.SRB_TargStat = 0x02;
  std::memset(srb.SenseArea, 0, SENSE_LEN);
  srb.SenseArea[0] = 0x70;
  srb.SenseArea[2] = key;
  srb.SenseArea[7] = 10;
  srb.SenseArea[12] = asc;
  srb.SenseArea[13] = ascq;
  srb.SRB_Status = SS_ERR;
}

struct LoggedCommand {
  std::vector<std::uint8_t> cdb;  // as many bytes as the request announced
  std::uint8_t flags = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> dataOut;
  std::uint8_t status = 0;  // SCSI status the recorder gave
  std::uint8_t asc = 0;
};

class RecorderTransport {
 public:
  static inline RecorderTransport* current = nullptr;
  vrec::Recorder* recorder = nullptr;
  std::vector<LoggedCommand> log;
  // Changes a reply before the drive class sees it: stands in for drive
  // firmware that fills a field differently from the recorder.
  std::function<void(const std::uint8_t* cdb, std::span<std::uint8_t> data)> tamper;
  // The same for the sense data of a command that failed.
  std::function<void(const std::uint8_t* cdb, std::span<std::uint8_t> sense)> tamperSense;
  // Opcodes answered with ILLEGAL REQUEST / INVALID COMMAND OPERATION CODE
  // before they reach the recorder: an older drive that lacks them.
  std::set<std::uint8_t> unsupported;
  // Answers a request before the recorder sees it (true: answered; the hook
  // has set the status and sense): a drive failing in ways the recorder
  // does not model, or a program that is gone all at once.
  std::function<bool(SRB_ExecSCSICmd& srb)> intercept;
  // Adapter, target and LUN of every execute request, answered or not.
  std::vector<std::array<std::uint8_t, 3>> addresses;

  static std::uint32_t Support() { return (std::uint32_t{SS_COMP} << 8) | 1; }

  // Commands with this opcode received since the log was cleared. Safe
  // while a job's threads still send commands.
  std::vector<LoggedCommand> Sent(std::uint8_t opcode) const {
    std::lock_guard lock(logMutex_);
    std::vector<LoggedCommand> out;
    for (const auto& c : log)
      if (!c.cdb.empty() && c.cdb[0] == opcode) out.push_back(c);
    return out;
  }
  void ClearLog() {
    std::lock_guard lock(logMutex_);
    log.clear();
    addresses.clear();
  }

  static std::uint32_t Send(void* p) {
    if (!p || !current) return SS_ERR;
    auto* header = static_cast<SRB_Header*>(p);
    switch (header->SRB_Cmd) {
      case SC_HA_INQUIRY: {
        auto* ha = static_cast<SRB_HAInquiry*>(p);
        if (ha->SRB_HaId != 0) return ha->SRB_Status = SS_INVALID_HA;
        ha->HA_Count = 1;
        ha->HA_SCSI_ID = 7;
        std::memcpy(ha->HA_ManagerId, "VIRTUAL RECORDER", 16);
        std::memcpy(ha->HA_Identifier, "VREC0", 5);
        return ha->SRB_Status = SS_COMP;
      }
      case SC_GET_DEV_TYPE: {
        auto* dev = static_cast<SRB_GDEVBlock*>(p);
        const bool here = current->recorder && dev->SRB_HaId == 0 && dev->SRB_Target == 0 && dev->SRB_Lun == 0;
        dev->SRB_DeviceType = here ? 5 : 0x1F;
        return dev->SRB_Status = here ? SS_COMP : SS_NO_DEVICE;
      }
      case SC_GET_DISK_INFO: {
        auto* info = static_cast<SRB_GetDiskInfo*>(p);
        info->SRB_Int13HDriveInfo = 3;  // D:
        return info->SRB_Status = SS_COMP;
      }
      case SC_EXEC_SCSI_CMD:
        return current->Execute(*static_cast<SRB_ExecSCSICmd*>(p));
      default:
        return header->SRB_Status = SS_INVALID_CMD;
    }
  }

 private:
  std::uint32_t Execute(SRB_ExecSCSICmd& srb) {
    {
      std::lock_guard lock(logMutex_);
      addresses.push_back({srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun});
    }
    if (!recorder || srb.SRB_HaId != 0 || srb.SRB_Target != 0 || srb.SRB_Lun != 0)
      return srb.SRB_Status = SS_NO_DEVICE;
    vrec::DataDirection dir = vrec::DataDirection::None;
    if (srb.SRB_Flags & SRB_DIR_IN) dir = vrec::DataDirection::In;
    if (srb.SRB_Flags & SRB_DIR_OUT) dir = vrec::DataDirection::Out;
    LoggedCommand entry;
    entry.cdb.assign(srb.CDBByte, srb.CDBByte + srb.SRB_CDBLen);
    entry.flags = srb.SRB_Flags;
    entry.length = srb.SRB_BufLen;
    if (dir == vrec::DataDirection::Out && srb.SRB_BufPointer)
      entry.dataOut.assign(srb.SRB_BufPointer, srb.SRB_BufPointer + srb.SRB_BufLen);
    std::span<std::uint8_t> data;
    if (srb.SRB_BufPointer) data = std::span(srb.SRB_BufPointer, srb.SRB_BufLen);
    if (intercept && intercept(srb)) {
      if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) && srb.SRB_PostProc) {
        auto* event = static_cast<AspiEvent*>(srb.SRB_PostProc);
        event->Signal(event);
      }
      return srb.SRB_Status;
    }
    vrec::CommandResult r;
    if (unsupported.count(srb.CDBByte[0])) {
      r.status = 0x02;
      r.senseLength = 18;
      r.sense[0] = 0x70, r.sense[2] = 0x05, r.sense[7] = 10, r.sense[12] = 0x20;
    } else {
      r = recorder->Execute(std::span(srb.CDBByte, srb.SRB_CDBLen), data, dir);
    }
    if (tamper && r.Good() && dir == vrec::DataDirection::In) tamper(srb.CDBByte, data.first(r.transferred));
    entry.status = r.status;
    entry.asc = r.Asc();
    {
      std::lock_guard lock(logMutex_);
      log.push_back(std::move(entry));
    }
    if (r.Good()) {
      srb.SRB_Status = SS_COMP;
    } else {
      srb.SRB_HaStat = HASTAT_OK;
      srb.SRB_TargStat = r.status;
      if (tamperSense) tamperSense(srb.CDBByte, std::span(r.sense.data(), r.senseLength));
      std::memcpy(srb.SenseArea, r.sense.data(), std::min<std::size_t>({r.senseLength, srb.SRB_SenseLen, SENSE_LEN}));
      srb.SRB_Status = SS_ERR;
    }
    if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) && srb.SRB_PostProc) {
      auto* event = static_cast<AspiEvent*>(srb.SRB_PostProc);
      event->Signal(event);
    }
    return srb.SRB_Status;
  }

  mutable std::mutex logMutex_;
};

// The drive class with its pauses taken off the wall clock: they advance the
// recorder's clock instead, so long operations finish without waiting.
class TestDevice : public TSCSIDevice {
 public:
  explicit TestDevice(vrec::ManualClock* clock) : clock_(clock) {}
  std::vector<std::uint32_t> slept;
  using TSCSIDevice::Deselect;
  using TSCSIDevice::SendCommand;

 protected:
  void SleepMs(std::uint32_t ms) override {
    slept.push_back(ms);
    if (clock_) clock_->Advance(ms);
  }

 private:
  vrec::ManualClock* clock_;
};

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-mmc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    vrec::RecorderOptions options;
    options.clock = &clock_;
    recorder_ = std::make_unique<vrec::Recorder>(dir_, 0, options);
    transport_.recorder = recorder_.get();
    RecorderTransport::current = &transport_;
    InstallTransport(&RecorderTransport::Support, &RecorderTransport::Send, kLibraryTransportName);
    device_ = std::make_unique<TestDevice>(&clock_);
  }

  void TearDown() override {
    device_.reset();
    ReleaseTransport();
    RecorderTransport::current = nullptr;
    recorder_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Inserts a medium and selects the drive.
  void Insert(vrec::MediumKind kind, vrec::InsertOptions options = {}) {
    std::string why;
    ASSERT_TRUE(recorder_->Insert(kind, options, &why)) << why;
    Select();
  }

  void Select() {
    ASSERT_FALSE(device_->Devices.empty());
    device_->SetDevice(device_->Devices.front());
    ASSERT_FALSE(device_->DeviceId.empty());
    // The first command after a medium change reports it; get past it.
    device_->TestUnitReady(5000);
    transport_.log.clear();
  }

  vrec::RecorderStatus Status() {
    std::string why;
    auto s = recorder_->Status(&why);
    EXPECT_TRUE(s.has_value()) << why;
    return s.value_or(vrec::RecorderStatus{});
  }

  // Commands with this opcode the recorder received since the log was cleared.
  std::vector<LoggedCommand> Sent(std::uint8_t opcode) const { return transport_.Sent(opcode); }

  TestDevice& dev() { return *device_; }

  vrec::ManualClock clock_;
  std::filesystem::path dir_;
  std::unique_ptr<vrec::Recorder> recorder_;
  RecorderTransport transport_;
  std::unique_ptr<TestDevice> device_;
};

}  // namespace velloran::drive::testing
