#include "manifest/catalog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <unistd.h>
#include <zlib.h>

#include "catalog_format.h"
#include "common/cursor.h"

// Entry stream grammar (see manifest/catalog.h for the whole file):
//
//   stream := entry*                      (count from the header)
//   entry  := uleb128(file_id - previous) prefix[16] uleb128(size)
//
// `previous` starts at 0 and becomes each entry's id, so ids ascend; a zero
// delta repeats an id. The decoder in read_from follows the same grammar.

namespace manifest {

namespace layout = catalog_format;

namespace {

[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputs("\n", stderr);
  std::abort();
}

std::expected<void, common::IoError> write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(common::IoError::from_errno(errno));
    }
    // A descriptor that takes nothing will never take the rest.
    if (n == 0) return std::unexpected(common::IoError::from_errno(EIO));
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

void put_u32_le(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

// ---------------------------------------------------------------------------
// CatalogError

CatalogError CatalogError::unsupported_version(uint8_t found) {
  return CatalogError(Kind::UnsupportedVersion, found);
}
CatalogError CatalogError::unknown_flags(uint8_t bits) { return CatalogError(Kind::UnknownFlags, bits); }
CatalogError CatalogError::crc_mismatch(uint32_t expected, uint32_t got) {
  return CatalogError(Kind::CrcMismatch, expected, got);
}
CatalogError CatalogError::entry_count_overflow(uint64_t declared, uint64_t available) {
  return CatalogError(Kind::EntryCountOverflow, declared, available);
}
CatalogError CatalogError::truncated(uint64_t offset) { return CatalogError(Kind::Truncated, offset); }

std::string CatalogError::to_string() const {
  switch (kind_) {
    case Kind::BadMagic: return "bad magic \xE2\x80\x94 not a NamespaceCatalog binary";
    case Kind::BadTrailingMagic: return "bad trailing magic \xE2\x80\x94 file truncated or corrupted";
    case Kind::UnsupportedVersion:
      return fmt::format("unsupported catalog version {} (this build expects v{})", found_version(),
                         CATALOG_FORMAT_VERSION);
    case Kind::UnknownFlags: return fmt::format("unknown flag bits 0x{:02x}", flag_bits());
    case Kind::CrcMismatch:
      return fmt::format("crc32 mismatch: header+entries hash to {:08x}, footer says {:08x}", got_crc(),
                         expected_crc());
    case Kind::EntryCountOverflow:
      return fmt::format("entry count overflow: declared {} but only {} bytes remain", declared(),
                         available());
    case Kind::Truncated: return fmt::format("truncated input at offset {}", offset());
  }
  return "catalog error";
}

std::string CatalogError::debug_string() const {
  switch (kind_) {
    case Kind::BadMagic: return "BadMagic";
    case Kind::BadTrailingMagic: return "BadTrailingMagic";
    case Kind::UnsupportedVersion: return fmt::format("UnsupportedVersion({})", found_version());
    case Kind::UnknownFlags: return fmt::format("UnknownFlags({})", flag_bits());
    case Kind::CrcMismatch:
      return fmt::format("CrcMismatch {{ expected: {}, got: {} }}", expected_crc(), got_crc());
    case Kind::EntryCountOverflow:
      return fmt::format("EntryCountOverflow {{ declared: {}, available: {} }}", declared(), available());
    case Kind::Truncated: return fmt::format("Truncated({})", offset());
  }
  return "CatalogError";
}

// ---------------------------------------------------------------------------
// Checksum and LEB128

uint32_t crc32_ieee(std::span<const uint8_t> bytes) {
  // crc32_z takes a size_t length, so no chunking is needed for large inputs.
  uLong crc = crc32_z(0L, Z_NULL, 0);
  if (!bytes.empty()) crc = crc32_z(crc, bytes.data(), bytes.size());
  return static_cast<uint32_t>(crc);
}

std::optional<uint64_t> read_uleb128(std::span<const uint8_t> stream, size_t& pos) {
  uint64_t value = 0;
  size_t at = pos;
  for (size_t i = 0; i < layout::kMaxLeb128Bytes; ++i, ++at) {
    if (at >= stream.size()) return std::nullopt;
    const uint8_t byte = stream[at];
    // Of the tenth byte only bit 0 fits (bit 63); shifting the other bits out
    // drops them.
    value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      pos = at + 1;
      return value;
    }
  }
  return std::nullopt;  // the tenth byte still had the continuation bit
}

void write_uleb128(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

// ---------------------------------------------------------------------------
// NamespaceCatalog

NamespaceCatalog::NamespaceCatalog(std::string ns, uint8_t flags, std::vector<CatalogEntry> entries)
    : ns_(std::move(ns)), flags_(flags), entries_(std::move(entries)) {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const CatalogEntry& a, const CatalogEntry& b) { return a.file_id < b.file_id; });
}

