#include "fuzz_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace mi::fuzz {

std::string write_temp(const char* tag, const uint8_t* data, size_t n) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path = std::string(dir) + "/mi_fuzz_" + std::to_string(getpid()) + "_" + tag;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::logic_error("cannot write " + path);
  const bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
  if (std::fclose(f) != 0 || !ok) throw std::logic_error("cannot write " + path);
  return path;
}

void Splitter::next(const uint8_t*& part, size_t& n) {
  uint32_t len = 0;
  const size_t head = left_ < 4 ? left_ : 4;
  std::memcpy(&len, p_, head);
  p_ += head;
  left_ -= head;
  n = len < left_ ? len : left_;
  part = p_;
  p_ += n;
  left_ -= n;
}

}  // namespace mi::fuzz
