// Identification, mode pages, features, events and the tray: the commands a
// host sends to learn what the drive is and what it holds.
#include <algorithm>
#include <string>
#include <vector>

#include "vrec/bytes.h"
#include "vrec/drive_state.h"

namespace velloran::vrec {
namespace {

using Bytes = std::vector<std::uint8_t>;

void PutText(std::uint8_t* p, std::size_t width, const std::string& text) {
  for (std::size_t i = 0; i < width; ++i) p[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

// Mode page 2Ah, CD/DVD capabilities and mechanical status, for the medium
// in the drive: speeds are those of the current medium.
Bytes CapabilitiesPage(const Recorder::Impl& d) {
  const MediumInfo& info = d.state.medium.Info();
  const auto speeds = info.writeSpeeds;
  Bytes p(32 + 4 * speeds.size(), 0);
  p[0] = 0x2A;
  p[1] = static_cast<std::uint8_t>(p.size() - 2);
  p[2] = 0x3F;  // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R, DVD-RAM
  p[3] = 0x37;  // writes CD-R, CD-RW, DVD-R, DVD-RAM; test write
  p[4] = 0xF1;  // BUF (underrun-free recording), multi-session, mode 2 forms, audio play
  p[5] = 0x73;
  p[6] = static_cast<std::uint8_t>(0x29 | (d.state.prevent ? 0x02 : 0x00));  // tray, eject, lock (state)
  const std::uint16_t maxWrite = speeds.empty() ? 0 : speeds.front();
  be::store16(&p[8], info.maxReadSpeed);
  be::store16(&p[10], 0x0100);
  be::store16(&p[12], static_cast<std::uint16_t>(d.options.bufferBytes / 1024));
  be::store16(&p[14], d.EffectiveReadSpeed());
  be::store16(&p[18], maxWrite);
  be::store16(&p[20], d.EffectiveWriteSpeed());
  be::store16(&p[22], 0x0001);
  be::store16(&p[28], d.EffectiveWriteSpeed());
  be::store16(&p[30], static_cast<std::uint16_t>(speeds.size()));
  for (std::size_t i = 0; i < speeds.size(); ++i) be::store16(&p[32 + 4 * i + 2], speeds[i]);
  return p;
}

Bytes WriteParametersPage(const Recorder::Impl& d, int pc) {
  Bytes p(d.page05.begin(), d.page05.end());
  if (pc == 1) {  // changeable mask
    std::fill(p.begin() + 2, p.end(), 0);
    p[2] = 0x7F;
    p[3] = 0xFF;
    p[4] = 0x0F;
    p[5] = 0xFF;
    p[7] = 0x3F;
    p[8] = 0xFF;
    std::fill(p.begin() + 10, p.end(), 0xFF);
  } else if (pc == 2) {  // defaults
    const auto defaults = DefaultPage05();
    p.assign(defaults.begin(), defaults.end());
  }
  return p;
}

void ModeSenseCommon(CommandContext& c, bool ten) {
  const std::uint8_t* cdb = c.cdb.data();
  const int pc = cdb[2] >> 6;
  const std::uint8_t page = cdb[2] & 0x3F;
  if (cdb[3] != 0) return c.Fail(Sense::InvalidCdbField(3));
  if (pc == 3) return c.Fail(sense::SavingNotSupported());
  Bytes pages;
  auto add = [&](const Bytes& p) { pages.insert(pages.end(), p.begin(), p.end()); };
  if (page == 0x05 || page == 0x3F) add(WriteParametersPage(c.d, pc));
  if (page == 0x2A || page == 0x3F) {
    Bytes cap = CapabilitiesPage(c.d);
    if (pc == 1) std::fill(cap.begin() + 2, cap.end(), 0);  // nothing changeable
    add(cap);
  }
  // Page 30h (vendor burn-free page of some drives) and anything else: not here.
  if (pages.empty()) return c.Fail(Sense::InvalidCdbField(2));
  const std::size_t header = ten ? 8 : 4;
  Bytes reply(header, 0);
  reply.insert(reply.end(), pages.begin(), pages.end());
  if (ten)
    be::store16(&reply[0], static_cast<std::uint32_t>(reply.size() - 2));
  else
    reply[0] = static_cast<std::uint8_t>(reply.size() - 1);
  c.Reply(reply, ten ? be::load16(&cdb[7]) : cdb[4]);
}

// Checks page 05h against what the medium takes, as a drive does when the
// page is selected. Returns an OK sense when the page may be stored.
Sense CheckWriteParameters(const MediumState& m, const std::uint8_t* q, std::size_t at) {
  const std::uint8_t writeType = q[2] & 0x0F;
  const std::uint8_t multi = q[3] >> 6;
  const std::uint8_t blockType = q[4] & 0x0F;
  const bool dataTrack = (q[3] & 0x04) != 0;
  if (writeType > 4) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 2), 3);
  if (multi == 2) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 3), 7);
  if (BlockTypeSize(blockType) == 0) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 4), 3);
  switch (m.family()) {
    case Family::Cd:
      if (writeType == 4) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 2), 3);
      if (writeType == 3) {
        if (blockType < 1 || blockType > 3) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 4), 3);
      } else if (dataTrack ? blockType < 8 : blockType > 3) {
        // A data track takes the Mode 1 / Mode 2 block types, an audio track
        // the raw ones.
        return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 4), 3);
      }
      return {};
    case Family::DvdMinus:
      if (writeType != 0 && writeType != 2) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 2), 3);
      if (blockType != 8) return Sense::InvalidParameter(static_cast<std::uint16_t>(at + 4), 3);
      return {};
    default:
      // DVD+R/+RW, DVD-RAM, restricted overwrite and pressed media take the
      // page and ignore it.
      return {};
  }
}

