// How the command line shows a verification's outcome.
#pragma once

#include "image/disc_verify.h"

#include <vector>

namespace velloran::cli {

// A line saying all matched, or one line per difference (standard error).
void PrintVerification(const std::vector<image::TVerifyMismatch>& mismatches);

}  // namespace velloran::cli
