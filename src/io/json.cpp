#include "io/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace mi {

namespace {

[[noreturn]] void fail_expected(char want, char got) {
  char msg[64];
  std::snprintf(msg, sizeof msg, "JSON: expected '%c', got '%c'", want, got);
  throw std::runtime_error(msg);
}

[[noreturn]] void fail_unexpected(char got) {
  char msg[64];
  std::snprintf(msg, sizeof msg, "JSON: unexpected char '%c'", got);
  throw std::runtime_error(msg);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Parses exactly the scanned extent, independent of the process locale. Matches strtod on
// what the scanner admits: "-" reads as 0, "1e" as 1, and out-of-range values saturate to
// infinity or flush to zero.
double parse_number_text(const char* first, const char* last) {
  double v = 0.0;
  const std::from_chars_result r = std::from_chars(first, last, v);
  if (r.ec == std::errc::invalid_argument) return 0.0;
  if (r.ec == std::errc::result_out_of_range) {
    const bool neg = *first == '-';
    const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
    const bool tiny = e != last && e + 1 != last && e[1] == '-';
    if (tiny) return neg ? -0.0 : 0.0;
    return neg ? -HUGE_VAL : HUGE_VAL;
  }
  return v;
}

class Parser {
 public:
  Parser(const char* text, size_t n) : p_(text), end_(text + n) {}

  JsonValue parse_value(int depth) {
    if (depth > kJsonMaxDepth)
      throw std::runtime_error("JSON: nesting deeper than " + std::to_string(kJsonMaxDepth) +
                               " levels");
    skip_ws();
    const char c = peek();
    if (c == '{') return parse_object(depth);
    if (c == '[') return parse_array(depth);
    if (c == '"') {
      JsonValue v;
      v.type = JsonValue::String;
      v.string = parse_string();
      return v;
    }
    if (c == 't' && match("rue")) return make_bool(true, 4);
    if (c == 'f' && match("alse")) return make_bool(false, 5);
    if (c == 'n' && match("ull")) {
      p_ += 4;
      return JsonValue();
    }
    if (c == '-' || is_digit(c)) return parse_number();
    fail_unexpected(c);
  }

 private:
  const char* p_;
  const char* end_;

  char peek() const { return p_ < end_ ? *p_ : '\0'; }

  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  void expect(char want) {
    skip_ws();
    const char got = peek();
    if (got != want) fail_expected(want, got);
    ++p_;
  }

  // True when the bytes after the current one spell `rest`, all inside the buffer.
  bool match(const char* rest) const {
    const size_t n = std::strlen(rest);
    if (size_t(end_ - p_) < n + 1) return false;
    return std::memcmp(p_ + 1, rest, n) == 0;
  }

  JsonValue make_bool(bool b, int len) {
    p_ += len;
    JsonValue v;
    v.type = JsonValue::Bool;
    v.boolean = b;
    return v;
  }

  JsonValue parse_object(int depth) {
    ++p_;
    JsonValue v;
    v.type = JsonValue::Object;
    v.object = std::make_unique<std::map<std::string, JsonValue>>();
    skip_ws();
    if (peek() == '}') {
      ++p_;
      return v;
    }
    for (;;) {
      std::string key = parse_string();
      expect(':');
      (*v.object)[key] = parse_value(depth + 1);
      skip_ws();
      if (peek() == ',') {
        ++p_;
        continue;
      }
      expect('}');
      return v;
    }
  }

  JsonValue parse_array(int depth) {
    ++p_;
    JsonValue v;
    v.type = JsonValue::Array;
    skip_ws();
    if (peek() == ']') {
      ++p_;
      return v;
    }
    for (;;) {
      v.array.push_back(parse_value(depth + 1));
      skip_ws();
      if (peek() == ',') {
        ++p_;
        continue;
      }
      expect(']');
      return v;
    }
  }

  std::string parse_string() {
    expect('"');
    std::string out;
    for (;;) {
      if (p_ >= end_) throw std::runtime_error("JSON: unterminated string");
      const char c = *p_++;
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (p_ >= end_) throw std::runtime_error("JSON: unterminated string");
      const char e = *p_++;
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        default: out.push_back(e); break;
      }
    }
  }

  JsonValue parse_number() {
    const char* start = p_;
    if (peek() == '-') ++p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    if (peek() == '.') {
      ++p_;
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++p_;
      if (peek() == '+' || peek() == '-') ++p_;
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    JsonValue v;
    v.type = JsonValue::Number;
    v.number = parse_number_text(start, p_);
    return v;
  }
};

struct FileCloser {
  std::FILE* f;
  ~FileCloser() {
    if (f) std::fclose(f);
  }
};

}  // namespace

JsonValue& JsonValue::member(const std::string& key) {
  if (!object) object = std::make_unique<std::map<std::string, JsonValue>>();
  return (*object)[key];
}

JsonValue parse_json(const char* text, size_t length) {
  Parser p(text, length);
  return p.parse_value(0);
}

JsonValue read_json_file(const std::string& path) {
  FileCloser file{std::fopen(path.c_str(), "rb")};
  if (!file.f) throw std::runtime_error("Cannot open JSON: " + path);
  if (std::fseek(file.f, 0, SEEK_END) != 0) throw std::runtime_error("Read error: " + path);
  const long end = std::ftell(file.f);
  // The reader handles files below 2 GiB; a failed or larger size query is a read error.
  if (end < 0 || end > 0x7fffffffL || std::fseek(file.f, 0, SEEK_SET) != 0)
    throw std::runtime_error("Read error: " + path);
  std::vector<char> buf(static_cast<size_t>(end));
  if (end > 0 && std::fread(buf.data(), 1, buf.size(), file.f) != buf.size())
    throw std::runtime_error("Read error: " + path);
  std::fclose(file.f);
  file.f = nullptr;
  return parse_json(buf.data(), buf.size());
}

bool has(const JsonValue& v, const std::string& key) {
  return v.type == JsonValue::Object && v.object && v.object->count(key) > 0;
}

const JsonValue& at(const JsonValue& v, const std::string& key) {
  if (v.object) {
    auto it = v.object->find(key);
    if (it != v.object->end()) return it->second;
  }
  throw std::runtime_error("JSON key not found: " + key);
}

size_t size(const JsonValue& v) {
  if (v.type == JsonValue::Array) return v.array.size();
  if (v.type == JsonValue::Object && v.object) return v.object->size();
  return 0;
}

int32_t truncate_to_int32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return int32_t(v);
}

float narrow_to_float(double v) {
  if (v > double(std::numeric_limits<float>::max())) return HUGE_VALF;
  if (v < -double(std::numeric_limits<float>::max())) return -HUGE_VALF;
  return float(v);
}

}  // namespace mi
