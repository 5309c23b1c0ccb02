// velloran sessions [--drive ID]: the sessions of the disc in the drive, one
// row each (number, start, size) as the disc information dialog shows them,
// then the medium and its full, used and free space.
#include "cli/commands.h"
#include "cli/drive_select.h"
#include "drive/byte_order.h"
#include "drive/mmc_reply.h"
#include "image/zbCDBC.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace velloran::cli {
namespace {

struct SessionsOptions {
  std::string drive;
};

std::string Megabytes(std::uint64_t blocks) {
  // "#,##0 Mb"
  std::string digits = std::to_string(blocks * 2048 / 1048576);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + " Mb";
}

int RunSessions(const SessionsOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran sessions: ";
  image::TZCDBurner b;
  b.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t) {
    if (globals.debug) std::cerr << text << "\n";
  };
  if (int rc = SelectDrive(b, globals, o.drive, "sessions"); rc != kExitOk) return rc;
  drive::TDisc disc{};
  if (!WaitForDisc(b) || !b.GetDiscInfo(disc) || !disc.ready) {
    std::cerr << prefix << "no disc in the drive (or the drive is not ready)\n";
    return kExitFailure;
  }
  std::printf("%-12s%10s%10s%10s\n", "Session", "Start", "LBA", "Size");
  int rows = 0;
  for (int n = disc.firstSession; n >= 1 && n <= disc.lastSession; ++n) {
    // The start is read as a block address: on a DVD a session may begin
    // beyond what the one-byte minutes of an MSF address can hold.
    alignas(8) std::array<std::uint8_t, 248> toc{};
    if (!b.ReadTOC(0, toc.data(), 0, false, static_cast<std::uint8_t>(n), 248)) continue;
    const std::uint32_t lba = be::load32(&toc[8]);
    const std::uint32_t a = lba + 150;
    char start[32];
    std::snprintf(start, sizeof start, "%u:%02u:%02u", a / 4500, a % 4500 / 75, a % 75);
    b.ReadTrackInformation(static_cast<std::uint32_t>(n));
    const std::uint32_t trackSize = b.TrackInfo.trackSize;
    alignas(8) std::array<std::uint8_t, 2048> pvd{};
    const bool read = b.Read10(lba + 16, 1, pvd.size(), pvd.data());
    const std::uint32_t volume = read ? le::load32(&pvd[80]) : 0;
    char caption[16], size[16];
    if (volume != 0) {
      const std::uint32_t blocks = trackSize != 0 ? trackSize : volume;
      std::snprintf(caption, sizeof caption, "Session%02d", n);
      std::snprintf(size, sizeof size, "%4.0f Mb", std::round(blocks * 2048.0 / 1048576.0));
    } else {
      std::snprintf(caption, sizeof caption, " Session%02d", n);
      std::snprintf(size, sizeof size, "  ???? Mb");
    }
    std::printf("%-12s%10s%10u%10s\n", caption, start, lba, size);
    ++rows;
  }
  if (rows == 0) std::printf("(no sessions: the disc is blank)\n");
  b.GetDiscInfo(disc);
  std::printf("\nMedium Type :   %s\n", drive::mmc::DiscKindNames()[b.GetDiscKind() & 15].c_str());
  std::printf("Full Capacity : %s\n", Megabytes(b.DiscCapacity()).c_str());
  std::printf("Used Space :    %s\n", Megabytes(b.NextWritableAddress()).c_str());
  std::printf("Free Space :    %s\n", Megabytes(b.FreeBlocks()).c_str());
  if (disc.discStatus == 2 && disc.erasable == 0)
    std::printf("The disc is closed (finalized): no further session can be added.\n");
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<SessionsOptions>();
  CLI::App* cmd = app.add_subcommand("sessions", "List the sessions of the disc in the drive");
  cmd->add_option("--drive", o->drive, "Drive: a device line, its A:T:L beginning, or a letter (default: the first)");
  cmd->callback([o, &globals, exitCode] { *exitCode = RunSessions(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
