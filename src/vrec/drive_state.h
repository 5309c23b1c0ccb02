// Internal to the virtual recorder: the drive object behind Recorder and the
// context its command handlers work on.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "vrec/recorder.h"
#include "vrec/store.h"

namespace velloran::vrec {

// Mode page 05h as the host last set it (page code, length and 52 bytes).
inline constexpr std::size_t kPage05Length = 0x32 + 2;
// Page 05h as the drive has it after power-on: track at once, data Mode 1.
std::array<std::uint8_t, kPage05Length> DefaultPage05();

// What the corrupt fault does to a stored 2048-byte block: every byte
// inverted, so no checksum or hash of the data can still match.
inline void DamageBlock(std::uint8_t* block) {
  for (std::size_t i = 0; i < 2048; ++i) block[i] = static_cast<std::uint8_t>(~block[i]);
}

// GET EVENT STATUS NOTIFICATION media event codes.
enum MediaEvent : std::uint8_t { kNoEvent = 0, kEjectRequest = 1, kNewMedia = 2, kMediaRemoval = 3 };

struct Recorder::Impl {
  int number = 0;
  RecorderOptions options;
  Clock* clock = nullptr;
  StateStore store;
  std::string openError;  // why the state folder cannot be used, if it cannot
  mutable std::mutex mu;

  PersistedState state;
  bool loaded = false;

  // Drive state that lives as long as this object (a power cycle of the
  // drive for each new process).
  std::optional<Sense> savedSense;
  bool unitAttention = false;
  std::uint64_t seenMediaChanges = 0;
  std::uint8_t mediaEvent = kNoEvent;
  std::array<std::uint8_t, kPage05Length> page05{};
  std::uint16_t readSpeed = 0xFFFF;   // requested, kB/s (FFFFh: maximum)
  std::uint16_t writeSpeed = 0xFFFF;  // requested, kB/s
  std::optional<MediumState> testShadow;  // test write: what would have been written
  bool cueSheet = false;
  // Session at once on CD: the cue sheet's tracks as the first LBA of each
  // part with the page 05h block type of what the host sends there (0xFF:
  // nothing, the drive makes those blocks), and the next LBA the host
  // must write.
  struct CuePart {
    std::int32_t start = 0;
    std::uint8_t blockType = 0xFF;
    std::uint8_t control = 4;  // CONTROL nibble: 4 data, 0 audio
  };
  std::vector<CuePart> cue;
  std::int64_t cueNext = 0;
  // Buffer model: fill level in bytes at lastBufferMs, drained at the write
  // speed; streaming while a track is being written. The buffer drains on
  // the host's time only: the time the recorder spends on its own work
  // (its block file, its state, an injected slowness) is the drive's, not
  // time the drive waited for the host, and is left out.
  double bufferFill = 0;
  std::int64_t lastBufferMs = 0;  // on the host's time
  std::int64_t commandStartMs = 0;  // clock time the command in hand began
  std::int64_t pacedMs = 0;         // of it, spent waiting for the buffer to drain
  std::int64_t ownWorkMs = 0;       // the recorder's own time before this command
  bool streaming = false;
  std::uint64_t underruns = 0;

  Impl(std::filesystem::path dir, int n, RecorderOptions opts);

  double TimeScale() const;
  std::int64_t Now() const { return clock->NowMs(); }
  // Long-operation window: starts a busy period of the scaled duration, or
  // (without Immed) waits it out in real-time mode.
  void StartLongOperation(std::uint8_t ascq, std::int64_t fastMs, std::int64_t realMs, bool immed);
  bool Busy() const { return state.busy.ascq != 0; }
  std::uint16_t BusyProgress() const;

  WriteParams CurrentWriteParams() const;
  void ResetPage05();
  std::uint16_t EffectiveWriteSpeed() const;  // kB/s on the current medium
  std::uint16_t EffectiveReadSpeed() const;
  // Buffer model.
  std::int64_t HostNow() const { return commandStartMs - ownWorkMs + pacedMs; }
  void PaceFor(std::int64_t ms);
  void DrainBuffer();
  // Takes `bytes` into the buffer; returns false when an underrun ruined the
  // track (real-time mode without buffer-underrun protection).
  bool FillBuffer(std::size_t bytes, bool underrunFree);
  void FlushBuffer();

  bool EnsureLoaded(std::string* why);
  // Ends a medium lock whose holder is gone (its process ended without
  // allowing removal, as the kernel ends it at the last close); true when
  // the state changed.
  bool DropStaleLock();
  bool SaveState(std::string* why = nullptr);
  void NoteMediaChanges();
};

// One command in flight.
struct CommandContext {
  explicit CommandContext(Recorder::Impl& impl) : d(impl) {}

  Recorder::Impl& d;
  std::array<std::uint8_t, 16> cdb{};
  std::size_t cdbLength = 0;
  std::span<std::uint8_t> data;
  DataDirection direction = DataDirection::None;
  Sense sense;
  bool failed = false;
  std::size_t transferred = 0;
  bool dirty = false;  // the persisted state changed

  MediumState& medium() { return d.state.medium; }
  void Fail(const Sense& s) {
    sense = s;
    failed = true;
  }
  // Copies a reply into the data-in buffer, clamped to the allocation length
  // and the buffer.
  void Reply(std::span<const std::uint8_t> reply, std::size_t allocation);
  // The data-out parameter list (clamped to the buffer).
  std::span<const std::uint8_t> Parameters(std::size_t length);
  // Common checks: a medium must be present.
  bool NeedMedium();
};

using Handler = void (*)(CommandContext&);

// Handlers, one per opcode family (commands_*.cpp).
void CmdTestUnitReady(CommandContext&);
void CmdRequestSense(CommandContext&);
void CmdInquiry(CommandContext&);
void CmdModeSense(CommandContext&);
void CmdModeSelect(CommandContext&);
void CmdGetConfiguration(CommandContext&);
void CmdGetEventStatus(CommandContext&);
void CmdMechanismStatus(CommandContext&);
void CmdStartStop(CommandContext&);
void CmdPreventAllow(CommandContext&);
void CmdReadDiscInformation(CommandContext&);
void CmdReadTrackInformation(CommandContext&);
void CmdReadToc(CommandContext&);
void CmdReadCapacity(CommandContext&);
void CmdReadFormatCapacities(CommandContext&);
void CmdReadBufferCapacity(CommandContext&);
void CmdReadDiscStructure(CommandContext&);
void CmdGetPerformance(CommandContext&);
void CmdRead(CommandContext&);
void CmdWrite(CommandContext&);
void CmdSeek(CommandContext&);
void CmdSynchronizeCache(CommandContext&);
void CmdCloseTrackSession(CommandContext&);
void CmdReserveTrack(CommandContext&);
void CmdBlank(CommandContext&);
void CmdFormatUnit(CommandContext&);
void CmdSetCdSpeed(CommandContext&);
void CmdSetStreaming(CommandContext&);
void CmdSendOpc(CommandContext&);
void CmdSendCueSheet(CommandContext&);
void CmdSendDvdStructure(CommandContext&);

}  // namespace velloran::vrec
