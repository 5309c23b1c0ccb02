#include "vrec/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "vrec/bytes.h"
#include "vrec/drive_state.h"

namespace velloran::vrec {
namespace fs = std::filesystem;
namespace {

// Which generic checks a command passes through without being stopped.
enum : std::uint8_t {
  kPassUnitAttention = 0x01,  // reports nothing of a pending unit attention
  kPassBusy = 0x02,           // answers while a long operation runs
  kPassNotReady = 0x04,       // answers while the not-ready fault lasts
};

struct CommandEntry {
  Handler handler = nullptr;
  std::uint8_t flags = 0;
};

constexpr std::uint8_t kPolling = kPassUnitAttention | kPassBusy | kPassNotReady;

// The opcode table. Opcodes without an entry are refused as real drives
// refuse them: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
constexpr std::array<CommandEntry, 256> MakeTable() {
  std::array<CommandEntry, 256> t{};
  t[0x00] = {CmdTestUnitReady, 0};
  t[0x03] = {CmdRequestSense, kPolling};
  t[0x04] = {CmdFormatUnit, 0};
  t[0x12] = {CmdInquiry, kPolling};
  t[0x15] = {CmdModeSelect, 0};
  t[0x1A] = {CmdModeSense, kPassBusy};
  t[0x1B] = {CmdStartStop, 0};
  t[0x1E] = {CmdPreventAllow, 0};
  t[0x23] = {CmdReadFormatCapacities, 0};
  t[0x25] = {CmdReadCapacity, 0};
  t[0x28] = {CmdRead, 0};
  t[0x2A] = {CmdWrite, 0};
  t[0x2B] = {CmdSeek, 0};
  t[0x35] = {CmdSynchronizeCache, 0};
  t[0x43] = {CmdReadToc, 0};
  t[0x46] = {CmdGetConfiguration, kPolling};
  t[0x4A] = {CmdGetEventStatus, kPolling};
  t[0x51] = {CmdReadDiscInformation, 0};
  t[0x52] = {CmdReadTrackInformation, 0};
  t[0x53] = {CmdReserveTrack, 0};
  t[0x54] = {CmdSendOpc, 0};
  t[0x55] = {CmdModeSelect, 0};
  t[0x5A] = {CmdModeSense, kPassBusy};
  t[0x5B] = {CmdCloseTrackSession, 0};
  t[0x5C] = {CmdReadBufferCapacity, kPassBusy};
  t[0x5D] = {CmdSendCueSheet, 0};
  t[0xA1] = {CmdBlank, 0};
  t[0xA8] = {CmdRead, 0};
  t[0xAA] = {CmdWrite, 0};
  t[0xAC] = {CmdGetPerformance, 0};
  t[0xAD] = {CmdReadDiscStructure, 0};
  t[0xB6] = {CmdSetStreaming, 0};
  t[0xBB] = {CmdSetCdSpeed, 0};
  t[0xBD] = {CmdMechanismStatus, kPassBusy};
  t[0xBF] = {CmdSendDvdStructure, 0};
  return t;
}

constexpr std::array<CommandEntry, 256> kCommands = MakeTable();

std::optional<double> EnvTimeScale() {
  const char* v = std::getenv("VELLORAN_RECORDER_TIME_SCALE");
  if (!v || !*v) return std::nullopt;
  char* end = nullptr;
  double d = std::strtod(v, &end);
  if (end == v || !(d >= 0)) return std::nullopt;
  return d;
}

void SetWhy(std::string* why, const std::string& text) {
  if (why) *why = text;
}

}  // namespace

// --- Impl -------------------------------------------------------------------

Recorder::Impl::Impl(fs::path dir, int n, RecorderOptions opts)
    : number(n), options(opts), clock(opts.clock ? opts.clock : &SystemClock()),
      store(dir.empty() ? DefaultStateDir() : std::move(dir), n) {
  ResetPage05();
  std::string why;
  if (!store.Open(&why)) openError = why;
  lastBufferMs = clock->NowMs();
}

double Recorder::Impl::TimeScale() const {
  if (options.timeScale) return *options.timeScale;
  if (auto env = EnvTimeScale()) return *env;
  return state.timeScale;
}

void Recorder::Impl::StartLongOperation(std::uint8_t ascq, std::int64_t fastMs, std::int64_t realMs, bool immed) {
  const double base = static_cast<double>(state.realTime ? realMs : fastMs);
  const auto ms = static_cast<std::int64_t>(base * TimeScale());
  if (ms <= 0) return;
  if (immed) {
    const std::int64_t now = Now();
    state.busy = BusyWindow{ascq, now, now + ms};
  } else if (state.realTime) {
    clock->SleepMs(ms);
  }
}

std::uint16_t Recorder::Impl::BusyProgress() const {
  const auto& b = state.busy;
  if (b.endMs <= b.startMs) return 0xFFFF;
  const double f = static_cast<double>(Now() - b.startMs) / static_cast<double>(b.endMs - b.startMs);
  return static_cast<std::uint16_t>(std::clamp(f, 0.0, 65535.0 / 65536.0) * 65536.0);
}

std::array<std::uint8_t, kPage05Length> DefaultPage05() {
  std::array<std::uint8_t, kPage05Length> p{};
  p[0] = 0x05;
  p[1] = 0x32;
  p[2] = 0x01;  // track at once
  p[3] = 0x04;  // data track, uninterrupted
  p[4] = 0x08;  // Mode 1, 2048 bytes
  p[5] = 7;     // CD link size
  be::store32(&p[10], 16);
  be::store16(&p[14], 150);
  return p;
}

void Recorder::Impl::ResetPage05() { page05 = DefaultPage05(); }

WriteParams Recorder::Impl::CurrentWriteParams() const {
  WriteParams wp;
  wp.bufferUnderrunFree = (page05[2] & 0x40) != 0;
  wp.testWrite = (page05[2] & 0x10) != 0;
  wp.writeType = page05[2] & 0x0F;
  wp.multiSession = page05[3] >> 6;
  wp.trackMode = page05[3] & 0x0F;
  wp.blockType = page05[4] & 0x0F;
  return wp;
}

std::uint16_t Recorder::Impl::EffectiveWriteSpeed() const {
  const auto speeds = state.medium.Info().writeSpeeds;
  if (speeds.empty()) return 0;
  if (writeSpeed == 0xFFFF) return speeds.front();
  // Drives round a requested speed down to one they support, and never go
  // below their slowest.
  for (std::uint16_t s : speeds)
    if (s <= writeSpeed) return s;
  return speeds.back();
}

std::uint16_t Recorder::Impl::EffectiveReadSpeed() const {
  const MediumInfo& info = state.medium.Info();
  const std::uint16_t oneX = info.cd || !state.medium.Present() ? kCdSpeed1x : kDvdSpeed1x;
  return std::clamp<std::uint16_t>(readSpeed, oneX, info.maxReadSpeed);
}

void Recorder::Impl::PaceFor(std::int64_t ms) {
  if (ms <= 0) return;
  clock->SleepMs(ms);
  pacedMs += ms;
}

void Recorder::Impl::DrainBuffer() {
  const std::int64_t now = HostNow();
  const double elapsed = static_cast<double>(std::max<std::int64_t>(0, now - lastBufferMs));
  lastBufferMs = now;
  double rate = EffectiveWriteSpeed();  // kB/s = bytes per ms
  if (state.medium.Info().cd) rate = rate * 2048.0 / 2352.0;  // user data of raw sectors
  if (rate <= 0) rate = 1;
  bufferFill -= elapsed * rate;
  if (bufferFill < 0) bufferFill = 0;
}

bool Recorder::Impl::FillBuffer(std::size_t bytes, bool underrunFree) {
  const bool wasFull = bufferFill > 0;
  DrainBuffer();
  if (state.realTime && streaming && wasFull && bufferFill <= 0) {
    ++underruns;
    ++state.underruns;  // kept in the state folder, for other processes to see
    if (!underrunFree) {
      streaming = false;
      return false;
    }
  }
  const double size = options.bufferBytes;
  if (state.realTime && bufferFill + static_cast<double>(bytes) > size) {
    // The drive takes data only as fast as its buffer drains.
    double rate = std::max<double>(1, EffectiveWriteSpeed());
    if (state.medium.Info().cd) rate = rate * 2048.0 / 2352.0;
    PaceFor(static_cast<std::int64_t>((bufferFill + static_cast<double>(bytes) - size) / rate) + 1);
    DrainBuffer();
  }
  bufferFill = std::min(size, bufferFill + static_cast<double>(bytes));
  streaming = true;
  return true;
}

void Recorder::Impl::FlushBuffer() {
  DrainBuffer();
  if (state.realTime && bufferFill > 0) {
    double rate = std::max<double>(1, EffectiveWriteSpeed());
    PaceFor(static_cast<std::int64_t>(bufferFill / rate));
  }
  bufferFill = 0;
  lastBufferMs = HostNow();
  streaming = false;
}

bool Recorder::Impl::EnsureLoaded(std::string* why) {
  if (!openError.empty()) {
    SetWhy(why, openError);
    return false;
  }
  if (loaded && !store.Changed()) return true;
  PersistedState fresh;
  if (!store.Load(&fresh, why)) return false;
  const bool first = !loaded;
  state = std::move(fresh);
  loaded = true;
  if (first) seenMediaChanges = state.mediaChanges;
  return true;
}

bool Recorder::Impl::SaveState(std::string* why) { return store.Save(state, why); }

bool Recorder::Impl::DropStaleLock() {
  if (!state.prevent || store.HoldsDevice() || store.DeviceHeld()) return false;
  state.prevent = false;
  return true;
}

void Recorder::Impl::NoteMediaChanges() {
  if (state.mediaChanges == seenMediaChanges) return;
  seenMediaChanges = state.mediaChanges;
  testShadow.reset();
  cueSheet = false;
  streaming = false;
  bufferFill = 0;
  if (state.medium.Present() && !state.trayOpen) {
    unitAttention = true;
    mediaEvent = kNewMedia;
  } else {
    unitAttention = false;
    mediaEvent = kMediaRemoval;
  }
}

// --- CommandContext ------------------------------------------------------------

void CommandContext::Reply(std::span<const std::uint8_t> reply, std::size_t allocation) {
  if (direction != DataDirection::In) return;
  const std::size_t n = std::min({reply.size(), allocation, data.size()});
  if (n) std::memcpy(data.data(), reply.data(), n);
  transferred = n;
}

std::span<const std::uint8_t> CommandContext::Parameters(std::size_t length) {
  if (direction != DataDirection::Out) return {};
  const std::size_t n = std::min(length, data.size());
  transferred = n;
  return data.subspan(0, n);
}

bool CommandContext::NeedMedium() {
  if (d.state.trayOpen) {
    Fail(sense::TrayOpen());
    return false;
  }
  if (!medium().Present()) {
    Fail(sense::NoMedium());
    return false;
  }
  return true;
}

// --- Recorder ---------------------------------------------------------------

Recorder::Recorder(fs::path stateDir, int number, RecorderOptions options)
    : impl_(std::make_unique<Impl>(std::move(stateDir), number, options)) {}

Recorder::~Recorder() = default;

int Recorder::Number() const { return impl_->number; }
const fs::path& Recorder::Folder() const { return impl_->store.Folder(); }

CommandResult Recorder::Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data,
                                DataDirection direction) {
  const auto started = std::chrono::steady_clock::now();
  Impl& d = *impl_;
  const std::int64_t startedOnClock = d.Now();
  std::lock_guard<std::mutex> guard(d.mu);
  d.commandStartMs = d.Now();
  d.pacedMs = 0;
  CommandContext ctx(d);
  ctx.cdbLength = std::min<std::size_t>(cdb.size(), ctx.cdb.size());
  std::copy_n(cdb.begin(), ctx.cdbLength, ctx.cdb.begin());
  ctx.direction = direction;
  ctx.data = direction == DataDirection::None ? std::span<std::uint8_t>{} : data;

  // A slow drive keeps this process waiting, not every process that shares
  // the recorder: the time passes outside the state folder's lock, so a
  // status query or another program's command is not starved by a burn.
  if (d.loaded && d.state.faults.slowMs) d.clock->SleepMs(d.state.faults.slowMs);
  {
    auto lock = d.store.Acquire();
    std::string why;
    if (ctx.cdbLength == 0) {
      ctx.Fail(sense::InvalidOpcode());
    } else if (!d.EnsureLoaded(&why)) {
      // The state folder cannot be read: the drive reports an internal
      // target failure rather than inventing a medium.
      ctx.Fail(Sense::Make(kHardwareError, 0x44, 0x00));
    } else {
      d.NoteMediaChanges();
      if (d.DropStaleLock()) ctx.dirty = true;
      if (d.Busy() && d.Now() >= d.state.busy.endMs) {
        d.state.busy = BusyWindow{};
        ctx.dirty = true;
      }
      const CommandEntry& entry = kCommands[ctx.cdb[0]];
      if (!entry.handler) {
        ctx.Fail(sense::InvalidOpcode());
      } else if (!(entry.flags & kPassUnitAttention) && d.unitAttention) {
        d.unitAttention = false;
        ctx.Fail(sense::MediumChanged());
      } else if (!(entry.flags & kPassBusy) && d.Busy()) {
        ctx.Fail(Sense::Progress(d.state.busy.ascq, d.BusyProgress()));
      } else if (!(entry.flags & kPassNotReady) && d.state.faults.notReady > 0) {
        --d.state.faults.notReady;
        ctx.dirty = true;
        ctx.Fail(sense::BecomingReady());
      } else {
        entry.handler(ctx);
      }
      if (ctx.dirty && !d.SaveState()) {
        if (!ctx.failed) ctx.Fail(Sense::Make(kHardwareError, 0x44, 0x00));
      }
    }
  }

  d.ownWorkMs += std::max<std::int64_t>(0, d.Now() - d.commandStartMs - d.pacedMs);
  CommandResult r;
  if (ctx.failed) {
    d.savedSense = ctx.sense;
    r.status = 0x02;
    r.sense = ctx.sense.Encode();
    r.senseLength = kSenseLength;
  } else {
    d.savedSense.reset();
  }
  r.transferred = ctx.transferred;
  r.residual = ctx.data.size() > ctx.transferred ? ctx.data.size() - ctx.transferred : 0;
  // The time the command took: on the wall, or on the recorder's clock when
  // that one runs faster (a manual clock in tests).
  const auto wall =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  r.durationMs = static_cast<std::uint32_t>(std::max<std::int64_t>(wall, d.Now() - startedOnClock));
  return r;
}