void ModeSelectCommon(CommandContext& c, bool ten) {
  const std::uint8_t* cdb = c.cdb.data();
  if (!(cdb[1] & 0x10)) return c.Fail(Sense::InvalidCdbField(1, 4));
  if (cdb[1] & 0x01) return c.Fail(Sense::InvalidCdbField(1, 0));
  const std::size_t length = ten ? be::load16(&cdb[7]) : cdb[4];
  if (length == 0) return;
  const auto p = c.Parameters(length);
  const std::size_t header = ten ? 8 : 4;
  if (p.size() < length || length < header) return c.Fail(sense::ParameterListLength());
  std::size_t at = header + (ten ? be::load16(&p[6]) : p[3]);
  std::array<std::uint8_t, kPage05Length> page05 = c.d.page05;
  bool any = false;
  while (at < length) {
    if (at + 2 > length) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at)));
    const std::uint8_t code = p[at] & 0x3F;
    const std::size_t pageLength = p[at + 1];
    if (p[at] & 0x80) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at), 7));
    if (at + 2 + pageLength > length) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at + 1)));
    if (code != 0x05) return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at)));
    // Drives report 32h; some report 36h with four vendor bytes and hosts
    // echo back whatever length they read.
    if (pageLength != 0x32 && pageLength != 0x36)
      return c.Fail(Sense::InvalidParameter(static_cast<std::uint16_t>(at + 1)));
    const std::uint8_t* q = &p[at];
    Sense s = CheckWriteParameters(c.medium(), q, at);
    if (!s.Ok()) return c.Fail(s);
    std::copy_n(q, kPage05Length, page05.begin());
    page05[1] = 0x32;
    any = true;
    at += 2 + pageLength;
  }
  if (any) c.d.page05 = page05;
}

// --- GET CONFIGURATION features ---------------------------------------------

struct Feature {
  std::uint16_t code;
  std::uint8_t version;
  bool persistent;
  bool current;
  Bytes data;
};

