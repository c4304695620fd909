#pragma once
// The resource model: namespace labels, resource keys and the record-source
// interface through which decoders fetch records by key.
#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dat/error.h"

namespace dat {

// A namespace label in its fixed 32-byte stored form: the label's UTF-8 bytes,
// then zero bytes. Invariants (established by both constructors): the label is
// 1 to 32 bytes, holds no zero byte, is valid UTF-8, and everything after it
// is zero. Ordering is bytewise over the 32 bytes, so a label sorts before any
// longer label it is a prefix of ("eor/cell" < "eor/portal").
class ResourceNamespace {
 public:
  static constexpr size_t kSize = 32;
  using Bytes = std::array<uint8_t, kSize>;

  // Validates a label given as text (the archive writer's `add`, the reader's lookups).
  static DatResult<ResourceNamespace> create(std::string_view label);
  // Validates 32 stored bytes (archive namespace metadata, index records).
  static DatResult<ResourceNamespace> from_bytes(std::span<const uint8_t, kSize> bytes);

  // The label text, without the zero fill.
  std::string_view as_str() const;
  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const ResourceNamespace&, const ResourceNamespace&) = default;
  friend std::strong_ordering operator<=>(const ResourceNamespace&, const ResourceNamespace&) = default;

 private:
  explicit ResourceNamespace(const Bytes& bytes) : bytes_(bytes) {}
  Bytes bytes_;
};

// A namespace label (plain text, not validated here) and a 32-bit file id.
struct ResourceKey {
  std::string label;
  uint32_t file_id = 0;

  friend bool operator==(const ResourceKey&, const ResourceKey&) = default;
  friend auto operator<=>(const ResourceKey&, const ResourceKey&) = default;
};

struct ResourceKeyHash {
  size_t operator()(const ResourceKey& key) const noexcept {
    return std::hash<std::string_view>{}(key.label) ^ (std::hash<uint32_t>{}(key.file_id) * 0x9E3779B97F4A7C15ull);
  }
};

// Provider of records by key. get_file_by_key returns the complete,
// uncompressed body of an existing record as a new vector owned by the caller,
// an error (never an empty vector) for a missing one, and does not change the
// source.
class ResourceSource {
 public:
  virtual ~ResourceSource() = default;
  virtual DatResult<std::vector<uint8_t>> get_file_by_key(const ResourceKey& key) const = 0;
};

// Describes the first UTF-8 fault in `bytes` the way the namespace messages
// quote it: "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}". Empty when valid.
std::string describe_utf8_fault(std::span<const uint8_t> bytes);

}  // namespace dat
