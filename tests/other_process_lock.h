// Another program on the same virtual recorder: a child process that locks
// the medium (PREVENT MEDIUM REMOVAL) and holds it until the test lets it go,
// or is killed when the holder goes away. What the drive and window tests
// meet when a second burner has the drive.
#pragma once

#include "vrec/recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace velloran::testing {

class OtherProcessLock {
 public:
  OtherProcessLock() = default;
  OtherProcessLock(const OtherProcessLock&) = delete;
  OtherProcessLock& operator=(const OtherProcessLock&) = delete;
  ~OtherProcessLock() { Kill(); }

  // Starts the process on recorder 0 of the state folder and returns once
  // it holds the lock (a test failure when it could not take it).
  void Start(const std::filesystem::path& stateDir) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release_), 0);
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release_[1]);  // so that the test's close of it reads as the end
      vrec::Recorder r(stateDir, 0);
      const std::uint8_t prevent[6] = {0x1E, 0, 0, 0, 1, 0};
      char c = r.Execute(prevent, {}, vrec::DataDirection::None).Good() ? 'y' : 'n';
      (void)!::write(ready[1], &c, 1);
      (void)!::read(release_[0], &c, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release_[0]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(c, 'y');
  }

  // Lets the process end as a program that closes the drive does.
  void Release() {
    if (pid_ <= 0) return;
    ::close(release_[1]);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Ends it outright, as a crash would.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(release_[1]);
    pid_ = -1;
  }

  pid_t Pid() const { return pid_; }

  // The process's command name as the system shows it.
  std::string CommandName() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
  }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
};

}  // namespace velloran::testing
