// Speed texts of the log lines: "8.0X (11,080 KB/s)" for DVD media,
// "40X (7,056 KB/s)" for CDs (one CD step is 176.4 kB/s, one DVD step
// 1385 kB/s).
#pragma once

#include <cstdint>
#include <string>

namespace velloran::recording {

// "#,##0" with "," between thousands.
std::string GroupThousands(std::uint32_t value);
// The write thread's text: DVD-R, DVD-RAM, DVD-RW, DVD+RW and DVD+R in DVD
// steps with one decimal, every other kind in whole CD steps.
std::string WriteSpeedText(std::uint8_t discKind, std::uint32_t kbPerSecond);
// The erase job's text: kinds 6 to 10 in DVD steps, others in CD steps, no
// blank before the parenthesis ("10X(1,764 KB/s)").
std::string EraseSpeedText(std::uint8_t discKind, std::uint32_t kbPerSecond);

}  // namespace velloran::recording
