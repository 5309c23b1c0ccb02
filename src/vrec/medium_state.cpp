#include "vrec/medium_state.h"

#include <algorithm>
#include <sstream>

namespace velloran::vrec {
namespace {

std::uint32_t RoundUp16(std::uint32_t v) { return (v + 15u) & ~15u; }

// CD track at once: a closed track ends with two run-out blocks, and the next
// track's pre-gap of 150 blocks follows.
constexpr std::uint32_t kCdRunOut = 2;
constexpr std::uint32_t kCdPregap = 150;
constexpr std::uint32_t kCdMinTrack = 300;  // 4 seconds; drives pad shorter tracks
// Lead-out + next lead-in + pre-gap between CD sessions: the first lead-out is
// 6750 blocks long, later ones 2250.
constexpr std::uint32_t kCdFirstSessionGap = 11400;
constexpr std::uint32_t kCdLaterSessionGap = 6900;
constexpr std::uint32_t kDvdPlusSessionGap = 2048;
constexpr int kDvdPlusMaxSessions = 153;

const char* StateName(TrackState s) {
  switch (s) {
    case TrackState::Invisible: return "invisible";
    case TrackState::Reserved: return "reserved";
    case TrackState::Complete: return "complete";
  }
  return "complete";
}

}  // namespace

std::uint32_t BlockTypeSize(std::uint8_t blockType) {
  static constexpr std::uint32_t kSizes[16] = {2352, 2368, 2448, 2448, 0, 0, 0, 0,
                                               2048, 2336, 2048, 2056, 2324, 2332, 0, 0};
  return kSizes[blockType & 0x0F];
}

MediumState MediumState::Fresh(MediumKind kind, std::optional<std::uint32_t> capacity, bool formatted) {
  MediumState m;
  m.kind = kind;
  const MediumInfo& info = InfoOf(kind);
  m.capacity = capacity.value_or(info.capacity);
  m.leadOut = m.capacity + (info.leadOut - info.capacity);
  if (info.cd) m.leadIn = kCdLeadIn80;
  switch (info.family) {
    case Family::None:
    case Family::Rom:
      m = MediumState{};
      m.kind = kind;
      break;
    case Family::Cd:
    case Family::DvdMinus:
    case Family::DvdPlus:
      m.status = DiscStatus::Blank;
      m.StartSession(0);
      break;
    case Family::Restricted:
      m.formatted = m.capacity;
      m.SyncOverwritable();
      break;
    case Family::PlusRw:
      if (formatted) {
        m.formatted = m.capacity;
        m.bgFormat = 3;
      }
      m.SyncOverwritable();
      break;
    case Family::Ram:
      m.formatted = m.capacity;
      m.SyncOverwritable();
      break;
  }
  return m;
}

MediumState MediumState::Pressed(MediumKind kind, std::uint32_t blocks) {
  MediumState m;
  m.kind = kind;
  m.capacity = blocks;
  m.leadOut = blocks;
  m.status = DiscStatus::Complete;
  m.sessions.push_back(Session{true, blocks});
  Track t;
  t.start = 0;
  t.size = blocks;
  t.written = blocks;
  t.state = TrackState::Complete;
  m.tracks.push_back(t);
  return m;
}

void MediumState::StartSession(std::uint32_t start) {
  sessions.push_back(Session{});
  OpenInvisible(static_cast<int>(sessions.size()), start);
}

void MediumState::OpenInvisible(int session, std::uint32_t start) {
  Track t;
  t.session = session;
  t.start = start;
  t.state = TrackState::Invisible;
  t.incremental = family() == Family::DvdMinus;
  t.trackMode = family() == Family::DvdMinus ? 5 : family() == Family::DvdPlus ? 7 : 4;
  t.dataMode = 1;
  tracks.push_back(t);
}

void MediumState::SyncOverwritable() {
  sessions.clear();
  tracks.clear();
  Family f = family();
  if (f == Family::PlusRw && formatted == 0) {
    status = DiscStatus::Blank;
    sessions.push_back(Session{});
    OpenInvisible(1, 0);
    return;
  }
  sessions.push_back(Session{!intermediate, formatted});
  Track t;
  t.start = 0;
  t.size = formatted;
  t.written = formatted;
  t.state = TrackState::Complete;
  t.incremental = f == Family::Restricted;
  t.trackMode = f == Family::Restricted ? 5 : f == Family::PlusRw ? 7 : 4;
  tracks.push_back(t);
  if (f == Family::Ram)
    status = DiscStatus::Other;
  else
    status = intermediate ? DiscStatus::Incomplete : DiscStatus::Complete;
}

void MediumState::MakeComplete() {
  if (!tracks.empty() && tracks.back().state == TrackState::Invisible) tracks.pop_back();
  while (!sessions.empty() && !SessionHasData(static_cast<int>(sessions.size())) && !sessions.back().complete)
    sessions.pop_back();
  for (auto& s : sessions) s.complete = true;
  status = DiscStatus::Complete;
}

int MediumState::CompleteSessions() const {
  return static_cast<int>(std::count_if(sessions.begin(), sessions.end(), [](const Session& s) { return s.complete; }));
}

int MediumState::FirstTrackInSession(int session) const {
  for (std::size_t i = 0; i < tracks.size(); ++i)
    if (tracks[i].session == session) return static_cast<int>(i) + 1;
  return 0;
}

int MediumState::LastTrackInSession(int session) const {
  int last = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i)
    if (tracks[i].session == session) last = static_cast<int>(i) + 1;
  return last;
}

