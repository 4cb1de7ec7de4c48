// A small JSON reader for architecture files.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mi {

struct JsonValue {
  enum Type : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

  Type type = Null;
  double number = 0.0;
  bool boolean = false;
  std::string string;
  std::vector<JsonValue> array;
  std::unique_ptr<std::map<std::string, JsonValue>> object;

  JsonValue() = default;
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;

  const JsonValue& operator[](size_t i) const { return array[i]; }
  // Inserts a null member when absent.
  JsonValue& member(const std::string& key);
};

// Nesting deeper than this is rejected, so hostile input cannot exhaust the stack.
constexpr int kJsonMaxDepth = 256;

JsonValue parse_json(const char* text, size_t length);
JsonValue read_json_file(const std::string& path);
bool has(const JsonValue& v, const std::string& key);
const JsonValue& at(const JsonValue& v, const std::string& key);
size_t size(const JsonValue& v);

// Numbers truncated toward zero; values beyond the 32-bit range saturate and NaN reads as
// 0, so a hostile file cannot trigger an undefined conversion.
int32_t truncate_to_int32(double v);
// Values beyond the float range become infinities.
float narrow_to_float(double v);

}  // namespace mi
