#include "platform/time_zone.h"

#include <chrono>
#include <cmath>

namespace velloran::platform {

namespace {

// Civil date of a day count from 1970-01-01 (Howard Hinnant's algorithm),
// exact far from the Unix epoch.
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

// 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t kDelphiEpochDays = -25569;

// localtime_r takes a lock and checks the zone on every call, which shows
// when 600,000 files are added. The offset only changes on quarter hours
// (all zone transitions fall on them), so one quarter's offset is kept.
// Seconds east of UTC.
long CachedOffsetSeconds(std::time_t t, bool& ok) {
  thread_local std::time_t cachedQuarter = -1;
  thread_local long cachedOffset = 0;
  ok = true;
  const std::time_t quarter = t >= 0 ? t / 900 : (t - 899) / 900;
  if (quarter != cachedQuarter) {
    std::tm local{};
    if (!localtime_r(&t, &local)) {
      ok = false;
      return 0;
    }
    cachedOffset = local.tm_gmtoff;
    cachedQuarter = quarter;
  }
  return cachedOffset;
}

}  // namespace

int LocalBiasMinutes() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<int>(-local.tm_gmtoff / 60);
}

int UtcOffsetMinutesAt(std::time_t t) {
  bool ok = false;
  return static_cast<int>(CachedOffsetSeconds(t, ok) / 60);
}

TDateTime UnixToDateTime(std::time_t t) {
  bool ok = false;
  const long offset = CachedOffsetSeconds(t, ok);
  if (!ok) return 0;
  const std::int64_t localSeconds = static_cast<std::int64_t>(t) + offset;
  const std::int64_t days = localSeconds >= 0 ? localSeconds / 86400 : (localSeconds - 86399) / 86400;
  const double secs = static_cast<double>(localSeconds - days * 86400);
  return static_cast<double>(days - kDelphiEpochDays) + secs / 86400.0;
}

TDateTime Now() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return UnixToDateTime(std::chrono::system_clock::to_time_t(now)) + static_cast<double>(ms) / 86400000.0;
}

bool DecodeDateTime(TDateTime value, DateParts& out) {
  if (!std::isfinite(value) || value < -693593.0 || value >= 2958466.0) return false;
  // Round to the millisecond first so 0.99999 of a second does not show as 59.
  auto totalMs = static_cast<std::int64_t>(std::llround(value * 86400000.0));
  std::int64_t days = totalMs / 86400000;
  std::int64_t ms = totalMs % 86400000;
  if (ms < 0) {
    // Negative dates count the time of day away from midnight, as the date
    // type does; the whole-day part alone decides the date.
    ms = -ms;
  }
  CivilFromDays(days + kDelphiEpochDays, out.year, out.month, out.day);
  out.hour = static_cast<int>(ms / 3600000);
  out.minute = static_cast<int>(ms / 60000 % 60);
  out.second = static_cast<int>(ms / 1000 % 60);
  out.millisecond = static_cast<int>(ms % 1000);
  return out.year >= 1 && out.year <= 9999;
}

int UtcOffsetMinutesOfLocal(TDateTime value) {
  DateParts p{};
  if (!DecodeDateTime(value, p)) return 0;
  std::tm tm{};
  tm.tm_year = p.year - 1900;
  tm.tm_mon = p.month - 1;
  tm.tm_mday = p.day;
  tm.tm_hour = p.hour;
  tm.tm_min = p.minute;
  tm.tm_sec = p.second;
  tm.tm_isdst = 1;  // the repeated hour: its first pass, under daylight saving time
  std::tm probe = tm;
  std::time_t t = std::mktime(&probe);
  if (t == static_cast<std::time_t>(-1) || probe.tm_hour != tm.tm_hour || probe.tm_mday != tm.tm_mday) {
    // No daylight saving time at that date (mktime moved the clock): the
    // standard offset is the one in force.
    probe = tm;
    probe.tm_isdst = 0;
    t = std::mktime(&probe);
    if (t == static_cast<std::time_t>(-1)) return 0;
  }
  return UtcOffsetMinutesAt(t);
}

}  // namespace velloran::platform