bool MediumState::SessionHasData(int session) const {
  for (const auto& t : tracks)
    if (t.session == session && (t.state != TrackState::Invisible || t.written > 0)) return true;
  return false;
}

std::uint8_t MediumState::LastSessionState() const {
  if (sessions.empty()) return 0;
  if (sessions.back().complete) return 3;
  if (family() == Family::Restricted) return 1;
  return SessionHasData(static_cast<int>(sessions.size())) ? 1 : 0;
}

DiscStatus MediumState::ReportedStatus() const { return status; }

std::uint32_t MediumState::LastReadable() const {
  switch (family()) {
    case Family::None: return 0;
    case Family::Rom: return capacity ? capacity - 1 : 0;
    case Family::Restricted:
    case Family::PlusRw:
    case Family::Ram: return formatted ? formatted - 1 : 0;
    default: break;
  }
  std::uint32_t end = 0;
  for (const auto& s : sessions)
    if (s.complete) end = s.end;
  return end ? end - 1 : 0;
}

int MediumState::InvisibleIndex() const {
  if (!Sequential() || status == DiscStatus::Complete || tracks.empty()) return -1;
  return tracks.back().state == TrackState::Invisible ? static_cast<int>(tracks.size()) - 1 : -1;
}

std::uint32_t MediumState::FreeBlocks(const Track& t) const {
  switch (family()) {
    case Family::Restricted: return intermediate ? capacity - formatted : formatted;
    case Family::PlusRw: return formatted ? 0 : capacity;
    case Family::Ram:
    case Family::Rom:
    case Family::None: return 0;
    default: break;
  }
  switch (t.state) {
    case TrackState::Invisible: return capacity > t.Nwa() ? capacity - t.Nwa() : 0;
    case TrackState::Reserved: return t.size - t.written;
    case TrackState::Complete: return 0;
  }
  return 0;
}

std::uint32_t MediumState::TrackSize(const Track& t) const {
  if (family() == Family::PlusRw && formatted == 0) return capacity;
  if (t.state == TrackState::Invisible) return capacity > t.start ? capacity - t.start : 0;
  return t.size;
}

