// Facts about the running program.
#pragma once

#include <string>

namespace velloran::platform {

// The folder holding the running program (no trailing slash), or empty when
// it cannot be found.
std::string ExecutableDir();

// Name of the group that owns a file, or its number as text; empty when the
// file cannot be examined.
std::string OwningGroupName(const std::string& path);

}  // namespace velloran::platform
