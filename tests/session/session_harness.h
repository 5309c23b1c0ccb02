// The burner component wired to a virtual recorder in a temporary state
// folder (the drive tests' recorder transport), with helpers to burn a
// session, erase, export the disc and read it back with independent readers.
#pragma once

#include "drive/mmc_harness.h"
#include "image/zbCDBC.h"
#include "recording/zbWrite.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace velloran::session::testing {

namespace fs = std::filesystem;
using drive::testing::RecorderTransport;

// The component with its pauses moved onto the recorder's clock.
class TestBurner : public image::TZCDBurner {
 public:
  explicit TestBurner(vrec::ManualClock* clock) : clock_(clock) {}
  std::atomic<std::uint64_t> sleptMs{0};

 protected:
  void SleepMs(std::uint32_t ms) override {
    sleptMs += ms;
    if (clock_) clock_->Advance(ms);
  }

 private:
  vrec::ManualClock* clock_;
};

struct Message {
  std::string text;
  std::uint8_t type;
};

class BurnerTest : public ::testing::Test {
 protected:
  // Long operations of the recorder last their (short) test durations on the
  // manual clock; 0 makes them end at once (what the write thread needs, as
  // it waits for a busy drive on the wall clock).
  void StartRecorder(double timeScale) {
    char pattern[] = "/tmp/velloran-session-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    vrec::RecorderOptions options;
    options.clock = &clock_;
    options.timeScale = timeScale;
    recorder_ = std::make_unique<vrec::Recorder>(dir_ / "state", 0, options);
    transport_.recorder = recorder_.get();
    RecorderTransport::current = &transport_;
    drive::InstallTransport(&RecorderTransport::Support, &RecorderTransport::Send, drive::kLibraryTransportName);
    burner_ = std::make_unique<TestBurner>(&clock_);
    burner_->OnDebugMessage = [this](drive::TObject*, const std::string& text, std::uint8_t type) {
      std::lock_guard lock(messagesMutex_);
      messages_.push_back({text, type});
    };
  }

  void SetUp() override { StartRecorder(1.0); }

  void TearDown() override {
    burner_.reset();
    drive::ReleaseTransport();
    RecorderTransport::current = nullptr;
    recorder_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Insert(vrec::MediumKind kind, vrec::InsertOptions options = {}) {
    std::string why;
    ASSERT_TRUE(recorder_->Insert(kind, options, &why)) << why;
    auto& b = *burner_;
    ASSERT_FALSE(b.Devices.empty());
    b.SetDevice(b.Devices.front());
    ASSERT_FALSE(b.DeviceId.empty());
    b.TestUnitReady(5000);  // the medium change
    transport_.log.clear();
  }

  vrec::RecorderStatus Status() {
    std::string why;
    auto s = recorder_->Status(&why);
    EXPECT_TRUE(s.has_value()) << why;
    return s.value_or(vrec::RecorderStatus{});
  }

  // A file below the source folder of this test.
  std::string File(const std::string& rel, const std::string& content) {
    const fs::path p = dir_ / "src" / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

  // Burns the compilation as a new session; the job's error text ("" on
  // success).
  std::string Burn() {
    auto& b = *burner_;
    std::string result = "(no OnWriteDone)";
    b.OnWriteDone = [&](drive::TObject*, const std::string& error) { result = error; };
    if (b.BurnCompilation()) b.Jobs().WaitFor();
    b.OnWriteDone = nullptr;
    return result;
  }

  // Starts a fresh compilation holding the given files (path in the disc =>
  // content) and, when importSession is not 0, the files of that session.
  void Compile(const std::map<std::string, std::string>& files, std::uint16_t importSession = 0) {
    auto& b = *burner_;
    b.ResetCompilation(65535, 8191);
    for (const auto& [rel, content] : files) {
      const std::string src = File("c" + std::to_string(compiles_) + "/" + rel, content);
      const fs::path disc = fs::path("/" + rel).parent_path();
      std::string dest = disc.string();
      for (char& c : dest)
        if (c == '/') c = '\\';
      if (dest != "\\") ASSERT_NE(b.ForceDirs(dest), nullptr) << rel;
      ASSERT_EQ(b.AddFile(dest, src, false), 1) << rel;
    }
    ++compiles_;
    b.ImportSessionNo = importSession;
  }

  // The recorded disc as an image file.
  std::string Export() {
    const std::string image = (dir_ / ("disc" + std::to_string(exports_++) + ".iso")).string();
    std::string why;
    EXPECT_TRUE(recorder_->Export(image, &why)) << why;
    return image;
  }

  // Writes the expected tree to a folder and runs the independent readers
  // on the image; "" when every reader saw exactly that tree.
  std::string CheckImage(const std::string& image, const std::map<std::string, std::string>& expected,
                         std::uint32_t sessionStart, const std::string& readers) {
    const fs::path want = dir_ / ("want" + std::to_string(exports_));
    fs::remove_all(want);
    fs::create_directories(want);
    for (const auto& [rel, content] : expected) {
      fs::create_directories((want / rel).parent_path());
      std::ofstream(want / rel, std::ios::binary) << content;
    }
    const fs::path out = dir_ / "check.txt";
    std::string cmd = "/usr/bin/python3 " VELLORAN_SOURCE_DIR "/tests/tools/check_image.py '" + image + "' '" +
                      want.string() + "' --readers " + readers;
    if (sessionStart) cmd += " --session-start " + std::to_string(sessionStart);
    cmd += " > '" + out.string() + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return rc == 0 ? std::string() : (text.empty() ? "reader check failed" : text);
  }

  std::vector<Message> Messages(std::uint8_t type) {
    std::lock_guard lock(messagesMutex_);
    std::vector<Message> out;
    for (const auto& m : messages_)
      if (m.type == type) out.push_back(m);
    return out;
  }

  std::vector<drive::testing::LoggedCommand> Sent(std::uint8_t opcode) const { return transport_.Sent(opcode); }

  vrec::ManualClock clock_;
  fs::path dir_;
  std::unique_ptr<vrec::Recorder> recorder_;
  RecorderTransport transport_;
  std::unique_ptr<TestBurner> burner_;
  std::mutex messagesMutex_;
  std::vector<Message> messages_;
  int compiles_ = 0;
  int exports_ = 0;
};

}  // namespace velloran::session::testing