std::vector<Feature> Features(const Recorder::Impl& d) {
  const MediumState& m = d.state.medium;
  const bool present = m.Present() && !d.state.trayOpen;
  const MediumKind k = present ? m.kind : MediumKind::None;
  const bool cd = present && m.Info().cd;
  const bool dvd = present && !m.Info().cd;
  const bool cdWritable = k == MediumKind::CdR || k == MediumKind::CdRw;
  const bool minus = k == MediumKind::DvdR || k == MediumKind::DvdRwSequential;
  const bool rw = k == MediumKind::DvdRwSequential || k == MediumKind::DvdRwRestricted;
  const bool readable = present && (m.status != DiscStatus::Blank || m.Overwritable());
  const std::uint32_t lastLba = (k == MediumKind::DvdPlusRw || k == MediumKind::DvdRam) && m.formatted
                                    ? m.formatted - 1
                                    : 0;
  std::vector<Feature> f;

  Bytes profiles;
  static constexpr std::uint16_t kProfiles[] = {0x2B, 0x1B, 0x1A, 0x14, 0x13, 0x12, 0x11, 0x10, 0x0A, 0x09, 0x08};
  for (std::uint16_t p : kProfiles) {
    std::uint8_t b[4] = {0, 0, 0, 0};
    be::store16(b, p);
    b[2] = present && m.Info().profile == p ? 1 : 0;
    profiles.insert(profiles.end(), b, b + 4);
  }
  f.push_back({0x0000, 0, true, true, profiles});
  f.push_back({0x0001, 2, true, true, {0, 0, 0, 2, 0x01, 0, 0, 0}});  // ATAPI, DBE
  f.push_back({0x0002, 1, true, true, {0x02, 0, 0, 0}});               // OCEvent
  f.push_back({0x0003, 0, true, true, {0x39, 0, 0, 0}});               // tray, load, eject, lock
  Bytes rr(8, 0);
  be::store32(&rr[0], 2048);
  be::store16(&rr[4], dvd ? 16 : 1);
  rr[6] = 0x01;
  f.push_back({0x0010, 0, false, readable, rr});
  f.push_back({0x001D, 0, false, cd, {}});
  f.push_back({0x001E, 1, false, cd, {0x00, 0, 0, 0}});
  f.push_back({0x001F, 1, false, dvd, {0x01, 0, 0x01, 0}});
  Bytes rw20(12, 0);
  be::store32(&rw20[0], lastLba);
  be::store32(&rw20[4], 2048);
  be::store16(&rw20[8], 16);
  rw20[10] = 0x01;
  f.push_back({0x0020, 0, false, lastLba != 0, rw20});
  const bool incremental = cdWritable || k == MediumKind::DvdR || (k == MediumKind::DvdRwSequential && !m.daoOnly);
  Bytes inc(8, 0);
  be::store16(&inc[0], minus ? 0x0100 : 0x3F01);  // data block types
  inc[2] = 0x03;                                  // ARSV, BUF
  inc[3] = 1;
  inc[4] = minus ? 16 : 7;                        // link size
  f.push_back({0x0021, 1, false, incremental, inc});
  f.push_back({0x0023, 0, false, k == MediumKind::DvdPlusRw || rw || k == MediumKind::DvdRam,
               {0, 0, 0, 0, 0x01, 0, 0, 0}});
  f.push_back({0x0024, 0, false, k == MediumKind::DvdRam, {0x80, 0, 0, 0}});
  f.push_back({0x0026, 0, false, k == MediumKind::DvdRwRestricted, {}});
  f.push_back({0x002A, 0, false, k == MediumKind::DvdPlusRw, {0x01, 0, 0, 0}});
  f.push_back({0x002B, 0, false, k == MediumKind::DvdPlusR, {0x01, 0, 0, 0}});
  f.push_back({0x002C, 0, false, rw, {0x07, 0, 0, 0}});
  f.push_back({0x002D, 2, false, cdWritable, {0x46, 0, 0x3F, 0x01}});  // BUF, test write, CD-RW
  f.push_back({0x002E, 0, false, cdWritable, {0x6E, 0x00, 0x0C, 0x00}});  // BUF, SAO, raw, test, CD-RW
  f.push_back({0x002F, 1, false, minus, {0x46, 0, 0, 0}});  // BUF, test write, DVD-RW
  f.push_back({0x003B, 0, false, k == MediumKind::DvdPlusRDl, {0x01, 0, 0, 0}});
  f.push_back({0x0100, 0, true, true, {}});
  f.push_back({0x0107, 3, true, true, {0x0F, 0, 0, 0}});
  std::string serial = "VREC" + std::to_string(1000 + d.number).substr(0, 4);
  f.push_back({0x0108, 0, true, true, Bytes(serial.begin(), serial.end())});
  return f;
}

}  // namespace

void CmdTestUnitReady(CommandContext& c) { c.NeedMedium(); }

void CmdRequestSense(CommandContext& c) {
  if (c.cdb[1] & 0x01) return c.Fail(Sense::InvalidCdbField(1, 0));
  Recorder::Impl& d = c.d;
  Sense s;
  if (d.savedSense) {
    s = *d.savedSense;
    d.savedSense.reset();
  } else if (d.unitAttention) {
    s = sense::MediumChanged();
    d.unitAttention = false;
  } else if (d.Busy()) {
    s = Sense::Progress(d.state.busy.ascq, d.BusyProgress());
  }
  const auto bytes = s.Encode();
  c.Reply(bytes, c.cdb[4]);
}

