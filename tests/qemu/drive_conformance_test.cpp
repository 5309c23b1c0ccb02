// Conformance of the pass-through layer and the commands above it with real
// kernel device nodes and a drive model nobody here wrote: QEMU's ide-cd
// (on PIIX IDE and on AHCI) and scsi-cd (on virtio-scsi), each with a CD-size
// image, a DVD-size image and no medium. The drive is read-only: it shows how
// detection, disc information and every refusal path behave.
//
// One guest boot per bus and medium runs every command the tests below read
// (see StepsFor); the results are kept for the whole process.
#include "guest_run.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include <unistd.h>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

// Where the programs live in the guest: a folder of their own, holding no
// wnaspi32.so, so the transport can only be the pass-through layer.
const std::string kGuestBin = "/opt/velloran/bin";
const std::string kVelloran = kGuestBin + "/velloran";
const std::string kProbe = kGuestBin + "/velloran-drive-probe";

// QEMU sizes: a medium above 360,000 blocks is a DVD; the harness pads the
// DVD image to a single-layer DVD-5.
constexpr std::uint64_t kDvdBytes = 4700372992;

struct Combo {
  Bus bus;
  Medium medium;
};

std::string ComboName(const Combo& c) { return std::string(BusName(c.bus)) + "_" + MediumName(c.medium); }
void PrintTo(const Combo& c, std::ostream* os) { *os << ComboName(c); }

// --- Host-side preparation ----------------------------------------------------

// The subcommands `velloran --help` lists.
bool HasCommand(const std::string& name) {
  static const std::string help = Capture(ShellQuote(VELLORAN_CLI) + " --help 2>&1");
  return std::regex_search(help, std::regex("\\n\\s+" + name + "\\s"));
}

// Whether `velloran COMMAND --help` lists an option.
bool HasOption(const std::string& command, const std::string& option) {
  if (!HasCommand(command)) return false;
  const std::string help = Capture(ShellQuote(VELLORAN_CLI) + " " + command + " --help 2>&1");
  return help.find(option) != std::string::npos;
}

struct TestImage {
  std::string path;
  std::uint64_t blocks = 0;
  std::string error;
};

