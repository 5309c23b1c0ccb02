#include "cli/drive_select.h"

#include "drive/zbASPI.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace velloran::cli {

const std::string* FindDevice(const std::vector<std::string>& devices, const std::string& id) {
  for (const auto& line : devices) {
    if (line == id) return &line;
    if (id.size() >= 5 && line.compare(0, id.size(), id) == 0) return &line;
    const auto comma = line.find(',');
    if (comma != std::string::npos && comma + 1 < line.size() && !id.empty() && id.size() <= 2 &&
        std::toupper(static_cast<unsigned char>(id[0])) == line[comma + 1] && (id.size() == 1 || id[1] == ':'))
      return &line;
  }
  return nullptr;
}

int SelectDrive(drive::TSCSIDevice& d, const GlobalOptions& globals, const std::string& driveId,
                const std::string& command) {
  const std::string prefix = "velloran " + command + ": ";
  // Drives that could not be listed say why (no permission, held by
  // another program) whenever the one asked for is not there.
  auto notes = [&] {
    for (const auto& note : d.DriveNotes) std::cerr << prefix << note << "\n";
  };
  if (!d.InitializeASPI(true, globals.aspiLibrary)) {
    std::cerr << prefix
              << "no SCSI transport: no optical drive answered through /dev/sr* and no ASPI library\n"
                 "(wnaspi32.so) was found beside the program or on the library path.\n";
    notes();
    return kExitNoDrive;
  }
  if (d.Devices.empty()) {
    std::cerr << prefix << "no CD/DVD drive found.\n";
    notes();
    return kExitNoDrive;
  }
  const std::string* line = driveId.empty() ? &d.Devices.front() : FindDevice(d.Devices, driveId);
  if (!line) {
    std::cerr << prefix << "no drive \"" << driveId << "\"; `velloran drives` lists them.\n";
    notes();
    return kExitNoDrive;
  }
  d.SetDevice(*line);
  if (d.DeviceId.empty()) {
    std::cerr << prefix << *line << " is not a usable CD/DVD drive.\n";
    return kExitNoDrive;
  }
  return kExitOk;
}

int RefuseIfHeld(drive::TSCSIDevice& d, const std::string& command) {
  const std::string held = d.HeldElsewhere();
  if (held.empty()) return kExitOk;
  std::cerr << "velloran " << command << ": " << held << "\n";
  return kExitFailure;
}

std::string DriveNameOfLine(const std::string& line) {
  const auto comma = line.find(',');
  if (comma != std::string::npos && comma + 2 < line.size() && line[comma + 1] >= 'A' && line[comma + 1] <= 'Z' &&
      line[comma + 2] == ':')
    return line.substr(comma + 1, 2);
  return "drive " + line.substr(0, std::min(comma, line.size()));
}

bool WaitForDisc(drive::TSCSIDevice& device) {
  return device.WaitForDrive(60000, 500) == drive::TSCSIDevice::TWaitResult::Ready;
}

}  // namespace velloran::cli
