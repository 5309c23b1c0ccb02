// Choosing the transport and the drive for a command.
#pragma once

#include "cli/commands.h"
#include "drive/zbDrvLib.h"

#include <string>
#include <vector>

namespace velloran::cli {

// Finds the device line an id names: a whole line, its "A:T:L" or
// "A:T:L,X:" beginning, or a drive letter ("D" or "D:").
const std::string* FindDevice(const std::vector<std::string>& devices, const std::string& id);

// Chooses the transport as the desktop application does (pass-through
// first), enumerates and selects the drive (the first one when driveId is
// empty). On failure prints why, prefixed by "velloran COMMAND: ", and
// returns the exit code; kExitOk when a drive is selected.
int SelectDrive(drive::TSCSIDevice& device, const GlobalOptions& globals, const std::string& driveId,
                const std::string& command);

// Refuses a drive that another program holds (its disc mounted, a burner
// using it, its medium locked), saying who: prints why, prefixed by
// "velloran COMMAND: ", and returns kExitFailure; kExitOk when it is free.
int RefuseIfHeld(drive::TSCSIDevice& device, const std::string& command);

// A drive that is becoming ready (a disc just loaded, a close or a format
// still running) answers every question about the disc with NOT READY: the
// disc would read as missing, or as one without sessions or files. Waits
// for it (up to a minute); false when it does not become ready, with the
// reason in the device's LastSense.
bool WaitForDisc(drive::TSCSIDevice& device);

// The name of a device line's drive in messages: "D:", or "drive 0:0:0".
std::string DriveNameOfLine(const std::string& line);

}  // namespace velloran::cli
