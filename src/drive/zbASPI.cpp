#include "drive/zbASPI.h"

#include "drive/zbSPTI.h"
#include "platform/process.h"
#include "platform/scsi_system.h"

#include <dlfcn.h>

#include <mutex>

namespace velloran::drive {

TGetASPI32SupportInfo GetASPI32SupportInfo = nullptr;
TSendASPI32Command SendASPI32Command = nullptr;

namespace {

struct TransportState {
  std::recursive_mutex mutex;
  void* library = nullptr;
  TGetASPI32DevicePath devicePath = nullptr;  // optional export of the library
  bool passThrough = false;
  std::string name;
  bool preferPassThrough = true;
};

TransportState& State() {
  static TransportState state;
  return state;
}

void UsePassThrough(TransportState& s) {
  GetASPI32SupportInfo = PassThroughSupportInfo;
  SendASPI32Command = PassThroughSendCommand;
  s.passThrough = true;
  s.name = kPassThroughTransportName;
}

// Loads one candidate; true when it exports both entry points.
bool TryLoadLibrary(TransportState& s, const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return false;
  auto support = reinterpret_cast<TGetASPI32SupportInfo>(::dlsym(handle, "GetASPI32SupportInfo"));
  auto send = reinterpret_cast<TSendASPI32Command>(::dlsym(handle, "SendASPI32Command"));
  if (!support || !send) {
    // A library without the entry points would crash the first command.
    ::dlclose(handle);
    return false;
  }
  s.library = handle;
  s.devicePath = reinterpret_cast<TGetASPI32DevicePath>(::dlsym(handle, "GetASPI32DevicePath"));
  GetASPI32SupportInfo = support;
  SendASPI32Command = send;
  s.name = kLibraryTransportName;
  return true;
}

bool LoadLibrary(TransportState& s, const std::string& path) {
  if (!path.empty() && TryLoadLibrary(s, path)) return true;
  // Beside the program, then through the loader's search path. Never the
  // working directory: a library planted there would run as the user.
  std::string dir = platform::ExecutableDir();
  if (!dir.empty() && TryLoadLibrary(s, dir + "/" + kAspiLibraryFile)) return true;
  // Where an installed tree keeps it: PREFIX/lib/velloran beside PREFIX/bin.
  if (!dir.empty() && TryLoadLibrary(s, dir + "/../lib/velloran/" + kAspiLibraryFile)) return true;
  return TryLoadLibrary(s, kAspiLibraryFile);
}

}  // namespace

bool ASPIInitialized() {
  std::lock_guard lock(State().mutex);
  return SendASPI32Command != nullptr;
}

std::string TransportName() {
  std::lock_guard lock(State().mutex);
  return State().name;
}

bool SelectTransport(bool preferPassThrough, const std::string& libraryPath) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  bool chosen = SendASPI32Command != nullptr;
  if (!chosen && preferPassThrough && PassThroughInit() > 0) {
    UsePassThrough(s);
    chosen = true;
  }
  if (!chosen) chosen = LoadLibrary(s, libraryPath);
  if (!chosen) {
    PassThroughDone();
    if (PassThroughInit() > 0) {
      UsePassThrough(s);
      chosen = true;
    } else {
      PassThroughDone();
    }
  }
  if (chosen) GetASPI32SupportInfo();
  s.preferPassThrough = preferPassThrough;
  return chosen;
}

bool UnloadASPILibrary() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.library) return false;
  if (!s.passThrough) {
    GetASPI32SupportInfo = nullptr;
    SendASPI32Command = nullptr;
    s.name.clear();
  }
  ::dlclose(s.library);
  s.library = nullptr;
  s.devicePath = nullptr;
  return true;
}

void ReleaseTransport() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (s.passThrough) PassThroughDone();
  s.passThrough = false;
  UnloadASPILibrary();
  GetASPI32SupportInfo = nullptr;
  SendASPI32Command = nullptr;
  s.name.clear();
}

bool ReloadTransport() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  bool prefer = s.preferPassThrough;
  ReleaseTransport();
  SelectTransport(prefer, {});
  return true;
}

std::string TransportDevicePath(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (s.passThrough) {
    const auto& table = PassThroughTable();
    for (int i = 0; i < 27; ++i) {
      const auto& d = table.drives[i];
      if (d.present && d.adapter == adapter && d.target == target && d.lun == lun)
        return platform::CurrentScsiSystem().UsePath(platform::OpticalNodeForLetter(static_cast<char>('A' + i)));
    }
    return {};
  }
  if (!s.devicePath) return {};
  char path[4096] = {};
  const std::uint32_t n = s.devicePath(adapter, target, lun, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

void InstallTransport(TGetASPI32SupportInfo support, TSendASPI32Command send, const std::string& name) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  ReleaseTransport();
  GetASPI32SupportInfo = support;
  SendASPI32Command = send;
  s.name = name;
}

}  // namespace velloran::drive
