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

// A write beyond the process's file size limit (ulimit -f) kills the
// program by default (SIGXFSZ). Unless the program handles that signal
// itself, this makes such writes fail with EFBIG instead, so they are
// reported like any other write error.
void FailWritesBeyondFileSizeLimit();

}  // namespace velloran::platform
