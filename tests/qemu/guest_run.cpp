#include "guest_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

// Markers the guest script prints around each step's output. Each sits on a
// line of its own; the newline printed before a marker is not the
// command's.
constexpr const char* kStep = "@@qemu-step ";
constexpr const char* kStatus = "@@qemu-status ";
constexpr const char* kOut = "@@qemu-stdout";
constexpr const char* kErr = "@@qemu-stderr";
constexpr const char* kEnd = "@@qemu-end";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string GuestScript(const std::vector<Step>& steps) {
  std::ostringstream s;
  s << "cd /root\n";
  for (const auto& step : steps) {
    s << "echo '" << kStep << step.name << "'\n"
      << "read t0 _ </proc/uptime\n"
      << "timeout " << step.timeoutSeconds << " sh -c " << ShellQuote(step.command)
      << " </dev/null >/tmp/step.out 2>/tmp/step.err\n"
      << "rc=$?; read t1 _ </proc/uptime\n"
      << "echo \"" << kStatus << "$rc $t0 $t1\"\n"
      << "echo '" << kOut << "'; cat /tmp/step.out; echo\n"
      << "echo '" << kErr << "'; cat /tmp/step.err; echo\n"
      << "echo '" << kEnd << "'\n";
  }
  return s.str();
}

// The text from the line after `begin` (found at `from` or later) up to the
// line `end`, without the newline the guest script printed before `end`;
// `from` moves past it. Empty when the markers are missing.
std::string Section(const std::string& text, std::size_t& from, const std::string& begin, const std::string& end) {
  const std::size_t b = text.find(begin + "\n", from);
  if (b == std::string::npos) return {};
  const std::size_t start = b + begin.size() + 1;
  const std::size_t e = text.find("\n" + end + "\n", start - 1);
  if (e == std::string::npos) return {};
  from = e + 1;
  return e > start ? text.substr(start, e - start) : std::string();
}

void ParseSteps(const std::string& text, GuestRun& run) {
  const std::string step = kStep, status = kStatus;
  std::size_t pos = 0;
  while ((pos = text.find(step, pos)) != std::string::npos) {
    const std::size_t eol = text.find('\n', pos);
    const std::size_t st = text.find(status, pos);
    if (eol == std::string::npos || st == std::string::npos) break;
    StepResult r;
    double t0 = 0, t1 = 0;
    std::sscanf(text.c_str() + st + status.size(), "%d %lf %lf", &r.status, &t0, &t1);
    r.seconds = t1 - t0;
    std::size_t from = st;
    r.out = Section(text, from, kOut, kErr);
    from = from > 0 ? from - 1 : 0;
    r.err = Section(text, from, kErr, kEnd);
    r.ran = true;
    run.steps[text.substr(pos + step.size(), eol - pos - step.size())] = r;
    pos = std::max(from, eol);
  }
}

}  // namespace

const char* BusName(Bus bus) {
  switch (bus) {
    case Bus::kIde: return "ide";
    case Bus::kSata: return "sata";
    case Bus::kScsi: return "scsi";
  }
  return "?";
}

const char* MediumName(Medium medium) {
  switch (medium) {
    case Medium::kCd: return "cd";
    case Medium::kDvd: return "dvd";
    case Medium::kNone: return "none";
  }
  return "?";
}

const StepResult& GuestRun::operator[](const std::string& name) const {
  static const StepResult missing;
  auto it = steps.find(name);
  return it == steps.end() ? missing : it->second;
}

std::string ShellQuote(const std::string& word) {
  std::string q = "'";
  for (char c : word) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(": ");
    if (colon != std::string::npos) kv[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return kv;
}

std::string Capture(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (status) *status = rc;
  return out;
}

std::string TreeChecksumCommand(const std::string& dir) {
  return "(cd " + ShellQuote(dir) + " && find . -type f -exec md5sum {} +)";
}

std::map<std::string, std::string> ParseChecksums(const std::string& text) {
  std::map<std::string, std::string> sums;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // "<32 hex digits>  ./path"
    if (line.size() > 36 && line.compare(32, 4, "  ./") == 0) sums[line.substr(36)] = line.substr(0, 32);
  }
  return sums;
}

std::map<std::string, std::string> HostTreeChecksums(const std::string& dir) {
  return ParseChecksums(Capture(TreeChecksumCommand(dir)));
}

GuestRun RunGuest(const GuestSpec& spec) {
  GuestRun run;
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "velloran-qemu-test.XXXXXX").string();
  if (ec || !::mkdtemp(pattern.data())) {
    run.reason = "cannot create a temporary folder";
    return run;
  }
  const fs::path dir = pattern;
  {
    std::ofstream script(dir / "guest.sh");
    script << GuestScript(spec.steps);
  }

  std::string cmd = ShellQuote(VELLORAN_QEMU_GUEST_SCRIPT) + " --bus " + BusName(spec.bus) + " --timeout " +
                    std::to_string(spec.timeoutSeconds);
  const bool remote = !spec.iscsi.empty() || !spec.tgt.empty();
  for (const auto& url : spec.iscsi) cmd += " --iscsi " + ShellQuote(url);
  for (const auto& file : spec.tgt) cmd += " --tgt " + ShellQuote(file);
  if (spec.memoryMiB > 0) cmd += " --mem " + std::to_string(spec.memoryMiB);
  if (!remote && spec.medium != Medium::kNone) {
    cmd += " --image " + ShellQuote(spec.image);
    if (spec.medium == Medium::kDvd) cmd += " --dvd";
  }
  for (const auto& f : spec.files) cmd += " --file " + ShellQuote(f);
  for (const auto& m : spec.modules) cmd += " --module " + ShellQuote(m);
  cmd += " -- " + ShellQuote((dir / "guest.sh").string());
  cmd += " >" + ShellQuote((dir / "stdout").string()) + " 2>" + ShellQuote((dir / "stderr").string());

  const auto t0 = std::chrono::steady_clock::now();
  const int rc = std::system(cmd.c_str());
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::string out = ReadFile(dir / "stdout");
  const std::string err = ReadFile(dir / "stderr");
  fs::remove_all(dir, ec);

  const int status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  if (status == 77) {
    run.unavailable = true;
    run.reason = err;
    return run;
  }
  if (status != 0) {
    run.reason = "qemu-guest.sh ended with status " + std::to_string(status) + ":\n" + err;
    return run;
  }
  run.booted = true;
  ParseSteps(out, run);
  return run;
}

}  // namespace velloran::qemu
