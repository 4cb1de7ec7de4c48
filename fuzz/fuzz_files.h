// Fuzz inputs handed to the loaders as files in memory-backed storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mi::fuzz {

// Writes `n` bytes to a per-process file named after `tag` and returns its path. The file
// lives in /dev/shm when that exists, so fuzzing does not wear the disk.
std::string write_temp(const char* tag, const uint8_t* data, size_t n);

// Splits one fuzz input into consecutive parts, each prefixed by a little-endian u32
// length that is clamped to what is left; the last part takes the rest.
class Splitter {
 public:
  Splitter(const uint8_t* data, size_t n) : p_(data), left_(n) {}
  void next(const uint8_t*& part, size_t& n);
  void rest(const uint8_t*& part, size_t& n) {
    part = p_;
    n = left_;
    p_ += left_;
    left_ = 0;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

}  // namespace mi::fuzz
