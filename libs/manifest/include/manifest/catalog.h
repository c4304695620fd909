#pragma once
// The binary per-namespace catalog: every file id of one namespace with the
// 16-byte SHA-256 prefix that names its shard and the record's size.
//
// File layout (little-endian):
//   0   4  magic "QRNS"
//   4   1  format version, 1
//   5   1  flags (only 0 is supported)
//   6   2  reserved, 0
//   8   4  entry count, u32
//   12  4  reserved, 0
//   16  n  entries in ascending file_id order, each
//            ULEB128 file_id delta from the previous entry (from 0 for the first)
//            16 bytes sha256_prefix
//            ULEB128 size
//   16+n 4 CRC-32 (zlib) of bytes [0, 16+n)
//   20+n 4 trailing magic "SNRQ"
//
// The namespace label is not stored in the file: the reader supplies it.
// Nothing here touches the file system except write_to, which writes to a
// descriptor the caller owns.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/io.h"

namespace manifest {

// The only defined flag bit: full 32-byte digests. Neither written nor read by
// this version of the codec.
inline constexpr uint8_t CATALOG_FLAG_FULL_SHA256 = 0x01;

// The catalog format version this build reads and writes.
inline constexpr uint8_t CATALOG_FORMAT_VERSION = 1;

struct CatalogEntry {
  std::array<uint8_t, 16> sha256_prefix{};  // first 16 bytes of the body's SHA-256
  uint64_t size = 0;                         // body length in bytes
  uint32_t file_id = 0;
  bool operator==(const CatalogEntry&) const = default;
};

// Why a catalog file could not be decoded.
class CatalogError {
 public:
  enum class Kind {
    BadMagic,            // the first four bytes are not "QRNS"
    BadTrailingMagic,    // the last four bytes are not "SNRQ"
    UnsupportedVersion,  // version byte other than 1
    UnknownFlags,        // a flag bit this codec cannot read
    CrcMismatch,         // stored checksum differs from the computed one
    EntryCountOverflow,  // entry count and stream length disagree, or ids overflow
    Truncated,           // input ends before a field
  };

  static CatalogError bad_magic() { return CatalogError(Kind::BadMagic); }
  static CatalogError bad_trailing_magic() { return CatalogError(Kind::BadTrailingMagic); }
  static CatalogError unsupported_version(uint8_t found);
  static CatalogError unknown_flags(uint8_t bits);
  static CatalogError crc_mismatch(uint32_t expected, uint32_t got);
  static CatalogError entry_count_overflow(uint64_t declared, uint64_t available);
  static CatalogError truncated(uint64_t offset);

  Kind kind() const { return kind_; }
  // Payload accessors; each is meaningful only for the kind named.
  uint8_t found_version() const { return static_cast<uint8_t>(a_); }  // UnsupportedVersion
  uint8_t flag_bits() const { return static_cast<uint8_t>(a_); }      // UnknownFlags
  uint32_t expected_crc() const { return static_cast<uint32_t>(a_); }  // CrcMismatch: stored in the file
  uint32_t got_crc() const { return static_cast<uint32_t>(b_); }       // CrcMismatch: computed
  uint64_t declared() const { return a_; }   // EntryCountOverflow: entry count of the header
  uint64_t available() const { return b_; }  // EntryCountOverflow: entry stream length in bytes
  uint64_t offset() const { return a_; }     // Truncated: file offset

  // Display text, e.g. "bad magic — not a NamespaceCatalog binary" or
  // "crc32 mismatch: header+entries hash to 0000abcd, footer says 12345678".
  std::string to_string() const;
  // Variant name and payload: "BadMagic", "Truncated(23)",
  // "CrcMismatch { expected: 1, got: 2 }".
  std::string debug_string() const;

  bool operator==(const CatalogError&) const = default;

 private:
  explicit CatalogError(Kind kind, uint64_t a = 0, uint64_t b = 0) : kind_(kind), a_(a), b_(b) {}

  Kind kind_;
  uint64_t a_;
  uint64_t b_;
};

class NamespaceCatalog {
 public:
  // Takes ownership of all three and sorts the entries by file_id with a
  // stable sort (equal ids keep their relative order). Cannot fail.
  NamespaceCatalog(std::string ns, uint8_t flags, std::vector<CatalogEntry> entries);

  const std::string& ns() const { return ns_; }
  const std::vector<CatalogEntry>& entries() const { return entries_; }
  uint8_t flags() const { return flags_; }

  // Header and entry stream, without checksum and trailer.
  // REQUIRES: not (flags has CATALOG_FLAG_FULL_SHA256 and entries non-empty);
  // a violation is a programming error and aborts with a message.
  std::vector<uint8_t> encode_body() const;

  // The whole file: body, CRC-32, trailing magic.
  std::vector<uint8_t> encode() const;

  // Writes the whole file to `fd` (owned by the caller): body, CRC, trailer,
  // each completely, retrying interrupted and partial writes. Returns the first
  // I/O error unchanged; bytes already written stay. A write that accepts no
  // bytes fails with EIO.
  std::expected<void, common::IoError> write_to(int fd) const;

  // Decodes and validates a whole catalog file and returns it with namespace
  // `ns` and flags 0. `bytes` is only borrowed for the call. Entry ids are not
  // checked for uniqueness. The reservation for entries is bounded by what the
  // stream can hold, so a hostile entry count cannot exhaust memory.
  static std::expected<NamespaceCatalog, CatalogError> read_from(std::span<const uint8_t> bytes,
                                                                 std::string ns);

  bool operator==(const NamespaceCatalog&) const = default;

 private:
  std::string ns_;
  uint8_t flags_;
  std::vector<CatalogEntry> entries_;
};

// The CRC-32 of zlib (IEEE 802.3, reflected polynomial 0xEDB88320).
uint32_t crc32_ieee(std::span<const uint8_t> bytes);

// Reads an unsigned LEB128 value of at most ten bytes starting at `pos`. On
// success advances `pos` past it. Fails, leaving `pos` unchanged, when the
// stream ends before a byte without the high bit or the tenth byte still has
// it. Of the tenth byte only bit 0 counts (it becomes bit 63).
std::optional<uint64_t> read_uleb128(std::span<const uint8_t> stream, size_t& pos);

// Appends the shortest unsigned LEB128 form of `value`.
void write_uleb128(std::vector<uint8_t>& out, uint64_t value);

}  // namespace manifest