Sense MediumState::CheckWrite(std::int64_t lba, std::uint32_t count, const WriteParams& wp, int* trackIndex) const {
  *trackIndex = -1;
  const std::int64_t end = lba + count;
  switch (family()) {
    case Family::None: return sense::NoMedium();
    case Family::Rom: return sense::ReadOnlyMedium();
    case Family::Ram:
      if (lba < 0 || end > formatted) return sense::LbaOutOfRange();
      return {};
    case Family::PlusRw:
      if (formatted == 0) return sense::NotFormatted();
      if (lba < 0 || end > formatted) return sense::LbaOutOfRange();
      return {};
    case Family::Restricted:
      // Restricted overwrite records whole 32 KiB ECC blocks only.
      if (lba < 0 || (lba % 16) != 0 || (count % 16) != 0) return sense::InvalidWriteAddress();
      if (intermediate) {
        if (lba > formatted) return sense::InvalidWriteAddress();
        if (end > capacity) return sense::LbaOutOfRange();
      } else if (end > formatted) {
        return sense::LbaOutOfRange();
      }
      return {};
    default: break;
  }
  if (status == DiscStatus::Complete) return sense::InvalidWriteAddress();
  if (family() == Family::DvdMinus && daoOnly && wp.writeType != 2) return sense::IllegalTrackMode();
  if (family() == Family::DvdMinus && wp.writeType == 2) {
    bool reserved = std::any_of(tracks.begin(), tracks.end(), [](const Track& t) { return t.state == TrackState::Reserved; });
    if (!reserved) return sense::SequenceError();
  }
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    if (t.state == TrackState::Complete || t.Nwa() != lba) continue;
    if (t.state == TrackState::Reserved && t.written >= t.size) continue;
    if (t.state == TrackState::Reserved) {
      if (end > static_cast<std::int64_t>(t.start) + t.size) return sense::EndOfUserArea();
    } else if (end > capacity) {
      return sense::LbaOutOfRange();
    }
    if (t.damaged) return sense::InvalidWriteAddress();
    *trackIndex = static_cast<int>(i);
    return {};
  }
  return sense::InvalidWriteAddress();
}

void MediumState::CommitWrite(int trackIndex, std::int64_t lba, std::uint32_t count, const WriteParams& wp) {
  if (family() == Family::Restricted) {
    if (intermediate && lba + count > formatted) {
      formatted = static_cast<std::uint32_t>(lba + count);
      SyncOverwritable();
    }
    return;
  }
  if (trackIndex < 0 || static_cast<std::size_t>(trackIndex) >= tracks.size()) return;
  Track& t = tracks[trackIndex];
  if (t.written == 0 && family() == Family::Cd) {
    t.trackMode = wp.trackMode & 0x0F;
    t.dataMode = (wp.blockType >= 9 && wp.blockType <= 13) ? 2 : 1;
    t.incremental = wp.writeType == 0;
  }
  t.written += count;
  if (status == DiscStatus::Blank) status = DiscStatus::Incomplete;
}

Sense MediumState::CheckRead(std::int64_t lba, std::uint32_t count) const {
  const std::int64_t end = lba + count;
  if (lba < 0) return sense::LbaOutOfRange();
  switch (family()) {
    case Family::None: return sense::NoMedium();
    case Family::Rom:
      return end > capacity ? sense::LbaOutOfRange() : Sense{};
    case Family::Restricted:
    case Family::PlusRw:
    case Family::Ram:
      return end > formatted ? sense::LbaOutOfRange() : Sense{};
    default: break;
  }
  std::int64_t pos = lba;
  while (pos < end) {
    const Track* hit = nullptr;
    for (const auto& t : tracks) {
      std::int64_t span = std::max(t.written, t.state == TrackState::Invisible ? 0u : t.size);
      if (pos >= t.start && pos < static_cast<std::int64_t>(t.start) + span) {
        hit = &t;
        break;
      }
    }
    if (!hit) return sense::LbaOutOfRange();
    std::int64_t dataEnd = static_cast<std::int64_t>(hit->start) + hit->written;
    if (pos >= dataEnd) {
      // The run-out blocks of a CD track cannot be read back as data.
      if (family() == Family::Cd && hit->state == TrackState::Complete) return sense::IllegalTrackMode();
      return sense::LbaOutOfRange();
    }
    pos = std::min(end, dataEnd);
  }
  return {};
}