namespace {

// Runs a control change under both locks, then saves.
template <typename F>
bool Control(Recorder::Impl& d, std::string* why, F&& change) {
  std::lock_guard<std::mutex> guard(d.mu);
  auto lock = d.store.Acquire();
  if (!d.EnsureLoaded(why)) return false;
  if (!change()) return false;
  return d.SaveState(why);
}

}  // namespace

bool Recorder::Insert(MediumKind kind, const InsertOptions& options, std::string* why) {
  if (kind == MediumKind::None) return Eject(why);
  Impl& d = *impl_;
  const MediumInfo& info = InfoOf(kind);
  const bool pressed = info.family == Family::Rom;
  if (pressed && options.image.empty()) {
    SetWhy(why, std::string(info.cliName) + " needs an image file to press");
    return false;
  }
  if (!pressed && !options.image.empty()) {
    SetWhy(why, "an image file can only be loaded as cd-rom or dvd-rom");
    return false;
  }
  if (pressed && options.capacity) {
    SetWhy(why, "the capacity of a pressed disc is the size of its image");
    return false;
  }
  if (options.formatted && kind != MediumKind::DvdPlusRw) {
    SetWhy(why, "only a DVD+RW can be inserted formatted or unformatted");
    return false;
  }
  if (options.capacity) {
    // Allow anything from a tiny test disc up to twice the nominal size.
    const std::uint32_t limit = info.capacity * 2;
    if (*options.capacity < 32 || *options.capacity > limit) {
      SetWhy(why, "capacity must be between 32 and " + std::to_string(limit) + " blocks for " + info.cliName);
      return false;
    }
  }
  std::uint32_t blocks = 0;
  if (pressed) {
    std::error_code ec;
    if (!fs::is_regular_file(options.image, ec)) {
      SetWhy(why, "image file " + options.image.string() + " does not exist or is not a regular file");
      return false;
    }
    const auto size = fs::file_size(options.image, ec);
    if (ec) {
      SetWhy(why, "cannot read the size of " + options.image.string() + ": " + ec.message());
      return false;
    }
    if (size == 0 || size % 2048 != 0) {
      SetWhy(why, "image " + options.image.string() + " is not a whole number of 2048-byte sectors (" +
                      std::to_string(size) + " bytes)");
      return false;
    }
    const std::uint64_t limit = kind == MediumKind::CdRom ? 359999 : 4173824;
    if (size / 2048 > limit) {
      SetWhy(why, "image " + options.image.string() + " is too large for " + info.cliName);
      return false;
    }
    blocks = static_cast<std::uint32_t>(size / 2048);
  }
  return Control(d, why, [&] {
    if (pressed) {
      if (!d.store.Import(options.image, why)) return false;
      d.state.medium = MediumState::Pressed(kind, blocks);
      d.state.source = fs::absolute(options.image).string();
    } else {
      if (!d.store.Erase()) {
        SetWhy(why, "cannot clear the block file in " + d.store.Folder().string());
        return false;
      }
      d.state.medium = MediumState::Fresh(kind, options.capacity, options.formatted);
      d.state.source.clear();
    }
    d.state.trayOpen = false;
    d.state.busy = BusyWindow{};
    d.state.underruns = 0;
    ++d.state.mediaChanges;
    return true;
  });
}

