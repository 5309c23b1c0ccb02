// Reading and recording: READ, WRITE, SYNCHRONIZE CACHE, CLOSE TRACK/SESSION,
// RESERVE TRACK, BLANK, FORMAT UNIT, speeds, OPC, cue sheet and time stamp.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "vrec/bytes.h"
#include "vrec/drive_state.h"

namespace velloran::vrec {
namespace {

constexpr std::size_t kBlock = 2048;

// Durations of long operations in milliseconds: the short ones used by
// default (tests, CI) and those of a real drive in real-time mode.
struct Duration {
  std::int64_t fast;
  std::int64_t real;
};
constexpr Duration kSyncCache{100, 2000};
constexpr Duration kCloseTrack{200, 3000};
constexpr Duration kCloseSessionCd{500, 30000};
constexpr Duration kCloseSessionDvd{500, 45000};
constexpr Duration kFinalize{1000, 90000};
constexpr Duration kBlankMinimalCd{1000, 45000};
constexpr Duration kBlankMinimalDvd{1000, 90000};
constexpr Duration kBlankFullCd{3000, 1200000};   // 80 min at 4x
constexpr Duration kBlankFullDvd{4000, 1700000};  // 4.7 GB at 2x
constexpr Duration kFormatQuick{1000, 60000};
constexpr Duration kFormatFull{3000, 1700000};
constexpr Duration kFormatRam{3000, 3600000};      // with certification

void Long(CommandContext& c, std::uint8_t ascq, Duration d, bool immed) {
  c.d.StartLongOperation(ascq, d.fast, d.real, immed);
  if (immed) c.dirty = true;
}

// Where the user data sits inside a block of a page 05h data block type.
std::size_t UserDataOffset(std::uint8_t blockType) {
  if (blockType <= 3) return 16;  // raw: sync + header
  if (blockType == 11) return 8;  // Mode 2 Form 1 with subheader
  return 0;
}

// The page 05h block type equivalent to a cue sheet's main data form (MMC
// SEND CUE SHEET): what the host sends per block; 0xFF where the drive
// generates the blocks itself, nullopt for forms this drive does not take.
std::optional<std::uint8_t> CueBlockType(std::uint8_t dataForm) {
  switch (dataForm & 0x3F) {
    case 0x00: return 0;      // CD-DA, 2352 bytes
    case 0x01: return 0xFF;   // CD-DA, generated
    case 0x10: return 8;      // Mode 1, 2048 bytes of user data
    case 0x11: return 0;      // Mode 1, raw 2352 bytes
    case 0x14: return 0xFF;   // Mode 1, generated
    case 0x20: return 9;      // Mode 2, 2336 bytes
    case 0x21: return 0;      // Mode 2, raw
    case 0x24: return 0xFF;   // Mode 2, generated
    default: return std::nullopt;
  }
}

// The cue sheet part holding [lba, lba + count), when the whole range is one
// kind of block the host sends (the last part it touches).
std::optional<Recorder::Impl::CuePart> CuePartAt(const std::vector<Recorder::Impl::CuePart>& cue, std::int64_t lba,
                                                 std::uint32_t count) {
  if (cue.empty() || lba < cue.front().start || lba + count > cue.back().start) return std::nullopt;
  std::optional<Recorder::Impl::CuePart> part;
  for (std::size_t i = 0; i + 1 < cue.size(); ++i) {  // the last part is the lead-out
    if (lba + count <= cue[i].start || lba >= cue[i + 1].start) continue;
    if (cue[i].blockType == 0xFF || (part && part->blockType != cue[i].blockType)) return std::nullopt;
    part = cue[i];
  }
  return part;
}

// On media with a test-write mode, writes with page 05h's test bit validate
// and move a shadow of the medium, and record nothing.
bool TestWriteActive(const CommandContext& c, const WriteParams& wp) {
  return wp.testWrite && c.d.state.medium.Info().testWrite;
}

}  // namespace

void CmdRead(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const auto lba = static_cast<std::int32_t>(be::load32(&cdb[2]));
  const std::uint32_t count = cdb[0] == 0xA8 ? be::load32(&cdb[6]) : be::load16(&cdb[7]);
  if (!c.NeedMedium()) return;
  if (count == 0) return;
  const MediumState& m = c.medium();
  if (m.family() == Family::PlusRw && m.formatted == 0) return c.Fail(sense::LbaOutOfRange());
  Sense s = m.CheckRead(lba, count);
  if (!s.Ok()) return c.Fail(s);
  if (const auto& bad = c.d.state.faults.readError;
      bad && static_cast<std::int64_t>(*bad) >= lba && static_cast<std::int64_t>(*bad) < std::int64_t{lba} + count)
    return c.Fail(sense::UnrecoveredRead(*bad));
  if (c.direction != DataDirection::In) return;
  const std::size_t want = std::size_t{count} * kBlock;
  const std::size_t fits = std::min(want, c.data.size()) / kBlock;
  if (fits && !c.d.store.ReadBlocks(lba, static_cast<std::uint32_t>(fits), c.data.data()))
    return c.Fail(sense::UnrecoveredRead(static_cast<std::uint32_t>(lba)));
  c.transferred = fits * kBlock;
}

void CmdWrite(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const auto asked = static_cast<std::int32_t>(be::load32(&cdb[2]));
  const std::uint32_t total = cdb[0] == 0xAA ? be::load32(&cdb[6]) : be::load16(&cdb[7]);
  if (!c.NeedMedium()) return;
  if (total == 0) return;
  Recorder::Impl& d = c.d;
  MediumState& m = c.medium();
  if (m.family() == Family::Rom) return c.Fail(sense::ReadOnlyMedium());
  WriteParams wp = d.CurrentWriteParams();
  const bool sao = m.Info().cd && wp.writeType == 2 && d.cueSheet;
  if (sao) {
    // Session at once: the cue sheet, not page 05h, says what each block
    // carries and whether the track holds data, and the host sends the
    // blocks in order from the first track's pregap (LBA -150 on a blank
    // disc).
    const auto part = CuePartAt(d.cue, asked, total);
    if (asked != d.cueNext || !part) return c.Fail(sense::InvalidWriteAddress());
    wp.blockType = part->blockType;
    wp.trackMode = part->control;
  }
  const std::uint8_t blockType = wp.blockType;
  const std::size_t blockSize = m.Info().cd ? BlockTypeSize(blockType) : kBlock;
  const std::size_t need = std::size_t{total} * blockSize;
  if (c.direction != DataDirection::Out || c.data.size() < need) return c.Fail(Sense::InvalidCdbField(7));
  if (d.state.faults.opcFail) return c.Fail(sense::PowerCalibration());
  if (m.family() == Family::Cd && wp.writeType == 2 && !d.cueSheet) return c.Fail(sense::SequenceError());
  // The pregap before LBA 0 holds no user data: the drive records it from
  // what it is sent and keeps nothing of it.
  std::uint32_t pregap = 0;
  if (sao && asked < 0) pregap = std::min<std::uint32_t>(total, static_cast<std::uint32_t>(-std::int64_t{asked}));
  if (pregap == total) {
    d.cueNext += total;
    c.transferred = need;
    return;
  }
  const std::int32_t lba = asked + static_cast<std::int32_t>(pregap);
  const std::uint32_t count = total - pregap;
  const std::size_t skipped = std::size_t{pregap} * blockSize;
  const bool test = TestWriteActive(c, wp);
  const MediumState& target = test && d.testShadow ? *d.testShadow : m;
  int index = -1;
  Sense s = target.CheckWrite(lba, count, wp, &index);
  if (!s.Ok()) return c.Fail(s);
  if (const auto& fault = d.state.faults.writeError;
      fault && static_cast<std::int64_t>(fault->lba) >= lba && static_cast<std::int64_t>(fault->lba) < lba + count)
    return c.Fail(Sense::AtAddress(fault->key, fault->asc, fault->ascq, fault->lba));
  if (!d.FillBuffer(need - skipped, wp.bufferUnderrunFree)) {
    // The buffer ran dry without underrun protection: the track is ruined.
    if (!test && index >= 0) {
      m.tracks[index].damaged = true;
      c.dirty = true;
    }
    return c.Fail(sense::LossOfStreaming(static_cast<std::uint32_t>(lba)));
  }
  c.transferred = need;
  if (sao) d.cueNext = std::int64_t{lba} + count;
  if (test) {
    MediumState shadow = target;
    shadow.CommitWrite(index, lba, count, wp);
    d.testShadow = std::move(shadow);
    return;
  }
  const std::uint8_t* payload = c.data.data() + skipped;
  std::vector<std::uint8_t> user;
  if (blockSize != kBlock) {
    const std::size_t offset = UserDataOffset(blockType);
    user.resize(std::size_t{count} * kBlock);
    for (std::uint32_t i = 0; i < count; ++i)
      std::memcpy(&user[i * kBlock], payload + i * blockSize + offset, std::min(kBlock, blockSize - offset));
    payload = user.data();
  }
  if (const auto& bad = d.state.faults.corrupt;
      bad && static_cast<std::int64_t>(*bad) >= lba && static_cast<std::int64_t>(*bad) < std::int64_t{lba} + count) {
    if (user.empty()) user.assign(payload, payload + std::size_t{count} * kBlock);
    DamageBlock(&user[(*bad - static_cast<std::uint32_t>(lba)) * kBlock]);
    payload = user.data();
  }
  if (lba >= 0 && !d.store.WriteBlocks(lba, count, payload))
    return c.Fail(Sense::AtAddress(kMediumError, 0x0C, 0x00, static_cast<std::uint32_t>(lba)));
  m.CommitWrite(index, lba, count, wp);
  c.dirty = m.Sequential() || m.family() == Family::Restricted;
}

void CmdSeek(CommandContext& c) { c.NeedMedium(); }

void CmdSynchronizeCache(CommandContext& c) {
  const bool immed = (c.cdb[1] & 0x02) != 0;
  if (!c.NeedMedium()) return;
  Recorder::Impl& d = c.d;
  MediumState& m = c.medium();
  const WriteParams wp = d.CurrentWriteParams();
  d.FlushBuffer();
  if (TestWriteActive(c, wp) && d.testShadow) {
    d.testShadow.reset();  // a simulated track leaves nothing behind
    return Long(c, 0x08, kSyncCache, immed);
  }
  d.store.Sync();
  const int inv = m.InvisibleIndex();
  switch (m.family()) {
    case Family::Cd:
      if (wp.writeType == 2 && d.cueSheet) {
        // Session at once: the drive writes lead-in and lead-out itself once
        // the announced data is in.
        m.CloseSession(wp);
        d.cueSheet = false;
        d.cue.clear();
        c.dirty = true;
      } else if (wp.writeType == 1 && inv >= 0 && m.tracks[inv].written > 0) {
        // Track at once: flushing the cache closes the open track.
        m.CloseTrack(static_cast<unsigned>(inv + 1));
        c.dirty = true;
      }
      break;
    case Family::DvdMinus:
      if (wp.writeType == 2) {
        // DAO: once the reserved area is full the drive completes the disc.
        // The reservation was rounded up to whole 16-block ECC blocks; hosts
        // write the size they asked for, and the drive pads the last block.
        for (auto& t : m.tracks)
          if (t.state == TrackState::Reserved && t.written > 0 && t.written + 15 >= t.size) {
            t.written = t.size;
            m.Finalize();
            c.dirty = true;
            break;
          }
        break;
      }
      [[fallthrough]];
    case Family::DvdPlus:
      // Flushing pads the open track to a whole ECC block of 16.
      if (inv >= 0 && (m.tracks[inv].written % 16) != 0) {
        m.tracks[inv].written = (m.tracks[inv].written + 15u) & ~15u;
        c.dirty = true;
      }
      break;
    default: break;
  }
  Long(c, 0x08, kSyncCache, immed);
}

void CmdCloseTrackSession(CommandContext& c) {
  const bool immed = (c.cdb[1] & 0x01) != 0;
  const std::uint8_t function = c.cdb[2] & 0x07;
  const unsigned track = be::load16(&c.cdb[4]);
  if (!c.NeedMedium()) return;
  Recorder::Impl& d = c.d;
  MediumState& m = c.medium();
  if (m.family() == Family::Rom) return c.Fail(sense::ReadOnlyMedium());
  const WriteParams wp = d.CurrentWriteParams();
  d.FlushBuffer();
  if (TestWriteActive(c, wp) && m.Sequential()) {
    d.testShadow.reset();
    return;
  }
  enum class Op { Track, Session, Finalize, None, Invalid } op = Op::Invalid;
  switch (m.family()) {
    case Family::Cd:
      op = function == 1 ? Op::Track : function == 2 ? Op::Session : Op::Invalid;
      break;
    case Family::DvdMinus:
      op = function == 1 ? Op::Track : function == 2 ? Op::Session : function == 3 ? Op::Finalize : Op::Invalid;
      break;
    case Family::DvdPlus:
      op = function == 1   ? Op::Track
           : function == 2 ? Op::Session
           : (function == 5 || function == 6) ? Op::Finalize
                                               : Op::Invalid;
      break;
    case Family::Restricted:
      op = function == 2 ? Op::Session : function == 3 ? Op::Finalize : Op::Invalid;
      break;
    case Family::PlusRw:
      // 000b stops background formatting quickly, 010b compatibly. 011b is
      // sent by some hosts after overwriting; drives accept it.
      op = (function == 0 || function == 2 || function == 3) ? Op::Session : Op::Invalid;
      break;
    case Family::Ram:
      op = function <= 2 ? Op::None : Op::Invalid;
      break;
    default: break;
  }
  Sense s;
  Duration duration = kCloseTrack;
  switch (op) {
    case Op::Invalid: return c.Fail(Sense::InvalidCdbField(2, 2));
    case Op::None: return;
    case Op::Track: s = m.CloseTrack(track); break;
    case Op::Session:
      s = m.CloseSession(wp);
      duration = m.Info().cd ? kCloseSessionCd : kCloseSessionDvd;
      break;
    case Op::Finalize:
      s = m.Finalize();
      duration = kFinalize;
      break;
  }
  if (!s.Ok()) return c.Fail(s);
  c.dirty = true;
  Long(c, 0x08, duration, immed);
}

void CmdReserveTrack(CommandContext& c) {
  if (c.cdb[1] & 0x01) return c.Fail(Sense::InvalidCdbField(1, 0));  // reservation by address
  if (!c.NeedMedium()) return;
  Sense s = c.medium().Reserve(be::load32(&c.cdb[5]));
  if (!s.Ok()) return c.Fail(s);
  c.dirty = true;
}

void CmdBlank(CommandContext& c) {
  const bool immed = (c.cdb[1] & 0x10) != 0;
  const std::uint8_t type = c.cdb[1] & 0x07;
  if (!c.NeedMedium()) return;
  Recorder::Impl& d = c.d;
  MediumState& m = c.medium();
  const bool cd = m.Info().cd;
  Sense s = m.Blank(type);
  if (!s.Ok()) return c.Fail(s);
  d.store.Erase();
  d.testShadow.reset();
  d.cueSheet = false;
  c.dirty = true;
  const Duration duration = type == 0 ? (cd ? kBlankFullCd : kBlankFullDvd) : (cd ? kBlankMinimalCd : kBlankMinimalDvd);
  Long(c, 0x07, duration, immed);
}

void CmdFormatUnit(CommandContext& c) {
  const std::uint8_t b1 = c.cdb[1];
  if (!c.NeedMedium()) return;
  if (!(b1 & 0x10)) return c.Fail(Sense::InvalidCdbField(1, 4));
  if ((b1 & 0x07) != 1) return c.Fail(Sense::InvalidCdbField(1, 2));
  const auto p = c.Parameters(c.data.size());
  if (p.size() < 12) return c.Fail(sense::ParameterListLength());
  const bool immed = (p[1] & 0x02) != 0;
  if (be::load16(&p[2]) != 8) return c.Fail(Sense::InvalidParameter(2));
  const std::uint32_t blocks = be::load32(&p[4]);
  const std::uint8_t type = p[8] >> 2;
  MediumState& m = c.medium();
  const MediumKind before = m.kind;
  // A 26h format of a DVD+RW that is formatted already starts over (unless
  // its Restart bit resumes a suspended one): the disc comes out as new,
  // the old data gone (dvd+rw-format -force, which growisofs wants before
  // it overwrites a disc unattended).
  const bool anew = before == MediumKind::DvdPlusRw && m.formatted > 0 && type == 0x26 && !(p[11] & 0x01);
  bool erase = false;
  Sense s = m.Format(type, blocks, &erase);
  if (!s.Ok()) return c.Fail(s);
  erase = erase || anew;
  if (erase) c.d.store.Erase();
  c.d.testShadow.reset();
  c.dirty = true;
  if (type == 0x26) return;  // background format: the drive stays ready
  Duration duration = kFormatQuick;
  if (before == MediumKind::DvdRam)
    duration = type == 0x00 ? kFormatRam : kFormatQuick;
  else if (type == 0x00 || type == 0x10)
    duration = kFormatFull;
  Long(c, 0x04, duration, immed);
}

void CmdSetCdSpeed(CommandContext& c) {
  c.d.readSpeed = be::load16(&c.cdb[2]);
  c.d.writeSpeed = be::load16(&c.cdb[4]);
}

void CmdSetStreaming(CommandContext& c) {
  const std::uint8_t type = c.cdb[8];
  const std::size_t length = be::load16(&c.cdb[9]);
  if (type != 0x00) return c.Fail(Sense::InvalidCdbField(8));
  if (length == 0) return;
  const auto p = c.Parameters(length);
  if (p.size() < 28 || length < 28) return c.Fail(sense::ParameterListLength());
  Recorder::Impl& d = c.d;
  if (p[0] & 0x04) {  // restore defaults
    d.readSpeed = 0xFFFF;
    d.writeSpeed = 0xFFFF;
    return;
  }
  const std::uint32_t readSize = be::load32(&p[12]), readTime = be::load32(&p[16]);
  const std::uint32_t writeSize = be::load32(&p[20]), writeTime = be::load32(&p[24]);
  if (readTime == 0) return c.Fail(Sense::InvalidParameter(16));
  if (writeTime == 0) return c.Fail(Sense::InvalidParameter(24));
  // Sizes in kB per time in ms; a size of 0 leaves that speed as it is.
  auto speed = [](std::uint32_t size, std::uint32_t time) {
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(0xFFFF, std::uint64_t{size} * 1000 / time));
  };
  if (readSize) d.readSpeed = speed(readSize, readTime);
  if (writeSize) d.writeSpeed = speed(writeSize, writeTime);
}

