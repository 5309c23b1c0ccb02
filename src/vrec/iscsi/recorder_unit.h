// The virtual recorder as the target's logical unit.
#pragma once

#include "vrec/iscsi/target.h"
#include "vrec/recorder.h"

namespace velloran::vrec::iscsi {

class RecorderUnit : public LogicalUnit {
 public:
  explicit RecorderUnit(Recorder& recorder) : recorder_(recorder) {}
  UnitResult Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data, Direction direction) override;
  void Reset() override;

 private:
  Recorder& recorder_;
};

}  // namespace velloran::vrec::iscsi