Sense MediumState::CloseTrack(unsigned trackNumber) {
  switch (family()) {
    case Family::None: return sense::NoMedium();
    case Family::Rom: return sense::ReadOnlyMedium();
    case Family::Ram: return {};
    case Family::Restricted:
    case Family::PlusRw: return Sense::InvalidCdbField(2, 2);
    default: break;
  }
  int index = -1;
  if (trackNumber == 0xFF && family() == Family::Cd) {
    index = InvisibleIndex();
    if (index < 0) return {};
  } else {
    if (trackNumber == 0 || trackNumber > tracks.size()) return Sense::InvalidCdbField(5);
    index = static_cast<int>(trackNumber) - 1;
  }
  Track& t = tracks[index];
  if (t.state == TrackState::Complete) return {};
  if (t.state == TrackState::Reserved) {
    // A reserved track is padded to its full size when it is closed early.
    t.written = t.size;
    t.state = TrackState::Complete;
    return {};
  }
  if (t.written == 0) return {};
  std::uint32_t next = 0;
  switch (family()) {
    case Family::Cd:
      t.written = std::max(t.written, kCdMinTrack);
      t.size = t.written + kCdRunOut;
      next = t.start + t.size + kCdPregap;
      break;
    case Family::DvdMinus:
      t.size = t.written = RoundUp16(t.written);
      next = t.start + t.size + 16;
      break;
    default:
      t.size = t.written = RoundUp16(t.written);
      next = t.start + t.size;
      break;
  }
  t.state = TrackState::Complete;
  OpenInvisible(t.session, next);
  return {};
}

Sense MediumState::CloseOpenTracks() {
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    if (t.state == TrackState::Reserved || (t.state == TrackState::Invisible && t.written > 0)) {
      Sense s = CloseTrack(static_cast<unsigned>(i + 1));
      if (!s.Ok()) return s;
    }
  }
  return {};
}

Sense MediumState::CloseSession(const WriteParams& wp) {
  switch (family()) {
    case Family::None: return sense::NoMedium();
    case Family::Rom: return sense::ReadOnlyMedium();
    case Family::Restricted:
      if (intermediate) {
        intermediate = false;
        SyncOverwritable();
      }
      return {};
    case Family::PlusRw:
      if (bgFormat == 2) bgFormat = 1;
      return {};
    case Family::Ram: return {};
    default: break;
  }
  if (status == DiscStatus::Complete) return {};
  Sense s = CloseOpenTracks();
  if (!s.Ok()) return s;
  const int session = SessionCount();
  if (!SessionHasData(session)) return {};
  if (!tracks.empty() && tracks.back().state == TrackState::Invisible) tracks.pop_back();
  const Track& last = tracks.back();
  const std::uint32_t end = last.start + last.size;
  sessions.back() = Session{true, end};
  bool appendable = false;
  std::uint32_t next = 0;
  switch (family()) {
    case Family::Cd:
      appendable = wp.multiSession == 3;
      next = end + (session == 1 ? kCdFirstSessionGap : kCdLaterSessionGap);
      if (next + kCdMinTrack > capacity) appendable = false;
      break;
    case Family::DvdMinus:
      appendable = wp.multiSession == 3;
      next = end + borderGap;
      if (next + 16 > capacity) appendable = false;
      break;
    default:
      // DVD+R sessions stay appendable whatever page 05h says; finalizing
      // takes its own close function.
      appendable = session < kDvdPlusMaxSessions;
      next = end + kDvdPlusSessionGap;
      if (next + 16 > capacity) appendable = false;
      break;
  }
  if (appendable)
    StartSession(next);
  else
    MakeComplete();
  return {};
}

Sense MediumState::Finalize() {
  switch (family()) {
    case Family::None: return sense::NoMedium();
    case Family::Rom: return sense::ReadOnlyMedium();
    case Family::Restricted:
      if (intermediate) {
        intermediate = false;
        SyncOverwritable();
      }
      return {};
    case Family::PlusRw:
    case Family::Ram: return {};
    default: break;
  }
  if (status == DiscStatus::Complete) return {};
  Sense s = CloseOpenTracks();
  if (!s.Ok()) return s;
  const int session = SessionCount();
  if (SessionHasData(session)) {
    if (tracks.back().state == TrackState::Invisible) tracks.pop_back();
    const Track& last = tracks.back();
    sessions.back() = Session{true, last.start + last.size};
    MakeComplete();
  } else if (CompleteSessions() > 0) {
    MakeComplete();
  }
  return {};
}

