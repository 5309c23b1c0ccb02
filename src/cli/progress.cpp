#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace velloran::cli {

ProgressDisplay::ProgressDisplay(std::string label)
    : label_(std::move(label)), terminal_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}

void ProgressDisplay::Update(std::int64_t done, std::int64_t total, int bufferFill) {
  if (total <= 0) total = 1;
  const int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double mb = done / 1048576.0, totalMb = total / 1048576.0;
  const double speed = seconds > 0.05 ? mb / seconds : 0;
  char line[256];
  int n = std::snprintf(line, sizeof line, "%s %3d%%  %.1f of %.1f MB", label_.c_str(), percent, mb, totalMb);
  if (speed > 0) {
    const double left = (totalMb - mb) / speed;
    n += std::snprintf(line + n, sizeof line - n, "  %.1f MB/s  %d:%02d left", speed, static_cast<int>(left) / 60,
                       static_cast<int>(left) % 60);
  }
  if (bufferFill >= 0) std::snprintf(line + n, sizeof line - n, "  buffer %d%%", bufferFill);
  Emit(line, percent);
}

void ProgressDisplay::UpdatePercent(int percent) {
  char line[128];
  std::snprintf(line, sizeof line, "%s %3d%%", label_.c_str(), percent);
  Emit(line, percent);
}

void ProgressDisplay::Emit(const std::string& text, int percent) {
  if (terminal_) {
    const int width = 30;
    const int filled = percent * width / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] ";
    std::cerr << "\r\033[K" << bar << text << std::flush;
    drawn_ = true;
    return;
  }
  // Plain lines: on every tenth of the way, and at most every 5 seconds.
  const auto now = std::chrono::steady_clock::now();
  if (percent / 10 != lastPercent_ / 10 || now - lastPlain_ > std::chrono::seconds(5)) {
    std::cerr << text << "\n";
    lastPlain_ = now;
    lastPercent_ = percent;
  }
}

void ProgressDisplay::Finish() {
  if (terminal_ && drawn_) std::cerr << "\n";
  drawn_ = false;
}

}  // namespace velloran::cli
