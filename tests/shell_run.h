// Running a shell command from a test: what it printed and how it ended.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace velloran::test {

struct ShellResult {
  int status = -1;  // the exit status; -1 when it could not run or was killed
  std::string out;
};

// Runs command with /bin/sh; out is what it wrote to standard output.
inline ShellResult Capture(const std::string& command) {
  ShellResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  std::array<char, 65536> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// The same with standard error in out as well.
inline ShellResult Shell(const std::string& command) { return Capture(command + " 2>&1"); }

}  // namespace velloran::test
