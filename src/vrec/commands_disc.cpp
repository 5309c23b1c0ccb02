// Disc, track and capacity reports: READ DISC INFORMATION, READ TRACK
// INFORMATION, READ TOC/PMA/ATIP, READ CAPACITY, READ FORMAT CAPACITIES,
// READ BUFFER CAPACITY, READ DISC STRUCTURE and GET PERFORMANCE.
#include <algorithm>
#include <vector>

#include "vrec/bytes.h"
#include "vrec/drive_state.h"

namespace velloran::vrec {
namespace {

using Bytes = std::vector<std::uint8_t>;

void StoreMsf(std::uint8_t* p, std::int32_t lba) {
  const Msf msf = LbaToMsf(lba);
  p[0] = 0;
  p[1] = msf.m;
  p[2] = msf.s;
  p[3] = msf.f;
}

void StoreAddress(std::uint8_t* p, std::int32_t lba, bool msf) {
  if (msf)
    StoreMsf(p, lba);
  else
    be::store32(p, static_cast<std::uint32_t>(lba));
}

// A track as the TOC lists it.
struct TocEntry {
  int number;
  int session;
  std::uint32_t start;
  std::uint8_t control;
};

// Tracks of complete sessions (what a TOC shows) and the lead-out of the last
// complete session.
std::vector<TocEntry> TocTracks(const MediumState& m, std::uint32_t* leadOut, int* lastSession) {
  std::vector<TocEntry> toc;
  *leadOut = 0;
  *lastSession = 0;
  const bool cd = m.Info().cd;
  for (std::size_t i = 0; i < m.tracks.size(); ++i) {
    const Track& t = m.tracks[i];
    const Session& s = m.sessions[t.session - 1];
    if (!s.complete) continue;
    // Data tracks: ADR 1, CONTROL from the track mode (DVD drives report a
    // fabricated data track, 14h).
    const std::uint8_t control = cd ? static_cast<std::uint8_t>(0x10 | (t.trackMode & 0x0F)) : 0x14;
    toc.push_back({static_cast<int>(i) + 1, t.session, t.start, control});
    *leadOut = s.end;
    *lastSession = t.session;
  }
  return toc;
}

void ReadToc0(CommandContext& c, const std::vector<TocEntry>& toc, std::uint32_t leadOut, bool msf) {
  const std::uint8_t from = c.cdb[6];
  const int last = toc.back().number;
  if (from != 0xAA && from > last) return c.Fail(Sense::InvalidCdbField(6));
  Bytes r(4, 0);
  r[2] = static_cast<std::uint8_t>(toc.front().number);
  r[3] = static_cast<std::uint8_t>(last);
  auto add = [&](int number, std::uint8_t control, std::int32_t lba) {
    std::uint8_t e[8] = {0, control, static_cast<std::uint8_t>(number), 0, 0, 0, 0, 0};
    StoreAddress(&e[4], lba, msf);
    r.insert(r.end(), e, e + 8);
  };
  if (from != 0xAA)
    for (const auto& t : toc)
      if (t.number >= from) add(t.number, t.control, static_cast<std::int32_t>(t.start));
  add(0xAA, toc.back().control, static_cast<std::int32_t>(leadOut));
  be::store16(&r[0], static_cast<std::uint32_t>(r.size() - 2));
  c.Reply(r, be::load16(&c.cdb[7]));
}

void ReadToc1(CommandContext& c, const std::vector<TocEntry>& toc, int lastSession, bool msf) {
  const TocEntry* first = nullptr;
  for (const auto& t : toc)
    if (t.session == lastSession) {
      first = &t;
      break;
    }
  Bytes r(12, 0);
  be::store16(&r[0], 0x0A);
  r[2] = 1;
  r[3] = static_cast<std::uint8_t>(lastSession);
  r[5] = first->control;
  r[6] = static_cast<std::uint8_t>(first->number);
  StoreAddress(&r[8], static_cast<std::int32_t>(first->start), msf);
  c.Reply(r, be::load16(&c.cdb[7]));
}

// Raw TOC (format 2) of a CD: points A0/A1/A2 and the tracks of each complete
// session, B0 for an appendable disc, C0 in the first session.
void ReadToc2(CommandContext& c, const std::vector<TocEntry>& toc) {
  const MediumState& m = c.medium();
  Bytes r(4, 0);
  r[2] = 1;
  int lastComplete = 0;
  auto add = [&](int session, std::uint8_t adrControl, std::uint8_t point, std::int32_t min, std::int32_t pmsf,
                 bool pIsNumbers, std::uint8_t pm, std::uint8_t ps) {
    std::uint8_t e[11] = {static_cast<std::uint8_t>(session), adrControl, 0, point, 0, 0, 0, 0, 0, 0, 0};
    if (min != INT32_MIN) {
      Msf a = LbaToMsf(min);
      e[4] = a.m;
      e[5] = a.s;
      e[6] = a.f;
    }
    if (pIsNumbers) {
      e[8] = pm;
      e[9] = ps;
    } else {
      Msf p = LbaToMsf(pmsf);
      e[8] = p.m;
      e[9] = p.s;
      e[10] = p.f;
    }
    r.insert(r.end(), e, e + 11);
  };
  for (std::size_t si = 0; si < m.sessions.size(); ++si) {
    const Session& s = m.sessions[si];
    if (!s.complete) continue;
    const int session = static_cast<int>(si) + 1;
    lastComplete = session;
    int first = 0, last = 0;
    std::uint8_t control = 0x14;
    for (const auto& t : toc)
      if (t.session == session) {
        if (!first) first = t.number;
        last = t.number;
        control = t.control;
      }
    add(session, control, 0xA0, INT32_MIN, 0, true, static_cast<std::uint8_t>(first), 0x20);
    add(session, control, 0xA1, INT32_MIN, 0, true, static_cast<std::uint8_t>(last), 0);
    add(session, control, 0xA2, INT32_MIN, static_cast<std::int32_t>(s.end), false, 0, 0);
    for (const auto& t : toc)
      if (t.session == session) add(session, t.control, static_cast<std::uint8_t>(t.number), INT32_MIN,
                                    static_cast<std::int32_t>(t.start), false, 0, 0);
    const bool appendable = m.status != DiscStatus::Complete;
    if (appendable && session == static_cast<int>(m.sessions.size()) - 1) {
      const int inv = m.InvisibleIndex();
      const std::int32_t next = inv >= 0 ? static_cast<std::int32_t>(m.tracks[inv].start) : 0;
      add(session, 0x54, 0xB0, next, static_cast<std::int32_t>(m.leadOut), false, 0, 0);
    }
    if (session == 1) add(session, 0x54, 0xC0, INT32_MIN, m.leadIn, false, 0, 0);
  }
  r[3] = static_cast<std::uint8_t>(lastComplete);
  be::store16(&r[0], static_cast<std::uint32_t>(r.size() - 2));
  c.Reply(r, be::load16(&c.cdb[7]));
}

void ReadAtip(CommandContext& c) {
  const MediumState& m = c.medium();
  Bytes r(28, 0);
  be::store16(&r[0], 0x1A);
  r[4] = 0xD1;  // indicative writing power 5, reference speed 1
  r[5] = 0x00;
  r[6] = static_cast<std::uint8_t>(0x80 | (m.kind == MediumKind::CdRw ? 0x40 : 0x00));
  const Msf in = LbaToMsf(m.leadIn);
  const Msf out = LbaToMsf(static_cast<std::int32_t>(m.leadOut));
  r[8] = in.m;
  r[9] = in.s;
  r[10] = in.f;
  r[12] = out.m;
  r[13] = out.s;
  r[14] = out.f;
  c.Reply(r, be::load16(&c.cdb[7]));
}

// DVD book type / part version byte of the physical format information.
std::uint8_t BookType(MediumKind k) {
  switch (k) {
    case MediumKind::DvdRom: return 0x01;
    case MediumKind::DvdRam: return 0x16;
    case MediumKind::DvdR: return 0x25;
    case MediumKind::DvdRwSequential:
    case MediumKind::DvdRwRestricted: return 0x32;
    case MediumKind::DvdPlusRw: return 0x92;
    case MediumKind::DvdPlusR: return 0xA1;
    case MediumKind::DvdPlusRDl: return 0xE1;
    default: return 0;
  }
}

}  // namespace

void CmdReadDiscInformation(CommandContext& c) {
  if (c.cdb[1] & 0x07) return c.Fail(Sense::InvalidCdbField(1, 2));
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  Bytes r(34, 0);
  be::store16(&r[0], 0x20);
  std::uint8_t status = static_cast<std::uint8_t>(m.status);
  std::uint8_t state = m.LastSessionState();
  if (m.family() == Family::Rom) {
    status = 2;
    state = 3;
  }
  r[2] = static_cast<std::uint8_t>((m.Info().erasable ? 0x10 : 0) | (state << 2) | status);
  r[3] = 1;
  const int sessions = std::max(1, m.SessionCount());
  const int first = m.FirstTrackInSession(sessions);
  const int last = m.LastTrackInSession(sessions);
  r[4] = static_cast<std::uint8_t>(sessions);
  r[9] = static_cast<std::uint8_t>(sessions >> 8);
  r[5] = static_cast<std::uint8_t>(first);
  r[10] = static_cast<std::uint8_t>(first >> 8);
  r[6] = static_cast<std::uint8_t>(last);
  r[11] = static_cast<std::uint8_t>(last >> 8);
  if (m.kind == MediumKind::DvdPlusRw) r[7] = m.bgFormat & 0x03;
  r[8] = (m.Info().cd && m.status == DiscStatus::Blank) ? 0xFF : 0x00;
  if (m.status == DiscStatus::Complete || m.status == DiscStatus::Other || m.family() == Family::Rom) {
    be::store32(&r[16], 0xFFFFFFFFu);
    be::store32(&r[20], 0xFFFFFFFFu);
  } else if (m.Info().cd) {
    // Lead-in of the open session: the ATIP lead-in for the first, else
    // right after the previous session's lead-out.
    std::int32_t leadIn = m.leadIn;
    if (sessions > 1) {
      const std::uint32_t prevEnd = m.sessions[sessions - 2].end;
      leadIn = static_cast<std::int32_t>(prevEnd + (sessions == 2 ? 6750 : 2250));
    }
    StoreMsf(&r[16], leadIn);
    StoreMsf(&r[20], static_cast<std::int32_t>(m.leadOut));
  } else {
    const int inv = m.InvisibleIndex();
    be::store32(&r[16], inv >= 0 && sessions > 1 ? m.tracks[inv].start : 0);
    be::store32(&r[20], m.leadOut);
  }
  c.Reply(r, be::load16(&c.cdb[7]));
}

void CmdReadTrackInformation(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const int type = cdb[1] & 0x03;
  const std::uint32_t address = be::load32(&cdb[2]);
  if (type == 3) return c.Fail(Sense::InvalidCdbField(1, 1));
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  int index = -1;
  if (type == 0) {
    for (std::size_t i = 0; i < m.tracks.size(); ++i) {
      const Track& t = m.tracks[i];
      if (address >= t.start && address < t.start + std::max<std::uint32_t>(1, m.TrackSize(t))) {
        index = static_cast<int>(i);
        break;
      }
    }
  } else if (type == 1) {
    if (address == 0xFF) {
      // The invisible track. Pressed discs have none.
      if (m.family() == Family::Rom) return c.Fail(Sense::InvalidCdbField(2));
      index = m.InvisibleIndex();
      if (index < 0 && m.family() == Family::PlusRw && m.formatted == 0) index = 0;
    } else if (address >= 1 && address <= m.tracks.size()) {
      index = static_cast<int>(address) - 1;
    }
  } else {
    const std::uint32_t session = address == 0xFF ? static_cast<std::uint32_t>(m.SessionCount()) : address;
    if (session >= 1 && session <= static_cast<std::uint32_t>(m.SessionCount()))
      index = m.FirstTrackInSession(static_cast<int>(session)) - 1;
  }
  if (index < 0) return c.Fail(Sense::InvalidCdbField(2));

  const Track& t = m.tracks[index];
  const Family f = m.family();
  const int number = index + 1;
  bool rt = false, blank = false, packet = t.incremental, fp = false, nwaValid = false, lraValid = false;
  std::uint32_t nwa = 0, free = m.FreeBlocks(t), size = m.TrackSize(t), lra = 0, packetSize = 0;
  switch (t.state) {
    case TrackState::Invisible:
      blank = t.written == 0;
      nwaValid = !t.damaged && f != Family::PlusRw;
      nwa = nwaValid ? t.Nwa() : 0;
      lraValid = t.written > 0;
      lra = t.written ? t.Nwa() - 1 : 0;
      break;
    case TrackState::Reserved:
      rt = true;
      blank = t.written == 0;
      nwaValid = t.written < t.size && !t.damaged;
      nwa = nwaValid ? t.Nwa() : 0;
      lraValid = t.written > 0;
      lra = t.written ? t.Nwa() - 1 : 0;
      break;
    case TrackState::Complete:
      if (!m.Info().cd && size) {
        lraValid = true;
        lra = t.start + size - 1;
      }
      break;
  }
  if (f == Family::Restricted) {
    // Overwritable in 16-block units; during the intermediate state the user
    // area grows from its end.
    nwaValid = true;
    nwa = m.intermediate ? m.formatted : 0;
  }
  // FP says a track was formatted for fixed packets, which on DVD only a
  // restricted-overwrite DVD-RW is. Incremental DVD-R/-RW Rzones take
  // variable packets (FP 0; the 16-block blocking factor is still given):
  // growisofs refuses a blank DVD-R whose track claims FP.
  if (f == Family::Restricted) {
    fp = true;
    packetSize = 16;
  } else if (!m.Info().cd) {
    packetSize = 16;  // blocking factor of DVD media
  }
  Bytes r(48, 0);
  be::store16(&r[0], 0x2E);
  r[2] = static_cast<std::uint8_t>(number);
  r[32] = static_cast<std::uint8_t>(number >> 8);
  r[3] = static_cast<std::uint8_t>(t.session);
  r[33] = static_cast<std::uint8_t>(t.session >> 8);
  r[5] = static_cast<std::uint8_t>((t.damaged ? 0x20 : 0) | (t.trackMode & 0x0F));
  r[6] = static_cast<std::uint8_t>((rt ? 0x80 : 0) | (blank ? 0x40 : 0) | (packet ? 0x20 : 0) | (fp ? 0x10 : 0) |
                                   (t.dataMode & 0x0F));
  r[7] = static_cast<std::uint8_t>((lraValid && !m.Info().cd ? 0x02 : 0) | (nwaValid ? 0x01 : 0));
  be::store32(&r[8], t.start);
  be::store32(&r[12], nwa);
  be::store32(&r[16], free);
  be::store32(&r[20], packetSize);
  be::store32(&r[24], size);
  be::store32(&r[28], lraValid && !m.Info().cd ? lra : 0);
  if (f == Family::DvdPlus) be::store32(&r[36], 270336);  // ROM compatibility LBA
  c.Reply(r, be::load16(&cdb[7]));
}

void CmdReadToc(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const bool msf = (cdb[1] & 0x02) != 0;
  std::uint8_t format = cdb[2] & 0x0F;
  if (format == 0 && (cdb[9] >> 6)) format = cdb[9] >> 6;  // pre-MMC hosts put it here
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  if (format == 4) {
    if (m.family() != Family::Cd) return c.Fail(Sense::InvalidCdbField(2));
    return ReadAtip(c);
  }
  if (format == 5) {
    if (!m.Info().cd) return c.Fail(Sense::InvalidCdbField(2));
    Bytes r(4, 0);
    be::store16(&r[0], 2);
    return c.Reply(r, be::load16(&cdb[7]));
  }
  if (format > 2 || (format == 2 && !m.Info().cd)) return c.Fail(Sense::InvalidCdbField(2));
  std::uint32_t leadOut = 0;
  int lastSession = 0;
  const auto toc = TocTracks(m, &leadOut, &lastSession);
  // A disc without a complete session has no TOC: drives refuse the read.
  if (toc.empty()) return c.Fail(Sense::InvalidCdbField(2));
  if (format == 0) return ReadToc0(c, toc, leadOut, msf);
  if (format == 1) return ReadToc1(c, toc, lastSession, msf);
  ReadToc2(c, toc);
}

void CmdReadCapacity(CommandContext& c) {
  if (!c.NeedMedium()) return;
  Bytes r(8, 0);
  be::store32(&r[0], c.medium().LastReadable());
  be::store32(&r[4], 2048);
  c.Reply(r, r.size());
}

void CmdReadFormatCapacities(CommandContext& c) {
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  Bytes r(4, 0);
  auto add = [&](std::uint32_t blocks, std::uint8_t typeByte, std::uint32_t param) {
    std::uint8_t e[8];
    be::store32(e, blocks);
    e[4] = typeByte;
    be::store24(&e[5], param);
    r.insert(r.end(), e, e + 8);
  };
  auto formattable = [&](std::uint32_t blocks, std::uint8_t type, std::uint32_t tdp) {
    add(blocks, static_cast<std::uint8_t>(type << 2), tdp);
  };
  const std::uint32_t cap = m.capacity;
  switch (m.kind) {
    case MediumKind::DvdPlusRw:
      add(cap, m.formatted ? 0x02 : 0x01, 2048);
      formattable(cap, 0x26, 0);
      break;
    case MediumKind::DvdRwSequential:
      add(cap, 0x01, 2048);
      formattable(cap, 0x00, 2048);
      formattable(cap, 0x10, 16);
      formattable(cap, 0x15, 16);
      break;
    case MediumKind::DvdRwRestricted:
      if (m.intermediate)
        add(m.formatted, 0x03, 2048);
      else
        add(m.formatted, 0x02, 2048);
      formattable(cap, 0x00, 2048);
      formattable(cap, 0x10, 16);
      if (!m.intermediate) {
        formattable(cap, 0x15, 16);
        formattable(cap - m.formatted, 0x13, 16);
        formattable(cap - m.formatted, 0x11, 16);
      }
      break;
    case MediumKind::DvdRam:
      add(cap, 0x02, 2048);
      formattable(cap, 0x00, 2048);
      formattable(cap > 32768 ? cap - 32768 : cap, 0x01, 0);
      break;
    default:
      add(m.family() == Family::Rom ? m.capacity : cap, 0x02, 2048);
      break;
  }
  r[3] = static_cast<std::uint8_t>(r.size() - 4);
  c.Reply(r, be::load16(&c.cdb[7]));
}

void CmdReadBufferCapacity(CommandContext& c) {
  Recorder::Impl& d = c.d;
  d.DrainBuffer();
  const std::uint32_t size = d.options.bufferBytes;
  const std::uint32_t free = size - static_cast<std::uint32_t>(std::min<double>(size, d.bufferFill));
  Bytes r(12, 0);
  be::store16(&r[0], 10);
  if (c.cdb[1] & 0x01) {
    r[3] = 0x01;
    be::store32(&r[8], free / 2048);
  } else {
    be::store32(&r[4], size);
    be::store32(&r[8], free);
  }
  c.Reply(r, be::load16(&c.cdb[7]));
}

void CmdReadDiscStructure(CommandContext& c) {
  const std::uint8_t format = c.cdb[7];
  if (!c.NeedMedium()) return;
  const MediumState& m = c.medium();
  if (m.Info().cd) return c.Fail(Sense::Make(kIllegalRequest, 0x30, 0x02));  // cannot read: incompatible format
  if (format != 0x00) return c.Fail(Sense::InvalidCdbField(7));
  Bytes r(4 + 2048, 0);
  be::store16(&r[0], 2048 + 2);
  std::uint8_t* p = &r[4];
  p[0] = BookType(m.kind);
  p[1] = 0x0F;  // 120 mm, maximum rate not specified
  const bool dual = m.kind == MediumKind::DvdPlusRDl;
  const std::uint8_t layerType = m.kind == MediumKind::DvdRom ? 0x01 : m.Info().erasable ? 0x04 : 0x02;
  p[2] = static_cast<std::uint8_t>((dual ? 0x20 : 0) | layerType);
  p[3] = 0x10;  // 0.267 um/bit, 0.74 um/track
  // Data area in physical sector numbers, which start at 30000h on DVD.
  be::store32(&p[4], 0x030000);
  be::store32(&p[8], 0x030000 + m.capacity / 16 * 16 - 1);
  c.Reply(r, be::load16(&c.cdb[8]));
}

void CmdGetPerformance(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const std::uint8_t type = cdb[10];
  const std::size_t maxDescriptors = be::load16(&cdb[8]);
  const MediumState& m = c.medium();
  Recorder::Impl& d = c.d;
  Bytes r(8, 0);
  const std::uint32_t end = m.capacity ? m.capacity - 1 : 0;
  if (type == 0x03) {
    for (std::uint16_t s : m.Info().writeSpeeds) {
      if ((r.size() - 8) / 16 >= maxDescriptors) break;
      std::uint8_t e[16] = {};
      be::store32(&e[4], end);
      be::store32(&e[8], m.Info().maxReadSpeed);
      be::store32(&e[12], s);
      r.insert(r.end(), e, e + 16);
    }
  } else if (type == 0x00) {
    const bool write = (cdb[1] & 0x04) != 0;
    r[4] = write ? 0x02 : 0x00;
    if (maxDescriptors > 0 && m.Present()) {
      const std::uint32_t speed = write ? d.EffectiveWriteSpeed() : d.EffectiveReadSpeed();
      std::uint8_t e[16] = {};
      be::store32(&e[4], speed);
      be::store32(&e[8], end);
      be::store32(&e[12], speed);
      r.insert(r.end(), e, e + 16);
    }
  } else {
    return c.Fail(Sense::InvalidCdbField(10));
  }
  be::store32(&r[0], static_cast<std::uint32_t>(r.size() - 4));
  c.Reply(r, r.size());
}

}  // namespace velloran::vrec
