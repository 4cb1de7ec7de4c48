// Implemented by layers whose output length follows a duration scale that the model's
// speed option sets.
#pragma once

namespace mi {

class DurationScaled {
 public:
  virtual ~DurationScaled() = default;
  virtual void set_duration_scale(float scale) = 0;
};

}  // namespace mi