bool Recorder::Eject(std::string* why) {
  Impl& d = *impl_;
  return Control(d, why, [&] {
    d.state.medium = MediumState{};
    d.state.source.clear();
    d.state.trayOpen = false;
    d.state.busy = BusyWindow{};
    ++d.state.mediaChanges;
    d.store.Erase();
    return true;
  });
}

bool Recorder::CloseTray(std::string* why) {
  Impl& d = *impl_;
  return Control(d, why, [&] {
    if (!d.state.trayOpen) return true;
    d.state.trayOpen = false;
    ++d.state.mediaChanges;
    return true;
  });
}

std::optional<RecorderStatus> Recorder::Status(std::string* why) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.mu);
  auto lock = d.store.Acquire();
  if (!d.EnsureLoaded(why)) return std::nullopt;
  const MediumState& m = d.state.medium;
  RecorderStatus s;
  s.number = d.number;
  s.folder = d.store.Folder();
  s.kind = m.kind;
  s.mediumName = m.Info().displayName;
  s.profile = m.Info().profile;
  s.trayOpen = d.state.trayOpen;
  s.capacity = m.capacity;
  static constexpr const char* kStatus[] = {"blank", "incomplete", "complete", "other"};
  s.discStatus = kStatus[static_cast<int>(m.status)];
  s.sessions = m.SessionCount();
  s.completeSessions = m.CompleteSessions();
  for (std::size_t i = 0; i < m.tracks.size(); ++i) {
    const Track& t = m.tracks[i];
    TrackStatus ts;
    ts.number = static_cast<int>(i) + 1;
    ts.session = t.session;
    ts.start = t.start;
    ts.size = m.TrackSize(t);
    ts.written = t.written;
    switch (t.state) {
      case TrackState::Complete: ts.state = "complete"; break;
      case TrackState::Reserved: ts.state = "reserved"; break;
      case TrackState::Invisible: ts.state = t.written ? "open" : "blank"; break;
    }
    if (t.damaged) ts.state += ", damaged";
    s.tracks.push_back(ts);
  }
  if (int inv = m.InvisibleIndex(); inv >= 0) {
    s.nextWritable = m.tracks[inv].Nwa();
    s.freeBlocks = m.FreeBlocks(m.tracks[inv]);
  } else if (m.family() == Family::Restricted && m.intermediate) {
    s.nextWritable = m.formatted;
    s.freeBlocks = m.capacity - m.formatted;
  } else if (m.Overwritable() && m.formatted) {
    s.nextWritable = 0;
    s.freeBlocks = m.formatted;
  }
  s.faults = d.state.faults;
  s.realTime = d.state.realTime;
  s.timeScale = d.TimeScale();
  s.busy = d.Busy() && d.Now() < d.state.busy.endMs;
  s.underruns = d.state.underruns;
  if (d.DropStaleLock()) d.SaveState();
  s.locked = d.state.prevent;
  s.devicePath = d.store.DevicePath();
  return s;
}

