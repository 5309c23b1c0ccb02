// Time-zone bias and date conversion for directory records.
#pragma once

#include <cstdint>
#include <ctime>

namespace velloran::platform {

// Minutes to add to local time to get UTC (positive west of Greenwich), as
// the C library's local time reports it for the current moment.
int LocalBiasMinutes();

// Offset of local time from UTC in minutes (positive east of Greenwich) in
// force at the moment t, so a date of summer carries summer's offset even
// when the compilation is made in winter.
int UtcOffsetMinutesAt(std::time_t t);

// Dates are days since 1899-12-30 with the time of day as the fraction, in
// local time (the date type the component's interface uses).
using TDateTime = double;

// Local date and time of a Unix time; the current time for Now().
TDateTime UnixToDateTime(std::time_t t);
TDateTime Now();

// Broken-down local date of a TDateTime; false when it lies outside
// 1 to 9999 or is not a number.
struct DateParts {
  int year, month, day, hour, minute, second, millisecond;
};
bool DecodeDateTime(TDateTime value, DateParts& out);

// Offset from UTC (minutes, positive east) in force at a local date and
// time, for dates that come without their moment (a date an event handler
// set, a date read from an earlier session). In the hour that a change back
// from daylight saving time repeats, the daylight saving offset is taken.
// 0 when the date cannot be decoded.
int UtcOffsetMinutesOfLocal(TDateTime local);

}  // namespace velloran::platform
