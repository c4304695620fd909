#include "dat/resource.h"

#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

namespace dat {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::string describe_utf8_fault(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  auto invalid = [&](size_t len) {
    return fmt::format("invalid utf-8 sequence of {} bytes from index {}", len, i);
  };
  auto incomplete = [&] { return fmt::format("incomplete utf-8 byte sequence from index {}", i); };
  while (i < n) {
    const uint8_t first = bytes[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    size_t width = 0;
    if (first >= 0xC2 && first <= 0xDF) width = 2;
    else if (first >= 0xE0 && first <= 0xEF) width = 3;
    else if (first >= 0xF0 && first <= 0xF4) width = 4;
    else return invalid(1);

    if (i + 1 >= n) return incomplete();
    const uint8_t second = bytes[i + 1];
    bool second_ok = false;
    if (width == 2) {
      second_ok = is_continuation(second);
    } else if (width == 3) {
      second_ok = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
                  (first >= 0xE1 && first <= 0xEC && is_continuation(second)) ||
                  (first == 0xED && second >= 0x80 && second <= 0x9F) ||
                  (first >= 0xEE && is_continuation(second));
    } else {
      second_ok = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
                  (first >= 0xF1 && first <= 0xF3 && is_continuation(second)) ||
                  (first == 0xF4 && second >= 0x80 && second <= 0x8F);
    }
    if (!second_ok) return invalid(1);
    for (size_t k = 2; k < width; ++k) {
      if (i + k >= n) return incomplete();
      if (!is_continuation(bytes[i + k])) return invalid(k);
    }
    i += width;
  }
  return {};
}

DatResult<ResourceNamespace> ResourceNamespace::create(std::string_view label) {
  if (label.empty()) return std::unexpected(DatError::invalid_namespace("namespace label cannot be empty"));
  if (label.size() > kSize) {
    return std::unexpected(DatError::invalid_namespace(
        fmt::format("namespace label '{}' exceeds {} bytes", label, kSize)));
  }
  if (label.find('\0') != std::string_view::npos) {
    return std::unexpected(
        DatError::invalid_namespace(fmt::format("namespace label '{}' contains a NUL byte", label)));
  }
  // Text labels reach this type as std::string_view; they are stored as given.
  // A label that is not valid UTF-8 would break as_str's guarantee, so it is
  // refused like the stored form is.
  const auto* raw = reinterpret_cast<const uint8_t*>(label.data());
  if (auto fault = describe_utf8_fault({raw, label.size()}); !fault.empty()) {
    return std::unexpected(DatError::invalid_namespace("namespace bytes are not valid UTF-8: " + fault));
  }
  Bytes bytes{};
  std::memcpy(bytes.data(), label.data(), label.size());
  return ResourceNamespace(bytes);
}

DatResult<ResourceNamespace> ResourceNamespace::from_bytes(std::span<const uint8_t, kSize> bytes) {
  size_t len = kSize;
  for (size_t i = 0; i < kSize; ++i) {
    if (bytes[i] == 0) {
      len = i;
      break;
    }
  }
  for (size_t i = len; i < kSize; ++i) {
    if (bytes[i] != 0) {
      return std::unexpected(
          DatError::invalid_namespace("namespace bytes must be zero-padded without embedded trailing data"));
    }
  }
  if (len == 0) return std::unexpected(DatError::invalid_namespace("namespace label cannot be empty"));
  if (auto fault = describe_utf8_fault(bytes.first(len)); !fault.empty()) {
    return std::unexpected(DatError::invalid_namespace("namespace bytes are not valid UTF-8: " + fault));
  }
  Bytes copy{};
  std::memcpy(copy.data(), bytes.data(), kSize);
  return ResourceNamespace(copy);
}

std::string_view ResourceNamespace::as_str() const {
  size_t len = kSize;
  for (size_t i = 0; i < kSize; ++i) {
    if (bytes_[i] == 0) {
      len = i;
      break;
    }
  }
  return {reinterpret_cast<const char*>(bytes_.data()), len};
}

}  // namespace dat
