// velloran recorder insert KIND [IMAGE] [--capacity BLOCKS] [--formatted] [--recorder N]
// velloran recorder status | eject | load | export FILE [--recorder N]
// velloran recorder fault write-error LBA [KEY ASC ASCQ] | not-ready N | slow [MS] | opc-fail |
//                        corrupt LBA | read-error LBA | clear
// velloran recorder realtime on|off
// velloran recorder time-scale FACTOR
// velloran recorder serve [--listen ADDR:PORT] [--recorder N] [--chap USER]
//
// Controls the virtual recorders (the emulated drives kept in the state
// folder named by VELLORAN_RECORDER_DIR), so a burn can be tried on a machine
// without an optical drive and checked afterwards.
#ifdef VELLORAN_HAVE_VREC

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "platform/drive_use.h"
#include "vrec/iscsi/recorder_unit.h"
#include "vrec/iscsi/server.h"
#include "vrec/recorder.h"

namespace velloran::cli {
namespace {

using vrec::Recorder;

constexpr const char* kPrefix = "velloran recorder: ";

int Fail(const std::string& why, int code = kExitFailure) {
  std::cerr << kPrefix << why << "\n";
  return code;
}

std::string KindList() {
  std::string list;
  for (const auto& info : vrec::Catalogue()) {
    if (!list.empty()) list += ", ";
    list += info.cliName;
  }
  return list;
}

// Parses an unsigned number: decimal or 0x-prefixed hex (base 0), or hex
// (base 16, as sense codes are written). False when it is not one.
bool ParseNumber(const std::string& text, int base, std::uint64_t max, std::uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  try {
    std::size_t used = 0;
    const unsigned long long v = std::stoull(text, &used, base);
    if (used != text.size() || v > max) return false;
    *out = v;
    return true;
  } catch (...) {
    return false;
  }
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

void PrintStatus(const vrec::RecorderStatus& s) {
  std::cout << "Recorder " << s.number << " (" << s.folder.string() << ")\n";
  char profile[16];
  std::snprintf(profile, sizeof profile, "%04Xh", s.profile);
  if (s.kind == vrec::MediumKind::None) {
    std::cout << "Medium:        none" << (s.trayOpen ? " (tray open)" : "") << "\n";
  } else {
    std::cout << "Medium:        " << s.mediumName << " (profile " << profile << ")"
              << (s.trayOpen ? ", tray open" : "") << "\n";
    char mib[32];
    std::snprintf(mib, sizeof mib, "%.1f MiB", s.capacity * 2048.0 / (1024.0 * 1024.0));
    std::cout << "Capacity:      " << s.capacity << " blocks (" << mib << ")\n";
    std::cout << "Status:        " << s.discStatus << (s.busy ? " (busy)" : "") << "\n";
    std::cout << "Sessions:      " << s.sessions << " (" << s.completeSessions << " complete)\n";
    for (const auto& t : s.tracks)
      std::cout << "Track " << t.number << ":" << std::string(t.number < 10 ? 7 : 6, ' ') << "session " << t.session
                << ", start " << t.start << ", size " << t.size << ", " << t.state << "\n";
    if (s.nextWritable)
      std::cout << "Next writable: " << *s.nextWritable << " (" << s.freeBlocks << " blocks free)\n";
    else
      std::cout << "Next writable: none\n";
  }
  std::ostringstream faults;
  if (s.faults.writeError)
    faults << "write error at " << s.faults.writeError->lba << " (" << Hex2(s.faults.writeError->key) << "/"
           << Hex2(s.faults.writeError->asc) << "/" << Hex2(s.faults.writeError->ascq) << ") ";
  if (s.faults.notReady) faults << "not ready for " << s.faults.notReady << " commands ";
  if (s.faults.slowMs) faults << "slow (" << s.faults.slowMs << " ms per command) ";
  if (s.faults.opcFail) faults << "power calibration fails ";
  if (s.faults.corrupt) faults << "sector " << *s.faults.corrupt << " corrupted ";
  if (s.faults.readError) faults << "sector " << *s.faults.readError << " unreadable ";
  std::string f = faults.str();
  if (!f.empty()) f.pop_back();
  std::cout << "Faults:        " << (f.empty() ? "none" : f) << "\n";
  std::cout << "Real time:     " << (s.realTime ? "on" : "off") << " (time scale " << s.timeScale << ")\n";
  std::cout << "Underruns:     " << s.underruns << "\n";
  std::cout << "Medium lock:   " << (s.locked ? "on" : "off");
  if (s.locked) {
    // The processes that hold the lock keep the recorder's device file open.
    const auto use = platform::FindDriveUse(s.devicePath.string());
    for (const auto& h : use.holders) std::cout << " (process " << h.pid << ", " << h.name << ")";
  }
  std::cout << "\n";
}

struct Args {
  int recorder = 0;
  std::string listen = "127.0.0.1:3260";
  std::string chapUser;
  bool trace = false;
  std::string kind;
  std::string image;
  std::uint32_t capacity = 0;
  bool formatted = false;
  std::string file;
  std::vector<std::string> words;
};

void AddRecorderOption(CLI::App* cmd, Args* args) {
  cmd->add_option("--recorder", args->recorder, "Recorder number (default 0)")->check(CLI::Range(0, 99));
}

int RunInsert(const Args& a) {
  const auto kind = vrec::KindFromName(a.kind);
  if (!kind) return Fail("unknown medium kind \"" + a.kind + "\" (kinds: " + KindList() + ")", kExitUsage);
  vrec::InsertOptions options;
  if (a.capacity) options.capacity = a.capacity;
  options.formatted = a.formatted;
  options.image = a.image;
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.Insert(*kind, options, &why)) return Fail(why);
  if (auto s = recorder.Status(&why)) PrintStatus(*s);
  return kExitOk;
}

int RunStatus(const Args& a) {
  Recorder recorder({}, a.recorder);
  std::string why;
  auto s = recorder.Status(&why);
  if (!s) return Fail(why);
  PrintStatus(*s);
  return kExitOk;
}

int RunEject(const Args& a) {
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.Eject(&why)) return Fail(why);
  std::cout << "Recorder " << a.recorder << ": medium removed\n";
  return kExitOk;
}

int RunLoad(const Args& a) {
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.CloseTray(&why)) return Fail(why);
  std::cout << "Recorder " << a.recorder << ": tray closed\n";
  return kExitOk;
}

