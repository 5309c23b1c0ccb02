// Burning a recorder that no one here wrote, through the guest kernel's sr
// and sg drivers: Debian's tgt serves two blank DVD+R units over iSCSI, QEMU
// passes them whole to the guest (/dev/sr0 and /dev/sr1), and velloran
// burns a folder tree onto the first and a genisoimage image onto the
// second. What tgt stored lands in files on the host, where the project's
// readers (tests/tools/check_image.py: xorriso, isoinfo, 7-Zip, pycdlib)
// compare every file with its source; inside the guest the kernel's own
// ISO 9660 reader mounts each disc and every file is compared again.
//
// tgt's DVD+R turns into a DVD-ROM once its track is closed, so the burned
// disc also shows how a closed disc is listed and refused.
//
// One guest boot runs every command; the results are kept for the process.
#include "guest_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

const std::string kGuestBin = "/opt/velloran/bin";
const std::string kVelloran = kGuestBin + "/velloran";
const std::string kProbe = kGuestBin + "/velloran-drive-probe";
const std::string kTree = "/root/tree";
const std::string kImage = "/root/image.iso";
// The drives as `velloran drives` names them: target = the SCSI id QEMU
// gives each unit.
const std::string kFirst = "0:0:0";
const std::string kSecond = "0:1:0";

// Larger than the drive's buffer and the cache's blocks many times over, so
// the write loop runs long enough to meet the kernel's flow control.
constexpr std::size_t kLargeFile = 40u << 20;

void WriteFile(const fs::path& path, std::size_t size, std::uint32_t seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::string chunk(1 << 16, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t done = 0; done < size;) {
    for (auto& c : chunk) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    const std::size_t n = std::min(chunk.size(), size - done);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    done += n;
  }
}

struct Scratch {
  fs::path dir;
  std::string error;
  ~Scratch() {
    std::error_code ec;
    if (!dir.empty() && !std::getenv("VELLORAN_QEMU_KEEP")) fs::remove_all(dir, ec);
  }
  fs::path tree() const { return dir / "tree"; }
  fs::path imageSource() const { return dir / "image-source"; }
  fs::path image() const { return dir / "image.iso"; }
  fs::path disc(int n) const { return dir / ("disc" + std::to_string(n) + ".img"); }
};

// The sources, and the two media files tgt creates blank.
const Scratch& Sources() {
  static Scratch s = [] {
    Scratch s;
    s.dir = fs::temp_directory_path() / ("velloran-qemu-tgt-" + std::to_string(::getpid()));
    fs::create_directories(s.dir);
    const fs::path t = s.tree();
    WriteFile(t / "big.bin", kLargeFile, 1);
    WriteFile(t / "readme.txt", 1200, 2);
    WriteFile(t / "empty.txt", 0, 3);
    WriteFile(t / "one" / "two" / "three" / "four" / "deep.dat", 70000, 4);
    WriteFile(t / "one" / "two" / "sibling.txt", 2048, 5);
    WriteFile(t / "Ça va" / "résumé été.txt", 4097, 6);
    WriteFile(t / "naïve" / "Ünïcödé ñame.bin", 100, 7);
    fs::create_directories(t / "one" / "empty folder");
    WriteFile(s.imageSource() / "docs" / "manual.txt", 300000, 9);
    WriteFile(s.imageSource() / "data.bin", 123457, 10);
    int rc = -1;
    const std::string log = Capture("genisoimage -quiet -J -r -V TGTIMAGE -o " + ShellQuote(s.image().string()) + " " +
                                        ShellQuote(s.imageSource().string()) + " 2>&1",
                                    &rc);
    if (rc != 0) s.error = "genisoimage failed (apt-get install genisoimage): " + log;
    return s;
  }();
  return s;
}

std::string Drive(const std::string& id) { return " --drive " + id + " "; }

// Makes the guest kernel see what was burned: the sr driver keeps the
// capacity it read when the disc was blank until it notices a medium change,
// which tgt (like many drives) signals only when the tray opens.
std::string Reload(const std::string& id) {
  return "VELLORAN_PROBE_DRIVE=" + id + " " + kProbe + " eject";
}

std::string MountAndSum(const std::string& dev) {
  return "mount -t iso9660 -o ro,utf8 " + dev + " /mnt && " + TreeChecksumCommand("/mnt") +
         "; rc=$?; umount /mnt; exit $rc";
}

std::vector<Step> Steps() {
  return {
      {"drives", kVelloran + " drives"},
      {"info-blank", kVelloran + " info" + Drive(kFirst)},
      {"burn", kVelloran + " burn" + Drive(kFirst) + "--volume TGTTREE " + kTree, 300},
      {"sessions", kVelloran + " sessions" + Drive(kFirst)},
      {"burn-again", kVelloran + " burn" + Drive(kFirst) + kTree},
      {"burn-image", kVelloran + " burn-image" + Drive(kSecond) + kImage, 120},
      {"sessions-image", kVelloran + " sessions" + Drive(kSecond)},
      {"reload", Reload(kFirst) + " && " + Reload(kSecond)},
      {"mount-tree", MountAndSum("/dev/sr0")},
      {"mount-image", MountAndSum("/dev/sr1")},
      {"sources-intact", TreeChecksumCommand(kTree)},
  };
}