bool Recorder::Export(const fs::path& image, std::string* why) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.mu);
  auto lock = d.store.Acquire();
  if (!d.EnsureLoaded(why)) return false;
  const MediumState& m = d.state.medium;
  if (!m.Present()) {
    SetWhy(why, "the recorder holds no medium");
    return false;
  }
  std::uint32_t end = 0;
  if (m.family() == Family::Rom)
    end = m.capacity;
  else if (m.Overwritable())
    end = static_cast<std::uint32_t>(std::min<std::uint64_t>(m.formatted, d.store.DataBlocks()));
  else
    for (const auto& t : m.tracks)
      if (t.written) end = std::max(end, t.start + t.written);
  if (end == 0) {
    SetWhy(why, "nothing is recorded on the medium");
    return false;
  }
  return d.store.Export(image, end, why);
}

bool Recorder::SetWriteError(std::uint32_t lba, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                             std::string* why) {
  if (key > 0x0F) {
    SetWhy(why, "a sense key is a value from 0 to F");
    return false;
  }
  return Control(*impl_, why, [&] {
    impl_->state.faults.writeError = Faults::WriteError{lba, key, asc, ascq};
    return true;
  });
}

bool Recorder::SetNotReady(std::uint32_t commands, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults.notReady = commands;
    return true;
  });
}