int RunExport(const Args& a) {
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.Export(a.file, &why)) return Fail(why);
  std::cout << "Recorder " << a.recorder << ": recorded blocks written to " << a.file << "\n";
  return kExitOk;
}

int RunFault(const Args& a) {
  const auto& w = a.words;
  const std::string usage =
      "fault takes: write-error LBA [KEY ASC ASCQ] | not-ready N | slow [MS] | opc-fail | corrupt LBA | read-error LBA | clear";
  if (w.empty()) return Fail(usage, kExitUsage);
  Recorder recorder({}, a.recorder);
  std::string why;
  bool ok = false;
  if (w[0] == "write-error") {
    std::uint64_t lba = 0, key = 3, asc = 0x0C, ascq = 0;
    if (w.size() != 2 && w.size() != 5) return Fail("write-error takes LBA [KEY ASC ASCQ]", kExitUsage);
    if (!ParseNumber(w[1], 0, 0xFFFFFFFFu, &lba)) return Fail("bad block address \"" + w[1] + "\"", kExitUsage);
    if (w.size() == 5 && (!ParseNumber(w[2], 16, 0x0F, &key) || !ParseNumber(w[3], 16, 0xFF, &asc) ||
                          !ParseNumber(w[4], 16, 0xFF, &ascq)))
      return Fail("sense key, ASC and ASCQ are hex values (key 0-F, ASC and ASCQ 00-FF)", kExitUsage);
    ok = recorder.SetWriteError(static_cast<std::uint32_t>(lba), static_cast<std::uint8_t>(key),
                                static_cast<std::uint8_t>(asc), static_cast<std::uint8_t>(ascq), &why);
  } else if (w[0] == "not-ready") {
    std::uint64_t n = 0;
    if (w.size() != 2 || !ParseNumber(w[1], 10, 1000000, &n))
      return Fail("not-ready takes the number of commands", kExitUsage);
    ok = recorder.SetNotReady(static_cast<std::uint32_t>(n), &why);
  } else if (w[0] == "slow") {
    std::uint64_t ms = 200;
    if (w.size() > 2 || (w.size() == 2 && !ParseNumber(w[1], 10, 60000, &ms)))
      return Fail("slow takes the milliseconds each command takes (at most 60000)", kExitUsage);
    ok = recorder.SetSlow(static_cast<std::uint32_t>(ms), &why);
  } else if (w[0] == "opc-fail") {
    if (w.size() != 1) return Fail("opc-fail takes no value", kExitUsage);
    ok = recorder.SetOpcFail(true, &why);
  } else if (w[0] == "corrupt" || w[0] == "read-error") {
    std::uint64_t lba = 0;
    if (w.size() != 2 || !ParseNumber(w[1], 0, 0xFFFFFFFFu, &lba))
      return Fail(w[0] + " takes the block address", kExitUsage);
    ok = w[0] == "corrupt" ? recorder.SetCorrupt(static_cast<std::uint32_t>(lba), &why)
                           : recorder.SetReadError(static_cast<std::uint32_t>(lba), &why);
  } else if (w[0] == "clear") {
    if (w.size() != 1) return Fail("clear takes no value", kExitUsage);
    ok = recorder.ClearFaults(&why);
  } else {
    return Fail("unknown fault \"" + w[0] + "\"; " + usage, kExitUsage);
  }
  if (!ok) return Fail(why);
  if (auto s = recorder.Status(&why)) PrintStatus(*s);
  return kExitOk;
}

