// A small JSON value with ordered object members, written on one line.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace pdctl {

class Json {
 public:
  using Array = std::vector<Json>;
  using Object = std::vector<std::pair<std::string, Json>>;

  Json() : value_(nullptr) {}
  Json(std::nullptr_t) : value_(nullptr) {}
  Json(bool value) : value_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) Json(T value) : value_(static_cast<int64_t>(value)) {}
  Json(std::string value) : value_(std::move(value)) {}
  Json(std::string_view value) : value_(std::string(value)) {}
  Json(const char* value) : value_(std::string(value)) {}
  Json(Array value) : value_(std::move(value)) {}
  Json(Object value) : value_(std::move(value)) {}

  // One line, no spaces: {"a":1,"b":"x"}.
  std::string dump() const;

 private:
  std::variant<std::nullptr_t, bool, int64_t, std::string, Array, Object> value_;
};

// A JSON string literal for arbitrary bytes: valid UTF-8 passes through,
// control characters and stray bytes are escaped (a stray byte as \u00XX).
std::string jsonString(std::string_view bytes);

// Lowercase hex of the bytes, no separators.
std::string hexString(const uint8_t* data, size_t size);

}  // namespace pdctl
