#include "cli/verify_report.h"

#include <iostream>

namespace velloran::cli {

void PrintVerification(const std::vector<image::TVerifyMismatch>& mismatches) {
  if (mismatches.empty()) {
    std::cout << "Verified: the disc holds every file as recorded.\n";
    return;
  }
  std::cerr << "Verification found " << mismatches.size() << " difference" << (mismatches.size() == 1 ? "" : "s")
            << " (ISO 9660 name | Joliet name):\n";
  for (const auto& m : mismatches) std::cerr << "  " << image::MismatchLine(m) << "\n";
}

}  // namespace velloran::cli
