// What the image end-to-end tests share: running the programs that read an
// image (their output and exit status), quoting for the shell, finding the
// readers.
#pragma once

#include "shell_run.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velloran::e2e {

using RunResult = test::ShellResult;  // stdout and stderr together
using test::Shell;

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline bool Have(const std::string& tool) { return Shell("command -v " + tool).status == 0; }

// A Python that can import pycdlib (Debian's python3-pycdlib lives in the
// system interpreter, which another python3 on PATH may hide); empty if none.
inline std::string PythonWithPycdlib() {
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (Shell(std::string(py) + " -c 'import pycdlib'").status == 0) return py;
  return {};
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace velloran::e2e
