#pragma once
// Parsing of the numbers that command lines accept: decimal, or hexadecimal
// after a "0x"/"0X" prefix.
#include <cstdint>
#include <optional>
#include <string_view>

namespace common {

// The value of `text` if it is a whole number no greater than `max`; nothing
// for an empty text, a sign, any other character, or a value above `max`.
inline std::optional<uint64_t> parse_number(std::string_view text, uint64_t max = UINT64_MAX) {
  uint64_t base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else return std::nullopt;
    if (value > (max - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

}  // namespace common