Sense MediumState::Reserve(std::uint32_t size) {
  if (family() == Family::Rom) return sense::ReadOnlyMedium();
  if (!Sequential()) return Sense::InvalidCdbField(0);
  if (status == DiscStatus::Complete) return sense::NoMoreReservations();
  int index = InvisibleIndex();
  if (index < 0 || tracks[index].written > 0) return sense::NoMoreReservations();
  if (size == 0) return Sense::InvalidCdbField(5);
  if (!Info().cd) size = RoundUp16(size);
  Track& t = tracks[index];
  if (size > FreeBlocks(t)) return Sense::InvalidCdbField(5);
  const std::uint32_t gap = family() == Family::Cd ? kCdRunOut + kCdPregap : family() == Family::DvdMinus ? 16 : 0;
  t.state = TrackState::Reserved;
  t.size = size;
  const int session = t.session;
  const std::uint32_t next = t.start + size + gap;
  OpenInvisible(session, next);
  return {};
}

Sense MediumState::Blank(std::uint8_t type) {
  const bool blankable = kind == MediumKind::CdRw || kind == MediumKind::DvdRwSequential ||
                         kind == MediumKind::DvdRwRestricted;
  if (!Present()) return sense::NoMedium();
  if (!blankable) return sense::CannotFormat();
  if (type > 1) return Sense::InvalidCdbField(1, 2);
  const MediumKind next = kind == MediumKind::CdRw ? MediumKind::CdRw : MediumKind::DvdRwSequential;
  const std::uint32_t gap = borderGap;
  *this = Fresh(next, capacity);
  borderGap = gap;
  daoOnly = next == MediumKind::DvdRwSequential && type == 1;
  return {};
}

Sense MediumState::Format(std::uint8_t type, std::uint32_t blocks, bool* erase) {
  *erase = false;
  if (!Present()) return sense::NoMedium();
  switch (kind) {
    case MediumKind::DvdRwSequential:
    case MediumKind::DvdRwRestricted: {
      const bool ro = kind == MediumKind::DvdRwRestricted;
      switch (type) {
        case 0x00:
        case 0x10:
          if (blocks > capacity) return Sense::InvalidParameter(4);
          kind = MediumKind::DvdRwRestricted;
          formatted = blocks == 0 ? capacity : std::min(capacity, RoundUp16(blocks));
          intermediate = false;
          break;
        case 0x15:
          // Quick format: only the lead-in is written; the user area grows
          // as it is written from LBA 0 until the session is closed.
          if (blocks > capacity) return Sense::InvalidParameter(4);
          kind = MediumKind::DvdRwRestricted;
          formatted = 0;
          intermediate = true;
          break;
        case 0x13:
          if (!ro || intermediate) return Sense::InvalidParameter(8);
          if (formatted >= capacity) return {};
          intermediate = true;
          formatted = std::min(capacity, formatted + RoundUp16(blocks));
          break;
        case 0x11:
          if (!ro || intermediate) return Sense::InvalidParameter(8);
          formatted = std::min(capacity, formatted + RoundUp16(blocks));
          break;
        default: return Sense::InvalidParameter(8);
      }
      *erase = type == 0x00 || type == 0x10 || type == 0x15;
      daoOnly = false;
      SyncOverwritable();
      return {};
    }
    case MediumKind::DvdPlusRw:
      if (type != 0x26) return Sense::InvalidParameter(8);
      if (blocks != 0xFFFFFFFFu && blocks > capacity) return Sense::InvalidParameter(4);
      formatted = capacity;
      bgFormat = 3;
      SyncOverwritable();
      return {};
    case MediumKind::DvdRam:
      if (type != 0x00 && type != 0x01) return Sense::InvalidParameter(8);
      if (blocks > capacity) return Sense::InvalidParameter(4);
      *erase = type == 0x00;
      return {};
    case MediumKind::CdRw: return Sense::InvalidParameter(8);
    default: return sense::CannotFormat();
  }
}

