#include "io/weights_loader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "backend/shared_weight.h"

namespace mi {

namespace {

constexpr size_t kHeaderBytes = 12;
constexpr size_t kEntryBytes = 80;

struct IndexEntry {
  uint8_t bytes[kEntryBytes];
  int32_t offset() const {
    uint32_t v;
    std::memcpy(&v, bytes + 64, 4);
    return int32_t(v);
  }
  uint32_t size() const {
    uint32_t v;
    std::memcpy(&v, bytes + 72, 4);
    return v;
  }
};

[[noreturn]] void read_error(const char* field) {
  throw std::runtime_error(std::string("read error at ") + field);
}

// Clears the shared-weight registry whichever way the load ends.
struct RegistryScope {
  RegistryScope() { clear_shared_weight_registry(); }
  ~RegistryScope() { clear_shared_weight_registry(); }
};

class WeightsFile {
 public:
  explicit WeightsFile(const std::string& path) : path_(path) {
    f_ = std::fopen(path.c_str(), "rb");
    if (!f_) throw std::runtime_error("Cannot open weights: " + path);
    // The file length bounds every count and size read from it, so a corrupt header
    // cannot make the loader allocate more than the file holds.
    if (std::fseek(f_, 0, SEEK_END) == 0) {
      const long end = std::ftell(f_);
      if (end >= 0) length_ = uint64_t(end);
    }
    std::fseek(f_, 0, SEEK_SET);
  }
  WeightsFile(const WeightsFile&) = delete;
  WeightsFile& operator=(const WeightsFile&) = delete;
  ~WeightsFile() {
    if (f_) std::fclose(f_);
  }

  void read(void* dst, size_t n, const char* field) {
    if (n > 0 && std::fread(dst, 1, n, f_) != n) read_error(field);
  }
  bool seek(int32_t offset) { return std::fseek(f_, long(offset), SEEK_SET) == 0; }
  uint64_t remaining() const {
    const long pos = std::ftell(f_);
    return pos < 0 || uint64_t(pos) > length_ ? 0 : length_ - uint64_t(pos);
  }
  uint64_t length() const { return length_; }
  const std::string& path() const { return path_; }

  void close() {
    FILE* f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0)
      std::fprintf(stderr, "Warning: fclose failed for %s: %s\n", path_.c_str(),
                   std::strerror(errno));
  }

 private:
  std::string path_;
  FILE* f_ = nullptr;
  uint64_t length_ = 0;
};

bool lookup_tensor(WeightsFile& file, const std::unordered_map<std::string, IndexEntry>& index,
                   WeightLoadMemoryStats* stats, const std::string& name, std::vector<int>& shape,
                   std::vector<uint8_t>& data) {
  const auto it = index.find(name);
  if (it == index.end() || !file.seek(it->second.offset())) return false;
  uint8_t dtype = 0, ordering = 0;
  uint16_t ndim = 0;
  file.read(&dtype, 1, "tensor_dtype");
  file.read(&ordering, 1, "tensor_ordering");
  file.read(&ndim, 2, "tensor_ndim");
  const uint64_t head = 4 + 4 * uint64_t(ndim);
  const uint64_t size = it->second.size();
  if (size < head)
    throw std::runtime_error("weights file " + file.path() + ": tensor '" + name +
                             "' record size " + std::to_string(size) +
                             " is smaller than its header of " + std::to_string(head) + " bytes");
  if (4 * uint64_t(ndim) > file.remaining()) read_error("tensor_shape");
  std::vector<int> dims(ndim);
  file.read(dims.data(), 4 * size_t(ndim), "tensor_shape");
  const uint64_t payload = size - head;
  if (payload > file.remaining()) read_error("tensor_data");
  if (stats && payload > stats->max_tensor_bytes) stats->max_tensor_bytes = payload;
  std::vector<uint8_t> bytes(payload);
  file.read(bytes.data(), bytes.size(), "tensor_data");
  shape = std::move(dims);
  data = std::move(bytes);
  return true;
}

}  // namespace

void load_weights(const std::string& path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats) {
  RegistryScope registry_scope;
  WeightsFile file(path);

  char magic[4];
  file.read(magic, 4, "magic");
  if (std::memcmp(magic, "W1X1", 4) != 0)
    throw std::runtime_error("Bad magic in " + path + " (expected W1X1)");
  uint32_t version = 0, num_entries = 0;
  file.read(&version, 4, "version");
  file.read(&num_entries, 4, "num_entries");

  std::unordered_map<std::string, IndexEntry> index;
  const uint64_t fits =
      file.length() > kHeaderBytes ? (file.length() - kHeaderBytes) / kEntryBytes : 0;
  index.reserve(size_t(std::min<uint64_t>(num_entries, fits)));
  for (uint32_t i = 0; i < num_entries; ++i) {
    IndexEntry e;
    file.read(e.bytes, kEntryBytes, "index_entry");
    e.bytes[63] = 0;
    index[std::string(reinterpret_cast<const char*>(e.bytes))] = e;
  }

  const TensorLookup lookup = [&](const std::string& name, std::vector<int>& shape,
                                  std::vector<uint8_t>& data) {
    return lookup_tensor(file, index, stats, name, shape, data);
  };
  for (auto& layer : layers) layer->load_weights(lookup);
  file.close();
}

}  // namespace mi
