#pragma once
// The flat-layout manifest, shard keys, digests and the library's error type.
//
// A distribution directory is described to its consumers by "manifest.json".
// In the flat layout that file lists every source record under its shard key
// ("eor/portal:0x0E000002") with the SHA-256, size and path of its shard.
//
// Thread safety: everything here is a plain value or a pure function; distinct
// objects may be used from different threads freely.
#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace manifest {

// SHA-256 (FIPS 180-4) of `bytes` as 64 lowercase hex digits, most significant
// nibble of each byte first. The empty input is valid. Cannot fail.
std::string sha256_hex(std::span<const uint8_t> bytes);

// The raw 32-byte SHA-256 digest of `bytes`.
std::array<uint8_t, 32> sha256_digest(std::span<const uint8_t> bytes);

// Two lowercase hex digits per byte, in order.
std::string hex_lower(std::span<const uint8_t> bytes);

// The shard key of a record: `ns` exactly as given (not validated), a colon,
// "0x" and `file_id` as eight uppercase hex digits, zero-padded.
// format_shard_key("eor/portal", 0x0E000002) == "eor/portal:0x0E000002".
std::string format_shard_key(std::string_view ns, uint32_t file_id);

struct ShardKey {
  std::string ns;
  uint32_t file_id = 0;
  bool operator==(const ShardKey&) const = default;
};

// The error type of the manifest library (JSON manifests and shard keys).
class ManifestError {
 public:
  enum class Kind {
    UnsupportedVersion,  // a manifest reader met a version it does not support
    InvalidShardKey,     // parse_shard_key rejected its input
    Json,                // writing or reading JSON failed
  };

  static ManifestError unsupported_version(uint32_t version);
  static ManifestError invalid_shard_key(std::string key);
  // A JSON writer failure: no position.
  static ManifestError json(std::string message);
  // A JSON reader failure at a 1-based line and column (the column of the last
  // byte the reader consumed; 0 when it consumed nothing on that line).
  static ManifestError json_at(std::string message, uint64_t line, uint64_t column);

  Kind kind() const { return kind_; }
  // UnsupportedVersion: the version met.
  uint32_t version() const { return version_; }
  // InvalidShardKey: the whole key, unchanged. Json: the message without its
  // position suffix.
  const std::string& text() const { return text_; }
  // Json from a reader: the position; 0 and 0 for a writer failure.
  uint64_t line() const { return line_; }
  uint64_t column() const { return column_; }
  bool has_position() const { return line_ != 0; }

  // Display text: "unsupported manifest version 3", "invalid shard key \"abc\"",
  // or the JSON message, for a reader failure followed by " at line L column C"
  // (e.g. "missing field `catalog_version` at line 17 column 1").
  std::string to_string() const;
  // Variant name and payload: "UnsupportedVersion(3)", "InvalidShardKey(\"abc\")",
  // "Json(Error(\"missing field `x`\", line: 1, column: 2))".
  std::string debug_string() const;

  bool operator==(const ManifestError&) const = default;

 private:
  explicit ManifestError(Kind kind) : kind_(kind) {}

  Kind kind_;
  uint32_t version_ = 0;
  std::string text_;
  uint64_t line_ = 0;
  uint64_t column_ = 0;
};

// Splits a shard key at its last colon: the namespace is everything before it
// (possibly empty, possibly containing colons); the tail must be "0x" or "0X",
// an optional single '+', then one or more hex digits of either case whose
// value fits in 32 bits (leading zeros allowed). Any failure gives
// InvalidShardKey carrying the whole key; no earlier colon is tried.
std::expected<ShardKey, ManifestError> parse_shard_key(std::string_view key);

// Iteration numbers of the DAT files the records came from; not interpreted.
struct SourceMeta {
  uint32_t portal_dat_iteration = 0;
  uint32_t cell_dat_iteration = 0;
  uint32_t local_dat_iteration = 0;
  bool operator==(const SourceMeta&) const = default;
};

// One source record's shard.
struct ShardEntry {
  std::string sha256;  // 64 lowercase hex digits of the record body's digest
  uint64_t size = 0;   // body length in bytes
  std::string url;     // shard path relative to the manifest's directory
  bool operator==(const ShardEntry&) const = default;
};

// The boot archive.
struct BootPack {
  std::string url;  // "boot.qra"
  uint64_t size = 0;
  std::string sha256;
  std::vector<std::string> covers;  // shard keys of the stored records, in insertion order
  bool operator==(const BootPack&) const = default;
};

// The flat-layout manifest. `shards` is keyed by shard key; std::map keeps the
// keys in byte-wise ascending order, which is also their order in the JSON.
struct Manifest {
  uint32_t version = 1;
  std::string generated_at;  // "YYYY-MM-DDTHH:MM:SSZ"
  SourceMeta source;
  BootPack boot_pack;
  std::map<std::string, ShardEntry> shards;
  bool operator==(const Manifest&) const = default;
};

// The manifest as pretty-printed JSON: members in declaration order, two-space
// indentation, "{}"/"[]" for empty containers, UTF-8 unescaped, no trailing
// newline. Fails (Json) only when the writer does, e.g. on a string that is not
// valid UTF-8.
std::expected<std::string, ManifestError> serialize_manifest(const Manifest& manifest);

// Reads a flat manifest back. Every member is required ("missing field `x`"),
// a member given twice fails ("duplicate field `x`"), as does a shard key given
// twice ("duplicate shard key `k`"); unknown members are ignored at every
// level; values must have their declared types and integers must fit their
// width. Errors are Json with a line and column. The version is not checked.
std::expected<Manifest, ManifestError> parse_manifest(std::string_view json);

}  // namespace manifest