void CmdSendOpc(CommandContext& c) {
  if (!c.NeedMedium()) return;
  if (c.medium().family() == Family::Rom) return c.Fail(sense::ReadOnlyMedium());
  if (c.d.state.faults.opcFail) return c.Fail(sense::PowerCalibration());
}

void CmdSendCueSheet(CommandContext& c) {
  const std::size_t length = be::load24(&c.cdb[6]);
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  if (m.family() == Family::Rom) return c.Fail(sense::ReadOnlyMedium());
  // Session at once is taken on a blank CD only.
  if (m.family() != Family::Cd || m.status != DiscStatus::Blank) return c.Fail(sense::SequenceError());
  const auto p = c.Parameters(length);
  if (length == 0 || length % 8 != 0 || p.size() < length) return c.Fail(sense::ParameterListLength());
  // Entries of 8 bytes: CTL/ADR, track number, index, data form, SCMS, and
  // the absolute time M:S:F where the part starts. The lead-in (track 0) is
  // left out; the lead-out (AAh) ends the last part.
  std::vector<Recorder::Impl::CuePart> cue;
  for (std::size_t at = 0; at < length; at += 8) {
    const std::uint8_t track = p[at + 1];
    if (track == 0) continue;
    const auto type = CueBlockType(p[at + 3]);
    if (!type) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at + 3)));
    const std::int32_t start = (p[at + 5] * 60 + p[at + 6]) * 75 + p[at + 7] - 150;
    if (!cue.empty() && start < cue.back().start) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at + 5)));
    cue.push_back({start, track == 0xAA ? std::uint8_t{0xFF} : *type, static_cast<std::uint8_t>(p[at] >> 4)});
    if (track == 0xAA) break;
  }
  if (cue.size() < 2) return c.Fail(Sense::InvalidParameter(0));
  c.d.cue = std::move(cue);
  c.d.cueNext = c.d.cue.front().start;
  c.d.cueSheet = true;
}

void CmdSendDvdStructure(CommandContext& c) {
  const std::uint8_t format = c.cdb[7];
  const std::size_t length = be::load16(&c.cdb[8]);
  if (!c.NeedMedium()) return;
  MediumState& m = c.medium();
  const bool minus = m.kind == MediumKind::DvdR || m.kind == MediumKind::DvdRwSequential ||
                     m.kind == MediumKind::DvdRwRestricted;
  if (format != 0x0F || !minus) return c.Fail(Sense::InvalidCdbField(7));
  if (length == 0) return;
  const auto p = c.Parameters(length);
  if (p.size() < 4 || p.size() < length) return c.Fail(sense::ParameterListLength());
  std::string stamp;
  for (std::size_t i = 8; i < std::min<std::size_t>(p.size(), 22); ++i)
    if (p[i] >= '0' && p[i] <= '9') stamp += static_cast<char>(p[i]);
  m.timeStamp = stamp;
  c.dirty = true;
}

}  // namespace velloran::vrec
