// What the image end-to-end tests share: running the programs that read an
// image (their output and exit status), quoting for the shell, finding the
// readers.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velloran::e2e {

struct RunResult {
  int status = -1;
  std::string out;  // stdout and stderr together
};

inline RunResult Shell(const std::string& command) {
  RunResult r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  std::array<char, 65536> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

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