void CmdInquiry(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const std::size_t allocation = be::load16(&cdb[3]);
  if (cdb[1] & 0x01) {
    Bytes reply;
    if (cdb[2] == 0x00) {
      reply = {0x05, 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (cdb[2] == 0x80) {
      std::string serial = "VREC" + std::to_string(1000 + c.d.number).substr(0, 4);
      reply = {0x05, 0x80, 0x00, static_cast<std::uint8_t>(serial.size())};
      reply.insert(reply.end(), serial.begin(), serial.end());
    } else {
      return c.Fail(Sense::InvalidCdbField(2));
    }
    return c.Reply(reply, allocation);
  }
  if (cdb[2] != 0) return c.Fail(Sense::InvalidCdbField(2));
  Bytes r(96, 0);
  r[0] = 0x05;  // CD/DVD device
  r[1] = 0x80;  // removable
  r[2] = 0x05;
  r[3] = 0x02;
  r[4] = static_cast<std::uint8_t>(r.size() - 5);
  PutText(&r[8], 8, "VELLORAN");
  PutText(&r[16], 16, "VREC RECORDER " + std::to_string(c.d.number));
  PutText(&r[32], 4, "3.38");
  c.Reply(r, allocation);
}

void CmdModeSense(CommandContext& c) { ModeSenseCommon(c, c.cdb[0] == 0x5A); }
void CmdModeSelect(CommandContext& c) { ModeSelectCommon(c, c.cdb[0] == 0x55); }

void CmdGetConfiguration(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  const int rt = cdb[1] & 0x03;
  const std::uint16_t start = be::load16(&cdb[2]);
  if (rt == 3) return c.Fail(Sense::InvalidCdbField(1, 1));
  const MediumState& m = c.medium();
  Bytes r(8, 0);
  const bool present = m.Present() && !c.d.state.trayOpen;
  be::store16(&r[6], present ? m.Info().profile : 0);
  for (const Feature& f : Features(c.d)) {
    const bool wanted = rt == 2 ? f.code == start : f.code >= start && (rt == 0 || f.current);
    if (!wanted) continue;
    std::uint8_t h[4];
    be::store16(h, f.code);
    h[2] = static_cast<std::uint8_t>((f.version << 2) | (f.persistent ? 0x02 : 0) | (f.current ? 0x01 : 0));
    h[3] = static_cast<std::uint8_t>(f.data.size());
    r.insert(r.end(), h, h + 4);
    r.insert(r.end(), f.data.begin(), f.data.end());
  }
  be::store32(&r[0], static_cast<std::uint32_t>(r.size() - 4));
  c.Reply(r, be::load16(&cdb[7]));
}

void CmdGetEventStatus(CommandContext& c) {
  const std::uint8_t* cdb = c.cdb.data();
  if (!(cdb[1] & 0x01)) return c.Fail(Sense::InvalidCdbField(1, 0));  // asynchronous: not supported
  Bytes r(4, 0);
  r[3] = 0x10;  // supported classes: media
  if (cdb[4] & 0x10) {
    Recorder::Impl& d = c.d;
    be::store16(&r[0], 6);
    r[2] = 0x04;
    const bool present = d.state.medium.Present() && !d.state.trayOpen;
    r.push_back(d.mediaEvent);
    r.push_back(static_cast<std::uint8_t>((present ? 0x02 : 0) | (d.state.trayOpen ? 0x01 : 0)));
    r.push_back(0);
    r.push_back(0);
    d.mediaEvent = kNoEvent;  // each event is reported once
  } else {
    be::store16(&r[0], 2);
    r[2] = 0x80;  // no event available
  }
  c.Reply(r, be::load16(&cdb[7]));
}

void CmdMechanismStatus(CommandContext& c) {
  Bytes r(8, 0);
  r[1] = c.d.state.trayOpen ? 0x10 : 0x00;
  c.Reply(r, be::load16(&c.cdb[8]));
}

void CmdStartStop(CommandContext& c) {
  Recorder::Impl& d = c.d;
  const std::uint8_t b4 = c.cdb[4];
  if (b4 >> 4) return;  // power conditions: accepted, no effect
  if (!(b4 & 0x02)) return;  // spin up / down
  if (!(b4 & 0x01)) {
    if (d.state.prevent) return c.Fail(sense::RemovalPrevented());
    if (d.state.trayOpen) return;
    d.state.trayOpen = true;
    ++d.state.mediaChanges;
    d.seenMediaChanges = d.state.mediaChanges;
    if (d.state.medium.Present()) d.mediaEvent = kMediaRemoval;
    d.testShadow.reset();
    d.cueSheet = false;
    c.dirty = true;
    return;
  }
  if (!d.state.trayOpen) return;
  // Closing the tray: the next command sees the medium change (unit
  // attention) when one is in the tray.
  d.state.trayOpen = false;
  ++d.state.mediaChanges;
  c.dirty = true;
}

void CmdPreventAllow(CommandContext& c) {
  Recorder::Impl& d = c.d;
  const bool on = (c.cdb[4] & 0x01) != 0;
  // The lock lasts while the process that set it holds the device file.
  if (on && !d.store.HoldDevice()) return c.Fail(Sense::Make(kHardwareError, 0x44, 0x00));
  if (!on) d.store.ReleaseDevice();
  if (d.state.prevent != on) {
    d.state.prevent = on;
    c.dirty = true;
  }
}

}  // namespace velloran::vrec
