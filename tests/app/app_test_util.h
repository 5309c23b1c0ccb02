// The main window on a virtual recorder: each test gets its own state folder
// and settings folder, the recorder served as the process's ASPI transport,
// and the person in front of the window replaced by scripted answers.
#pragma once

#include "app/globals.h"
#include "app/main_form.h"
#include "app/ui_hooks.h"
#include "drive/mmc_harness.h"
#include "drive/zbASPI.h"
#include "vrec/recorder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Readable failures for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace velloran::app::testing {

namespace fs = std::filesystem;

// The recorder serves the window as the process's ASPI transport through the
// drive tests' recorder transport (drive/mmc_harness.h), which also logs
// the command blocks.
using drive::testing::RecorderTransport;

// Write speeds (kB/s) that SET CD SPEED asked for since the log was cleared.
inline std::vector<int> SpeedsSet(const RecorderTransport& transport) {
  std::vector<int> speeds;
  for (const auto& c : transport.Sent(0xBB)) speeds.push_back(c.cdb[4] << 8 | c.cdb[5]);
  return speeds;
}

struct ShownMessage {
  MsgKind kind;
  QString text;
  QString reason;
  QString details;
  QMessageBox::StandardButton defaultButton;
  QMessageBox::StandardButtons buttons;
};

class MainWindowTest : public ::testing::Test {
 protected:
  // Set before SetUp (in the test's constructor) to start without a drive.
  bool withRecorder_ = true;
  bool withTransport_ = true;

  void SetUp() override {
    char pattern[] = "/tmp/velloran-gui-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "recorders");
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "src");
    ::setenv("VELLORAN_RECORDER_DIR", (dir_ / "recorders").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    GlobalVars() = TGlobalVars{};

    if (withRecorder_) {
      recorder_ = std::make_unique<vrec::Recorder>(dir_ / "recorders", 0);
      transport_.recorder = recorder_.get();
    }
    RecorderTransport::current = &transport_;
    if (withTransport_)
      drive::InstallTransport(&RecorderTransport::Support, &RecorderTransport::Send, drive::kLibraryTransportName);

    Hooks().message = [this](QWidget*, const Message& m) {
      messages_.push_back({m.kind, m.text, m.reason, m.details, m.defaultButton, m.buttons});
      return answer_;
    };
    Hooks().modal = [this](QDialog* dialog) {
      ++modalCount_;
      if (!onModal_) return static_cast<int>(QDialog::Rejected);
      return onModal_(dialog);
    };
    Hooks().openUrl = [this](const QUrl& url) {
      opened_.push_back(url);
      return true;
    };
    Hooks().notify = [this](const QString& text, bool failure) {
      notified_.push_back({text, failure});
      return true;
    };
    Hooks().active = [this] { return windowActive_; };
  }

  void TearDown() override {
    window_.reset();
    // Back to the run's own folder, which outlives the test's.
    if (const char* base = std::getenv("VELLORAN_TEST_CONFIG_HOME")) ::setenv("XDG_CONFIG_HOME", base, 1);
    drive::ReleaseTransport();
    RecorderTransport::current = nullptr;
    recorder_.reset();
    RestoreDefaultHooks();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Insert(vrec::MediumKind kind, vrec::InsertOptions options = {}) {
    std::string why;
    ASSERT_TRUE(recorder_->Insert(kind, options, &why)) << why;
  }

  // Creates and shows the main window (its first show starts it up).
  Tfrmmain& Start() {
    window_ = std::make_unique<Tfrmmain>();
    window_->show();
    return *window_;
  }
  Tfrmmain& w() { return *window_; }

  vrec::RecorderStatus Status() {
    std::string why;
    auto s = recorder_->Status(&why);
    EXPECT_TRUE(s.has_value()) << why;
    return s.value_or(vrec::RecorderStatus{});
  }

  fs::path WriteFile(const fs::path& relative, std::size_t bytes, char fill = 'x') {
    const fs::path p = dir_ / "src" / relative;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << std::string(bytes, fill);
    return p;
  }
  // A file of the given size that takes no space (its size is all that is read).
  fs::path SparseFile(const fs::path& relative, std::int64_t bytes) {
    const fs::path p = dir_ / "src" / relative;
    fs::create_directories(p.parent_path());
    { std::ofstream out(p, std::ios::binary); }
    fs::resize_file(p, static_cast<std::uintmax_t>(bytes));
    return p;
  }
  QString Src() const { return QString::fromStdString((dir_ / "src").string()); }

  // Drops these entries of the source folder from the shell list onto the
  // layout list.
  void DropOnList(const QStringList& names) {
    w().ShellListView1->SetPath(Src());
    w().ShellListView1->SelectNames(names);
    ASSERT_EQ(w().ShellListView1->SelectedItems().size(), names.size());
    w().ListView1DragDrop(w().ShellListView1);
  }

  QStringList ListNames() const {
    QStringList names;
    for (int i = 0; i < window_->ListView1->topLevelItemCount(); ++i)
      names << window_->ListView1->topLevelItem(i)->text(0);
    return names;
  }

  QStringList MessageTexts() const {
    QStringList texts;
    for (const auto& m : messages_) texts << m.text;
    return texts;
  }

  // Runs the event loop until pred holds or the time is up.
  static bool WaitFor(const std::function<bool()>& pred, int ms = 30000) { return QTest::qWaitFor(pred, ms); }

  fs::path dir_;
  std::unique_ptr<vrec::Recorder> recorder_;
  RecorderTransport transport_;
  std::unique_ptr<Tfrmmain> window_;
  std::vector<ShownMessage> messages_;
  int answer_ = QMessageBox::Ok;
  std::function<int(QDialog*)> onModal_;
  int modalCount_ = 0;
  std::vector<QUrl> opened_;
  // Desktop notifications sent (text, failure), and whether the
  // application counts as the active one.
  std::vector<std::pair<QString, bool>> notified_;
  bool windowActive_ = true;
};

}  // namespace velloran::app::testing