int RunRealTime(const Args& a) {
  if (a.words.size() != 1 || (a.words[0] != "on" && a.words[0] != "off"))
    return Fail("realtime takes on or off", kExitUsage);
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.SetRealTime(a.words[0] == "on", &why)) return Fail(why);
  std::cout << "Recorder " << a.recorder << ": real-time mode " << a.words[0] << "\n";
  return kExitOk;
}

int RunTimeScale(const Args& a) {
  double scale = -1;
  try {
    std::size_t used = 0;
    scale = std::stod(a.words.empty() ? std::string() : a.words[0], &used);
    if (used != a.words[0].size()) scale = -1;
  } catch (...) {
  }
  if (a.words.size() != 1 || scale < 0) return Fail("time-scale takes a factor such as 0.1 or 1", kExitUsage);
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.SetTimeScale(scale, &why)) return Fail(why);
  std::cout << "Recorder " << a.recorder << ": time scale " << scale << "\n";
  return kExitOk;
}

std::atomic<bool> gStop{false};

extern "C" void StopServing(int) { gStop.store(true); }

// Serves the recorder as an iSCSI target until SIGINT or SIGTERM. The line
// naming the address goes to stdout (a port of 0 picks a free one, so a
// script reads it there); the connection log goes to stderr.
int RunServe(const Args& a) {
  std::string host;
  std::uint16_t port = 0;
  if (!vrec::iscsi::ParseListenAddress(a.listen, &host, &port))
    return Fail("--listen takes ADDR:PORT, e.g. 127.0.0.1:3260", kExitUsage);
  vrec::iscsi::TargetConfig config;
  config.name = "iqn.2026-12.org.velloran:recorder" + std::to_string(a.recorder);
  config.trace = a.trace;
  if (!a.chapUser.empty()) {
    // The secret never goes on the command line, where ps shows it.
    const char* secret = std::getenv("VELLORAN_CHAP_SECRET");
    if (!secret || !*secret) return Fail("--chap needs the secret in VELLORAN_CHAP_SECRET", kExitUsage);
    config.chapUser = a.chapUser;
    config.chapSecret = secret;
  }
  Recorder recorder({}, a.recorder);
  std::string why;
  if (!recorder.Status(&why)) return Fail(why);
  vrec::iscsi::RecorderUnit unit(recorder);
  auto log = [](const std::string& line) { std::cerr << "velloran recorder serve: " << line << std::endl; };
  vrec::iscsi::Target target(config, unit, log);
  vrec::iscsi::Server server(target);
  if (!server.Listen(host, port, &why)) return Fail(why);
  const std::string address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(server.Port());
  // SendTargets hands this address out; a wildcard would send initiators
  // nowhere, so they get the loopback address instead.
  target.SetAddress(host == "0.0.0.0" ? "127.0.0.1:" + std::to_string(server.Port())
                    : host == "::"    ? "[::1]:" + std::to_string(server.Port())
                                      : address);
  std::cout << "Recorder " << a.recorder << ": serving " << config.name << " (LUN 0) on " << address << std::endl;
  if (host != "127.0.0.1" && host != "::1")
    log("listening beyond this machine: whoever reaches " + address + " can write to recorder " +
        std::to_string(a.recorder));
  struct sigaction sa {};
  sa.sa_handler = StopServing;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  gStop.store(false);
  server.Run(gStop);
  log("stopped");
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions&, int* exitCode) {
  auto* cmd = app.add_subcommand("recorder", "Control the virtual recorders (emulated drives for testing)");
  cmd->require_subcommand(1);
  auto args = std::make_shared<Args>();

  auto* insert = cmd->add_subcommand("insert", "Put a medium into a virtual recorder");
  insert->add_option("kind", args->kind, "Medium kind: " + KindList())->required();
  insert->add_option("image", args->image, "Image file pressed onto a cd-rom or dvd-rom");
  insert->add_option("--capacity", args->capacity, "Capacity in 2048-byte blocks (default: the nominal size)");
  insert->add_flag("--formatted", args->formatted, "Insert a DVD+RW already formatted");
  AddRecorderOption(insert, args.get());
  insert->callback([args, exitCode] { *exitCode = RunInsert(*args); });

  auto* status = cmd->add_subcommand("status", "Show the medium, its sessions and tracks, and the faults set");
  AddRecorderOption(status, args.get());
  status->callback([args, exitCode] { *exitCode = RunStatus(*args); });

  auto* eject = cmd->add_subcommand("eject", "Take the medium out of a virtual recorder");
  AddRecorderOption(eject, args.get());
  eject->callback([args, exitCode] { *exitCode = RunEject(*args); });
  auto* load = cmd->add_subcommand("load", "Close the tray of a virtual recorder (after velloran eject)");
  AddRecorderOption(load, args.get());
  load->callback([args, exitCode] { *exitCode = RunLoad(*args); });

  auto* exportCmd = cmd->add_subcommand("export", "Write the recorded blocks to an image file");
  exportCmd->add_option("file", args->file, "Image file to write")->required();
  AddRecorderOption(exportCmd, args.get());
  exportCmd->callback([args, exitCode] { *exitCode = RunExport(*args); });

  auto* fault = cmd->add_subcommand("fault", "Inject a fault: write-error, not-ready, slow, opc-fail, corrupt, read-error, or clear");
  fault->add_option("what", args->words, "write-error LBA [KEY ASC ASCQ] | not-ready N | slow [MS] | opc-fail | corrupt LBA | read-error LBA | clear")
      ->required();
  AddRecorderOption(fault, args.get());
  fault->callback([args, exitCode] { *exitCode = RunFault(*args); });

  auto* realtime = cmd->add_subcommand("realtime", "Take the time a real drive takes (on) or not (off)");
  realtime->add_option("state", args->words, "on or off")->required();
  AddRecorderOption(realtime, args.get());
  realtime->callback([args, exitCode] { *exitCode = RunRealTime(*args); });

  auto* serve = cmd->add_subcommand("serve", "Serve a virtual recorder as an iSCSI target (until interrupted)");
  serve->add_option("--listen", args->listen, "Address and port to listen on (default 127.0.0.1:3260; port 0: any)");
  serve->add_option("--chap", args->chapUser, "Require CHAP with this user name (secret in VELLORAN_CHAP_SECRET)");
  serve->add_flag("--trace", args->trace, "Log every command block and its outcome");
  AddRecorderOption(serve, args.get());
  serve->callback([args, exitCode] { *exitCode = RunServe(*args); });

  auto* scale = cmd->add_subcommand("time-scale", "Stretch or shrink the duration of long operations");
  scale->add_option("factor", args->words, "Factor, e.g. 0.1 (ten times faster) or 1")->required();
  AddRecorderOption(scale, args.get());
  scale->callback([args, exitCode] { *exitCode = RunTimeScale(*args); });
});

}  // namespace
}  // namespace velloran::cli

#endif  // VELLORAN_HAVE_VREC