// Removes the image's folder when the process ends.
struct ScratchFolder {
  fs::path dir;
  ~ScratchFolder() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

// A small ISO 9660 image made by a reader-independent tool (genisoimage or
// xorriso); the guest sees it as a pressed CD-ROM, or padded as a DVD-ROM.
const TestImage& Image() {
  static ScratchFolder scratch;
  static const TestImage image = [] {
    TestImage t;
    const fs::path dir = fs::temp_directory_path() / ("velloran-qemu-image-" + std::to_string(::getpid()));
    scratch.dir = dir;
    fs::create_directories(dir / "tree" / "docs");
    {
      std::FILE* f = std::fopen((dir / "tree" / "docs" / "readme.txt").c_str(), "w");
      if (f) {
        // About 3 MB, so sizes in megabytes are not all 0.
        for (int i = 0; i < 90000; ++i) std::fprintf(f, "line %07d of the conformance image\n", i);
        std::fclose(f);
      }
    }
    t.path = (dir / "test.iso").string();
    const std::string tree = ShellQuote((dir / "tree").string());
    int rc = -1;
    const std::string log = Capture("(genisoimage -quiet -J -r -V CONFORMANCE -o " + ShellQuote(t.path) + " " +
                                        tree + " || xorriso -as mkisofs -quiet -J -r -V CONFORMANCE -o " +
                                        ShellQuote(t.path) + " " + tree + ") 2>&1",
                                    &rc);
    std::error_code ec;
    const auto size = fs::file_size(t.path, ec);
    if (rc != 0 || ec || size == 0 || size % 2048 != 0)
      t.error = "cannot make the test image (genisoimage or xorriso): " + log;
    else
      t.blocks = size / 2048;
    return t;
  }();
  return image;
}

// --- The batch each guest runs ------------------------------------------------

std::vector<Step> StepsFor(const Combo& c) {
  std::vector<Step> s = {
      {"beside", "ls -a " + kGuestBin},
      {"aspi-libraries", "find / -xdev -name 'wnaspi32*'"},
      {"scsi-devices", "ls /sys/class/scsi_device"},
      {"drives", kVelloran + " drives"},
      {"info", kVelloran + " info"},
      {"read", kProbe + " read"},
      {"refusals", kProbe + " refusals"},
      {"lock", kProbe + " lock"},
      {"prevent-then-exit", kProbe + " prevent"},
      {"eject-after-exit", kProbe + " eject"},
  };
  // Commands that later work adds to the CLI; their tests skip until then.
  // The user's files to burn, with a checksum to compare afterwards.
  const std::string userFiles =
      "mkdir -p /root/user/sub && echo precious >/root/user/a.txt && seq 1 5000 >/root/user/sub/b.txt && "
      "md5sum /root/user/a.txt /root/user/sub/b.txt >/root/user.md5";
  if (HasCommand("eject")) {
    // Another program holds the medium lock while velloran ejects; then
    // the probe reports the tray's state and closes it again.
    s.push_back({"cli-eject-while-locked",
                 kProbe + " hold 30 >/tmp/hold & holder=$!; i=0; "
                          "until grep -q '^prevent: ok' /tmp/hold || [ $i -ge 100 ]; do usleep 100000; i=$((i+1)); done; " +
                     kVelloran + " eject; rc=$?; kill $holder; wait; sed 's/^/holder-/' /tmp/hold; " +
                     "echo \"holder-pid: $holder\"; " + kProbe + " state; exit $rc"});
  }
  if (c.medium != Medium::kNone) {
    // The kernel mounts the disc (isofs): every command that would touch it
    // says where it is mounted and how to unmount it.
    s.push_back({"mount", "mount -t iso9660 -o ro /dev/sr0 /mnt"});
    s.push_back({"drives-mounted", kVelloran + " drives"});
    s.push_back({"info-mounted", kVelloran + " info"});
    s.push_back({"burn-mounted", userFiles + " && " + kVelloran + " burn /root/user"});
    s.push_back({"erase-mounted", kVelloran + " erase"});
    s.push_back({"eject-mounted", kVelloran + " eject; rc=$?; " + kProbe + " state; exit $rc"});
    s.push_back({"umount", "umount /mnt"});
  }
  // A user who may not open the drive's node is told which group to join.
  s.push_back({"no-permission", "chgrp cdrom /dev/sr0 && chmod 660 /dev/sr0 && "
                                "echo 'ann:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd && su ann -c '" +
                                    kVelloran + " burn /tmp'"});
  if (HasCommand("sessions")) s.push_back({"sessions", kVelloran + " sessions"});
  if (HasCommand("burn")) {
    s.push_back({"burn", userFiles + " && " + kVelloran + " burn /root/user"});
    s.push_back({"files-after-burn", "md5sum -c /root/user.md5"});
  }
  if (HasOption("burn", "--import")) {
    // Reads the pressed disc's session through SG_IO before the refusal.
    s.push_back({"burn-import", userFiles + " && " + kVelloran + " burn --import last /root/user"});
    s.push_back({"files-after-import", "md5sum -c /root/user.md5"});
  }
  if (HasCommand("erase")) s.push_back({"erase", kVelloran + " erase"});
  if (HasCommand("eject")) s.push_back({"cli-eject", kVelloran + " eject"});
  s.push_back({"still-runs", kVelloran + " drives"});
  return s;
}

// One boot per combination, shared by every test of the process.
const GuestRun& RunFor(const Combo& c) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<GuestRun>> runs;
  std::lock_guard lock(mutex);
  auto& slot = runs[ComboName(c)];
  if (!slot) {
    GuestSpec spec;
    spec.bus = c.bus;
    spec.medium = c.medium;
    if (c.medium != Medium::kNone) {
      if (!Image().error.empty()) {
        slot = std::make_unique<GuestRun>();
        slot->reason = Image().error;
        return *slot;
      }
      spec.image = Image().path;
    }
    spec.files = {std::string(VELLORAN_CLI) + "=" + kVelloran, std::string(VELLORAN_DRIVE_PROBE) + "=" + kProbe};
    if (c.medium != Medium::kNone) spec.modules = {"isofs"};
    spec.steps = StepsFor(c);
    slot = std::make_unique<GuestRun>(RunGuest(spec));
    std::printf("[ qemu     ] %s: guest ran in %.1f s;", ComboName(c).c_str(), slot->seconds);
    for (const auto& step : spec.steps) {
      const StepResult& r = (*slot)[step.name];
      if (r.ran) std::printf(" %s %.1f s", step.name.c_str(), r.seconds);
    }
    std::printf("\n");
    // VELLORAN_QEMU_VERBOSE=1 shows what every command printed.
    if (const char* v = std::getenv("VELLORAN_QEMU_VERBOSE"); v && *v == '1') {
      for (const auto& step : spec.steps) {
        const StepResult& r = (*slot)[step.name];
        std::printf("---- %s (status %d)\n%s---- stderr\n%s", step.name.c_str(), r.status, r.out.c_str(),
                    r.err.c_str());
      }
    }
  }
  return *slot;
}