bool Recorder::SetSlow(std::uint32_t ms, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults.slowMs = ms;
    return true;
  });
}

bool Recorder::SetOpcFail(bool on, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults.opcFail = on;
    return true;
  });
}

bool Recorder::SetCorrupt(std::uint32_t lba, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults.corrupt = lba;
    std::array<std::uint8_t, 2048> block{};
    if (!impl_->store.ReadBlocks(lba, 1, block.data())) return true;
    if (std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; })) return true;
    DamageBlock(block.data());
    if (!impl_->store.WriteBlocks(lba, 1, block.data())) {
      SetWhy(why, "the block file cannot be written");
      return false;
    }
    return true;
  });
}

bool Recorder::SetReadError(std::uint32_t lba, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults.readError = lba;
    return true;
  });
}

bool Recorder::ClearFaults(std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.faults = Faults{};
    return true;
  });
}

bool Recorder::SetRealTime(bool on, std::string* why) {
  return Control(*impl_, why, [&] {
    impl_->state.realTime = on;
    return true;
  });
}

bool Recorder::SetTimeScale(double scale, std::string* why) {
  if (!(scale >= 0) || scale > 1000) {
    SetWhy(why, "the time scale must be between 0 and 1000");
    return false;
  }
  return Control(*impl_, why, [&] {
    impl_->state.timeScale = scale;
    return true;
  });
}

void Recorder::ReleasePrevent() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.mu);
  if (!d.store.HoldsDevice()) return;  // the lock is another process's, if any
  auto lock = d.store.Acquire();
  d.store.ReleaseDevice();
  if (d.EnsureLoaded(nullptr) && d.DropStaleLock()) d.SaveState();
}

bool Recorder::Prevented() const {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.mu);
  auto lock = d.store.Acquire();
  if (!d.EnsureLoaded(nullptr)) return false;
  if (d.DropStaleLock()) d.SaveState();
  return d.state.prevent;
}

std::filesystem::path Recorder::DevicePath() const { return impl_->store.DevicePath(); }

std::uint64_t Recorder::Underruns() const {
  std::lock_guard<std::mutex> guard(impl_->mu);
  return impl_->underruns;
}

int RecorderCount(const fs::path& stateDir) {
  const fs::path root = stateDir.empty() ? DefaultStateDir() : stateDir;
  int n = 1;
  std::error_code ec;
  while (fs::is_directory(root / ("recorder" + std::to_string(n)), ec)) ++n;
  return n;
}

}  // namespace velloran::vrec
