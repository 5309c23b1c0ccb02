// Progress of a long job on the terminal: a live bar on a terminal, plain
// lines otherwise (logs, pipes).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace velloran::cli {

class ProgressDisplay {
 public:
  // label: what runs ("Burning", "Saving", "Erasing").
  explicit ProgressDisplay(std::string label);
  // done/total in bytes; bufferFill 0..100 or -1 when unknown.
  void Update(std::int64_t done, std::int64_t total, int bufferFill = -1);
  // Percent only (erase).
  void UpdatePercent(int percent);
  // Ends the bar's line.
  void Finish();
  bool Terminal() const { return terminal_; }

 private:
  void Emit(const std::string& line, int percent);

  std::string label_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastPlain_;
  int lastPercent_ = -1;
  bool drawn_ = false;
};

}  // namespace velloran::cli