std::vector<uint8_t> NamespaceCatalog::encode_body() const {
  if ((flags_ & CATALOG_FLAG_FULL_SHA256) != 0 && !entries_.empty()) {
    fatal("CATALOG_FLAG_FULL_SHA256 not supported in obj 3 codec");
  }
  if (entries_.size() > std::numeric_limits<uint32_t>::max()) {
    fatal("a namespace catalog holds at most 4294967295 entries");
  }
  std::vector<uint8_t> out;
  out.reserve(layout::kHeaderSize + layout::kReservePerEntry * entries_.size());
  out.insert(out.end(), layout::kMagic.begin(), layout::kMagic.end());
  out.push_back(CATALOG_FORMAT_VERSION);
  out.push_back(flags_);
  out.push_back(0);  // reserved
  out.push_back(0);
  put_u32_le(out, static_cast<uint32_t>(entries_.size()));
  put_u32_le(out, 0);  // reserved

  uint32_t previous = 0;
  for (const CatalogEntry& entry : entries_) {
    if (entry.file_id < previous) fatal("entries must be sorted ascending by file_id");
    write_uleb128(out, entry.file_id - previous);
    out.insert(out.end(), entry.sha256_prefix.begin(), entry.sha256_prefix.end());
    write_uleb128(out, entry.size);
    previous = entry.file_id;
  }
  return out;
}

std::vector<uint8_t> NamespaceCatalog::encode() const {
  std::vector<uint8_t> out = encode_body();
  const uint32_t crc = crc32_ieee(out);
  put_u32_le(out, crc);
  out.insert(out.end(), layout::kTrailingMagic.begin(), layout::kTrailingMagic.end());
  return out;
}

std::expected<void, common::IoError> NamespaceCatalog::write_to(int fd) const {
  const std::vector<uint8_t> body = encode_body();
  std::vector<uint8_t> footer;
  footer.reserve(layout::kFooterSize);
  put_u32_le(footer, crc32_ieee(body));
  footer.insert(footer.end(), layout::kTrailingMagic.begin(), layout::kTrailingMagic.end());
  auto written = write_all(fd, body);
  if (!written) return written;
  return write_all(fd, footer);
}

std::expected<NamespaceCatalog, CatalogError> NamespaceCatalog::read_from(std::span<const uint8_t> bytes,
                                                                          std::string ns) {
  const size_t length = bytes.size();
  if (length < layout::kMinFileSize) return std::unexpected(CatalogError::truncated(length));
  if (!std::equal(layout::kMagic.begin(), layout::kMagic.end(), bytes.begin())) {
    return std::unexpected(CatalogError::bad_magic());
  }
  const uint8_t version = bytes[layout::kVersionOffset];
  if (version != CATALOG_FORMAT_VERSION) return std::unexpected(CatalogError::unsupported_version(version));
  const uint8_t flags = bytes[layout::kFlagsOffset];
  const uint8_t unknown = static_cast<uint8_t>(flags & ~CATALOG_FLAG_FULL_SHA256);
  if (unknown != 0) return std::unexpected(CatalogError::unknown_flags(unknown));
  if ((flags & CATALOG_FLAG_FULL_SHA256) != 0) {
    return std::unexpected(CatalogError::unknown_flags(CATALOG_FLAG_FULL_SHA256));
  }
  const auto trailer = bytes.subspan(length - layout::kTrailingMagic.size());
  if (!std::equal(layout::kTrailingMagic.begin(), layout::kTrailingMagic.end(), trailer.begin())) {
    return std::unexpected(CatalogError::bad_trailing_magic());
  }
  const size_t body_length = length - layout::kFooterSize;
  const uint32_t stored = common::load_u32_le(bytes.data() + body_length);
  const uint32_t computed = crc32_ieee(bytes.first(body_length));
  if (stored != computed) return std::unexpected(CatalogError::crc_mismatch(stored, computed));

  const auto stream = bytes.subspan(layout::kHeaderSize, body_length - layout::kHeaderSize);
  const uint32_t count = common::load_u32_le(bytes.data() + layout::kCountOffset);
  const auto overflow = [&] { return std::unexpected(CatalogError::entry_count_overflow(count, stream.size())); };
  const auto truncated_at = [](size_t stream_pos) {
    return std::unexpected(CatalogError::truncated(layout::kHeaderSize + stream_pos));
  };

  std::vector<CatalogEntry> entries;
  // The count is not trusted: reserve no more than the stream can hold.
  entries.reserve(std::min<size_t>(count, stream.size() / layout::kMinEntrySize));
  uint32_t previous = 0;
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const auto delta = read_uleb128(stream, pos);
    if (!delta) return truncated_at(pos);
    const uint64_t id = static_cast<uint64_t>(previous) + (*delta & 0xFFFFFFFFu);
    if (id > std::numeric_limits<uint32_t>::max()) return overflow();
    if (stream.size() - pos < layout::kPrefixSize) return truncated_at(pos);
    CatalogEntry entry;
    std::memcpy(entry.sha256_prefix.data(), stream.data() + pos, layout::kPrefixSize);
    pos += layout::kPrefixSize;
    const auto size = read_uleb128(stream, pos);
    if (!size) return truncated_at(pos);
    entry.size = *size;
    entry.file_id = static_cast<uint32_t>(id);
    entries.push_back(entry);
    previous = entry.file_id;
  }
  if (pos != stream.size()) return overflow();

  // Decoded ids ascend by construction, so the constructor's sort is skipped.
  NamespaceCatalog catalog(std::move(ns), 0, {});
  catalog.entries_ = std::move(entries);
  return catalog;
}

}  // namespace manifest