std::string MediumState::Serialize() const {
  std::ostringstream out;
  out << "kind " << Info().cliName << "\n"
      << "capacity " << capacity << "\n"
      << "lead-out " << leadOut << "\n"
      << "lead-in " << leadIn << "\n"
      << "status " << static_cast<int>(status) << "\n"
      << "formatted " << formatted << "\n"
      << "intermediate " << (intermediate ? 1 : 0) << "\n"
      << "bg-format " << static_cast<int>(bgFormat) << "\n"
      << "dao-only " << (daoOnly ? 1 : 0) << "\n"
      << "border-gap " << borderGap << "\n";
  if (!timeStamp.empty()) out << "time-stamp " << timeStamp << "\n";
  for (const auto& s : sessions) out << "session " << (s.complete ? 1 : 0) << " " << s.end << "\n";
  for (const auto& t : tracks)
    out << "track " << t.session << " " << t.start << " " << t.written << " " << t.size << " "
        << StateName(t.state) << " " << (t.incremental ? 1 : 0) << " " << int{t.trackMode} << " "
        << int{t.dataMode} << " " << (t.damaged ? 1 : 0) << "\n";
  return out.str();
}

std::optional<MediumState> MediumState::Parse(const std::string& text, std::string* why) {
  MediumState m;
  std::istringstream in(text);
  std::string line;
  auto fail = [&](const std::string& msg) -> std::optional<MediumState> {
    if (why) *why = msg;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key;
    if (!(ls >> key)) continue;
    if (key == "kind") {
      std::string name;
      ls >> name;
      auto k = KindFromName(name);
      if (!k) return fail("unknown medium kind \"" + name + "\"");
      m.kind = *k;
    } else if (key == "capacity") {
      ls >> m.capacity;
    } else if (key == "lead-out") {
      ls >> m.leadOut;
    } else if (key == "lead-in") {
      ls >> m.leadIn;
    } else if (key == "status") {
      int v = 0;
      ls >> v;
      m.status = static_cast<DiscStatus>(v & 3);
    } else if (key == "formatted") {
      ls >> m.formatted;
    } else if (key == "intermediate") {
      int v = 0;
      ls >> v;
      m.intermediate = v != 0;
    } else if (key == "bg-format") {
      int v = 0;
      ls >> v;
      m.bgFormat = static_cast<std::uint8_t>(v & 3);
    } else if (key == "dao-only") {
      int v = 0;
      ls >> v;
      m.daoOnly = v != 0;
    } else if (key == "border-gap") {
      ls >> m.borderGap;
    } else if (key == "time-stamp") {
      ls >> m.timeStamp;
    } else if (key == "session") {
      int complete = 0;
      Session s;
      ls >> complete >> s.end;
      s.complete = complete != 0;
      m.sessions.push_back(s);
    } else if (key == "track") {
      Track t;
      std::string state;
      int inc = 0, tm = 0, dm = 0, dmg = 0;
      ls >> t.session >> t.start >> t.written >> t.size >> state >> inc >> tm >> dm >> dmg;
      if (state == "invisible")
        t.state = TrackState::Invisible;
      else if (state == "reserved")
        t.state = TrackState::Reserved;
      else if (state == "complete")
        t.state = TrackState::Complete;
      else
        return fail("bad track line \"" + line + "\"");
      t.incremental = inc != 0;
      t.trackMode = static_cast<std::uint8_t>(tm);
      t.dataMode = static_cast<std::uint8_t>(dm);
      t.damaged = dmg != 0;
      if (t.session < 1 || t.session > static_cast<int>(m.sessions.size()))
        return fail("track of an unknown session: \"" + line + "\"");
      m.tracks.push_back(t);
    }
    if (ls.fail() && !ls.eof()) return fail("bad line \"" + line + "\"");
  }
  return m;
}

}  // namespace velloran::vrec