const GuestRun& TgtRun() {
  static std::unique_ptr<GuestRun> run;
  if (run) return *run;
  const Scratch& s = Sources();
  GuestSpec spec;
  spec.tgt = {s.disc(0).string(), s.disc(1).string()};
  spec.modules = {"isofs"};
  spec.memoryMiB = 1024;
  spec.timeoutSeconds = 600;
  spec.files = {std::string(VELLORAN_CLI) + "=" + kVelloran, std::string(VELLORAN_DRIVE_PROBE) + "=" + kProbe,
                s.tree().string() + "=" + kTree, s.image().string() + "=" + kImage};
  spec.steps = Steps();
  run = std::make_unique<GuestRun>(RunGuest(spec));
  std::printf("[ qemu     ] tgt: guest ran in %.1f s;", run->seconds);
  for (const auto& step : spec.steps)
    if ((*run)[step.name].ran) std::printf(" %s %.1f s", step.name.c_str(), (*run)[step.name].seconds);
  std::printf("\n");
  if (const char* v = std::getenv("VELLORAN_QEMU_VERBOSE"); v && *v == '1')
    for (const auto& step : spec.steps)
      std::printf("---- %s (status %d)\n%s---- stderr\n%s", step.name.c_str(), (*run)[step.name].status,
                  (*run)[step.name].out.c_str(), (*run)[step.name].err.c_str());
  return *run;
}

// The readers no one here wrote, on the host, against the source folder.
std::string CheckImage(const fs::path& image, const fs::path& source) {
  int rc = -1;
  const std::string out = Capture("/usr/bin/python3 " + ShellQuote(VELLORAN_SOURCE_DIR "/tests/tools/check_image.py") +
                                      " " + ShellQuote(image.string()) + " " + ShellQuote(source.string()) + " 2>&1",
                                  &rc);
  return rc == 0 ? std::string() : out.empty() ? "check_image.py failed" : out;
}

class TgtRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Sources().error, "");
    run_ = &TgtRun();
    if (run_->unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run_->reason;
    ASSERT_TRUE(run_->booted) << run_->reason;
  }

  const StepResult& Step(const std::string& name) {
    const StepResult& r = (*run_)[name];
    EXPECT_TRUE(r.ran) << "step " << name << " did not run";
    return r;
  }

  const GuestRun* run_ = nullptr;
};

TEST_F(TgtRecorder, DrivesListsBothUnitsThroughThePassThroughLayer) {
  const auto& r = Step("drives");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Transport: QZASPI32\n" + kFirst + ",D: IET     VIRTUAL-CDROM   0001\n" + kSecond +
                       ",E: IET     VIRTUAL-CDROM   0001\n");
}

TEST_F(TgtRecorder, InfoShowsABlankDvdPlusRWithEverythingFree) {
  const auto& r = Step("info-blank");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Kind:                11 (DVD+R)", "Disc status:         0 empty", "Next writable addr.: 0",
                           "Free blocks:         2295104 blocks"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

TEST_F(TgtRecorder, BurnedTreeReadsBackWithEveryReaderOnTheHost) {
  const auto& r = Step("burn");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Operation process done successfully."), std::string::npos) << r.out;
  EXPECT_EQ(CheckImage(Sources().disc(0), Sources().tree()), "");
}

TEST_F(TgtRecorder, BurnedTreeMountsInTheGuestAndEveryFileMatches) {
  const auto& r = Step("mount-tree");
  ASSERT_EQ(r.status, 0) << r.err << "\nreload:\n" << Step("reload").out;
  const auto expected = HostTreeChecksums(Sources().tree().string());
  ASSERT_EQ(expected.size(), 7u);
  EXPECT_EQ(ParseChecksums(r.out), expected) << r.out;
  // The sources in the guest were only read.
  EXPECT_EQ(ParseChecksums(Step("sources-intact").out), expected);
}

TEST_F(TgtRecorder, SessionsListsTheClosedDiscsOneSession) {
  const auto& r = Step("sessions");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\nSession01 +0:02:00 +0 +4[0-9] Mb\\n"))) << r.out;
  EXPECT_EQ(r.out.find("Session02"), std::string::npos) << r.out;
}

TEST_F(TgtRecorder, BurnOnTheWrittenDiscIsRefusedAndTheDiscStaysReadable) {
  const auto& r = Step("burn-again");
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_LT(r.status, 124) << "crashed or hung:\n" << r.err;
  EXPECT_NE(r.status, 2) << "usage error:\n" << r.err;
  // tgt turned the disc into a DVD-ROM when its track was closed.
  EXPECT_TRUE(std::regex_search(r.err, std::regex("not writable|no further session"))) << r.out << r.err;
  // The mount after the refusal still finds every file (the test above).
}

TEST_F(TgtRecorder, BurnedImageIsOnTheDiscByteForByte) {
  const auto& r = Step("burn-image");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string image = Capture("cat " + ShellQuote(Sources().image().string()));
  const std::string disc = Capture("head -c " + std::to_string(image.size()) + " " +
                                   ShellQuote(Sources().disc(1).string()));
  ASSERT_FALSE(image.empty());
  EXPECT_TRUE(disc == image) << "the disc's first " << image.size() << " bytes differ from the image";
  EXPECT_EQ(CheckImage(Sources().disc(1), Sources().imageSource()), "");
  EXPECT_TRUE(std::regex_search(Step("sessions-image").out, std::regex("\\nSession01 +0:02:00 +0 ")))
      << Step("sessions-image").out;

  const auto& m = Step("mount-image");
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_EQ(ParseChecksums(m.out), HostTreeChecksums(Sources().imageSource().string())) << m.out;
}

}  // namespace
}  // namespace velloran::qemu