// --- Expectations per drive model ---------------------------------------------

bool IsScsi(const Combo& c) { return c.bus == Bus::kScsi; }

// INQUIRY product: ide-cd calls itself a DVD-ROM, scsi-cd a CD-ROM.
std::string Product(const Combo& c) { return IsScsi(c) ? "QEMU CD-ROM     " : "QEMU DVD-ROM    "; }

std::uint64_t ExpectedBlocks(const Combo& c) {
  return c.medium == Medium::kDvd ? kDvdBytes / 2048 : Image().blocks;
}

class DriveConformance : public ::testing::TestWithParam<Combo> {
 protected:
  void SetUp() override {
    run_ = &RunFor(GetParam());
    // CTest reports this phrase as a skip (SKIP_REGULAR_EXPRESSION).
    if (run_->unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run_->reason;
    ASSERT_TRUE(run_->booted) << run_->reason;
  }

  const StepResult& Step(const std::string& name) {
    const StepResult& r = (*run_)[name];
    EXPECT_TRUE(r.ran) << "step " << name << " did not run";
    return r;
  }

  // Fails unless the step ended by itself: not by a signal (a crash) and not
  // by the guest's timeout (a hang).
  static void ExpectEndedCleanly(const StepResult& r) {
    EXPECT_LT(r.status, 124) << "crashed or hung; stderr:\n" << r.err;
  }

  const Combo& combo() const { return GetParam(); }
  bool HasMedium() const { return GetParam().medium != Medium::kNone; }

  const GuestRun* run_ = nullptr;
};

TEST_P(DriveConformance, GuestHasNoAspiLibrarySoThePassThroughLayerIsUsed) {
  const auto& beside = Step("beside");
  EXPECT_EQ(beside.status, 0);
  EXPECT_NE(beside.out.find("velloran"), std::string::npos) << beside.out;
  EXPECT_EQ(beside.out.find("wnaspi32"), std::string::npos) << beside.out;
  EXPECT_EQ(Step("aspi-libraries").out, "");
}

TEST_P(DriveConformance, DrivesListsTheDriveWithItsAddressAndInquiryText) {
  const auto& r = Step("drives");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string line = "0:0:0,D: QEMU    " + Product(combo()) + "2.5+";
  EXPECT_EQ(r.out, "Transport: QZASPI32\n" + line + "\n") << r.err;
}

TEST_P(DriveConformance, AdaptersAreNumberedCompactlyFromTheKernelHostNumbers) {
  // PIIX registers two ATA hosts and the drive sits on the second, so the
  // kernel calls it host 1; AHCI puts it on port 0 of six; virtio-scsi has
  // one host. The device line always says adapter 0.
  const auto& sys = Step("scsi-devices");
  const std::string expected = combo().bus == Bus::kIde ? "1:0:0:0" : "0:0:0:0";
  EXPECT_EQ(sys.out, expected + "\n");
  EXPECT_EQ(Step("drives").out.find("\n0:0:0,D: "), std::string("Transport: QZASPI32").size())
      << Step("drives").out;
}

TEST_P(DriveConformance, InfoIdentifiesTheDriveAndItsReadCapabilities) {
  const auto& r = Step("info");
  ExpectEndedCleanly(r);
  EXPECT_NE(r.out.find("Drive: 0:0:0,D: QEMU    " + Product(combo()) + "2.5+"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Device type:         5 (CD/DVD)"), std::string::npos) << r.out;
  // Page 2Ah byte 2 = 3Bh: CD-R, CD-RW, DVD-ROM, DVD-R(W) and DVD-RAM reads;
  // byte 3 = 0: no write capability, whatever the medium.
  for (const char* bit : {"ReadCDR", "ReadCDRW", "ReadDVD", "ReadDVDR", "ReadDVDRW", "ReadDVDRAM"})
    EXPECT_NE(r.out.find(std::string("[x] ") + bit + "\n"), std::string::npos) << bit << "\n" << r.out;
  for (const char* bit : {"WriteCDR", "WriteCDRW", "WriteTest", "WriteDVDR", "WriteDVDRW", "WriteDVDRAM",
                          "WriteDVDPR", "WriteDVDPRW", "UnderrunProtection", "ReadMethod2"})
    EXPECT_NE(r.out.find(std::string("[ ] ") + bit + "\n"), std::string::npos) << bit << "\n" << r.out;
  EXPECT_NE(r.out.find("Capabilities: 0000007Bh"), std::string::npos) << r.out;
}

TEST_P(DriveConformance, InfoNamesTheMediumFromTheProfileWithTheImagesSize) {
  const auto& r = Step("info");
  ExpectEndedCleanly(r);
  if (!HasMedium()) {
    // The empty tray answers at once: no waiting for a medium to spin up.
    EXPECT_LT(r.seconds, 10.0);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Medium:\n  none\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("no medium in the drive"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("MEDIUM NOT PRESENT"), std::string::npos) << r.err;
    return;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  const bool dvd = combo().medium == Medium::kDvd;
  EXPECT_NE(r.out.find(dvd ? "Kind:                4 (DVD-ROM)" : "Kind:                1 (CD-ROM)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(dvd ? "Profile:             0010h DVD-ROM" : "Profile:             0008h CD-ROM"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Erasable:            no\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Disc status:         2 complete"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sessions:            1 recorded (TOC: sessions 1 to 1)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Block size:          2048 bytes"), std::string::npos) << r.out;
  const std::string blocks = std::to_string(ExpectedBlocks(combo())) + " blocks";
  EXPECT_NE(r.out.find("Size:                " + blocks), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Capacity (record):   " + blocks), std::string::npos) << r.out;
  // A pressed disc has nothing left to write.
  EXPECT_NE(r.out.find("Free blocks:         0 blocks"), std::string::npos) << r.out;
}

TEST_P(DriveConformance, ReadsCapacityVolumeDescriptorAndSessionsThroughSgIo) {
  if (!HasMedium()) GTEST_SKIP() << "nothing to read without a medium";
  const auto kv = KeyValues(Step("read").out);
  EXPECT_EQ(kv.at("read-capacity"), "ok");
  EXPECT_EQ(kv.at("last-lba"), std::to_string(ExpectedBlocks(combo()) - 1));
  EXPECT_EQ(kv.at("block-size"), "2048");
  EXPECT_EQ(kv.at("pvd-id"), "CD001");
  EXPECT_EQ(kv.at("volume-space-size"), std::to_string(Image().blocks));
  // ide-cd ignores the format in byte 2 and answers format 0 unless asked
  // the SFF-8020 way; the session reply must still be a session reply.
  EXPECT_EQ(kv.at("toc-sessions"), "ok");
  EXPECT_EQ(kv.at("toc-sessions-reply"), "10 1 1");
  // No ATIP on a pressed disc: a substituted TOC must not pass for one.
  EXPECT_NE(kv.at("atip").rfind("failed", 0), std::string::npos) << kv.at("atip");
}

TEST_P(DriveConformance, RefusedCommandsCarryTheDrivesSenseInEitherFormat) {
  const auto kv = KeyValues(Step("refusals").out);
  // ide-cd sets the VALID bit (F0h), scsi-cd does not (70h); both decode.
  const std::string format = IsScsi(combo()) ? "sense=70" : "sense=F0";
  const bool scsiEmpty = IsScsi(combo()) && !HasMedium();
  const std::string notPresent = format + " key=02 asc=3A ascq=00 error=NOT READY (MEDIUM NOT PRESENT)";
  const std::string invalidOpcode =
      format + " key=05 asc=20 ascq=00 error=ILLEGAL REQUEST (INVALID COMMAND OPERATION CODE)";
  std::string write = "failed " + invalidOpcode;
  if (IsScsi(combo())) write = "failed " + format + " key=07 asc=27 ascq=00 error=DATA PROTECT (WRITE PROTECTED)";
  if (scsiEmpty) write = "failed " + notPresent;
  EXPECT_EQ(kv.at("write10"), write);
  for (const char* name : {"blank", "track-info", "format-capacities", "close-session"})
    EXPECT_EQ(kv.at(name), "failed " + (scsiEmpty ? notPresent : invalidOpcode)) << name;
}

TEST_P(DriveConformance, PreventedRemovalRefusesEjectUntilAllowed) {
  const auto kv = KeyValues(Step("lock").out);
  EXPECT_EQ(kv.at("prevent"), "ok");
  // ide-cd: 2/53/00 (5/53/00 when empty); scsi-cd: 5/53/02 (2/53/02 when
  // empty). Either way the lock held across our commands.
  const std::string refused = kv.at("eject-while-prevented");
  EXPECT_NE(refused.find(" asc=53 "), std::string::npos) << refused;
  EXPECT_EQ(kv.at("allow"), "ok");
  EXPECT_EQ(kv.at("eject"), "ok");
  EXPECT_NE(kv.at("ready-after-eject").find("asc=3A"), std::string::npos) << kv.at("ready-after-eject");
  EXPECT_EQ(kv.at("load"), "ok");
  if (HasMedium()) {
    EXPECT_EQ(kv.at("ready-after-load"), "ok");
  }
}

TEST_P(DriveConformance, KernelReleasesTheLockWhenTheLastHandleCloses) {
  // The probe prevents removal and exits without allowing it: its handle
  // closes and the sr driver sends ALLOW MEDIUM REMOVAL, so the next
  // program may eject.
  EXPECT_EQ(KeyValues(Step("prevent-then-exit").out).at("prevent"), "ok");
  const auto kv = KeyValues(Step("eject-after-exit").out);
  EXPECT_EQ(kv.at("eject"), "ok");
  EXPECT_EQ(kv.at("load"), "ok");
}

TEST_P(DriveConformance, SessionsListsThePressedDiscsOneSession) {
  if (!HasCommand("sessions")) GTEST_SKIP() << "velloran has no 'sessions' command yet";
  const auto& r = Step("sessions");
  ExpectEndedCleanly(r);
  if (!HasMedium()) {
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("no (disc|medium)"))) << r.err;
    return;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  // One session at block 0 (MSF 0:02:00), as large as the ISO volume.
  const long mb = std::lround(Image().blocks * 2048.0 / 1048576.0);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\nSession01 +0:02:00 +0 +" + std::to_string(mb) + " Mb\\n")))
      << r.out;
  EXPECT_EQ(r.out.find("Session02"), std::string::npos) << r.out;
}

// A burn or erase on this drive can only fail: it must say why in the drive's
// own words, end normally and leave the user's files as they were.
void ExpectCleanRefusal(const StepResult& r) {
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_NE(r.status, 2) << "usage error: the test's command line is out of date\n" << r.err;
  EXPECT_LT(r.status, 124) << "crashed or hung:\n" << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex("ILLEGAL REQUEST|DATA PROTECT|NOT READY|no (disc|medium)|"
                                                  "not writable|not rewritable|read-only|CD-ROM|DVD-ROM")))
      << r.err;
}

TEST_P(DriveConformance, BurnOnTheReadOnlyDriveFailsCleanly) {
  if (!HasCommand("burn")) GTEST_SKIP() << "velloran has no 'burn' command yet";
  ExpectCleanRefusal(Step("burn"));
  EXPECT_EQ(Step("files-after-burn").status, 0) << Step("files-after-burn").out;
}

TEST_P(DriveConformance, BurnWithImportOnTheReadOnlyDriveFailsCleanly) {
  if (!HasOption("burn", "--import")) GTEST_SKIP() << "velloran burn has no --import yet";
  const auto& r = Step("burn-import");
  ExpectCleanRefusal(r);
  // The pressed disc's folder and file come in before the drive refuses.
  if (HasMedium()) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex("Imported 2 files and folders from session 1"))) << r.out << r.err;
  }
  EXPECT_EQ(Step("files-after-import").status, 0) << Step("files-after-import").out;
}

TEST_P(DriveConformance, EraseOnTheReadOnlyDriveFailsCleanly) {
  if (!HasCommand("erase")) GTEST_SKIP() << "velloran has no 'erase' command yet";
  ExpectCleanRefusal(Step("erase"));
}

TEST_P(DriveConformance, CliEjectOpensTheTray) {
  if (!HasCommand("eject")) GTEST_SKIP() << "velloran has no 'eject' command yet";
  const auto& r = Step("cli-eject");
  ExpectEndedCleanly(r);
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_P(DriveConformance, CliEjectWhileAnotherProgramHoldsTheLockSaysWhatHappened) {
  if (!HasCommand("eject")) GTEST_SKIP() << "velloran has no 'eject' command yet";
  const auto& r = Step("cli-eject-while-locked");
  ExpectEndedCleanly(r);
  const auto kv = KeyValues(r.out);
  ASSERT_EQ(kv.count("holder-prevent"), 1u) << r.out;
  EXPECT_EQ(kv.at("holder-prevent"), "ok");
  // The holder keeps the node open: the eject leaves its lock alone, names
  // it, and the disc stays in.
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("velloran eject: D: is in use by process " + kv.at("holder-pid") + " (velloran-drive-)"),
            std::string::npos)
      << r.err;
  if (HasMedium()) {
    EXPECT_EQ(kv.at("ready"), "ok");
  }
}

TEST_P(DriveConformance, EveryCommandNamesTheMountOfTheDisc) {
  if (!HasMedium()) GTEST_SKIP() << "nothing to mount without a medium";
  ASSERT_EQ(Step("mount").status, 0) << Step("mount").err;
  const std::string sentence = "The disc in D: is mounted at /mnt: unmount it first (umount /mnt)";
  EXPECT_NE(Step("drives-mounted").out.find("\n  " + sentence + "\n"), std::string::npos) << Step("drives-mounted").out;
  EXPECT_EQ(Step("info-mounted").status, 0) << Step("info-mounted").err;
  EXPECT_NE(Step("info-mounted").out.find("  In use:              " + sentence + "\n"), std::string::npos)
      << Step("info-mounted").out;
  for (const char* command : {"burn", "erase", "eject"}) {
    const auto& r = Step(std::string(command) + "-mounted");
    EXPECT_EQ(r.status, 1) << command << ": " << r.err;
    EXPECT_NE(r.err.find("velloran " + std::string(command) + ": " + sentence + "\n"), std::string::npos)
        << command << ": " << r.err;
  }
  EXPECT_EQ(KeyValues(Step("eject-mounted").out).at("ready"), "ok");  // the disc is still in
  EXPECT_EQ(Step("umount").status, 0) << Step("umount").err;
}

TEST_P(DriveConformance, AUserWithoutAccessIsToldWhichGroupToJoin) {
  const auto& r = Step("no-permission");
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("velloran burn: CANNOT OPEN /dev/sr0: PERMISSION DENIED (ADD THE USER TO THE GROUP 'cdrom' THAT OWNS THE "
                       "DEVICE)"),
            std::string::npos)
      << r.err;
}

TEST_P(DriveConformance, ProgramStillWorksAfterEveryRefusal) {
  const auto& r = Step("still-runs");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(",D: QEMU"), std::string::npos) << r.out;
}

std::vector<Combo> AllCombos() {
  std::vector<Combo> all;
  for (Bus b : {Bus::kIde, Bus::kSata, Bus::kScsi})
    for (Medium m : {Medium::kCd, Medium::kDvd, Medium::kNone}) all.push_back({b, m});
  return all;
}

INSTANTIATE_TEST_SUITE_P(Qemu, DriveConformance, ::testing::ValuesIn(AllCombos()),
                         [](const ::testing::TestParamInfo<Combo>& i) { return ComboName(i.param); });

}  // namespace
}  // namespace velloran::qemu
