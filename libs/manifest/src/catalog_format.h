#pragma once
// Constants of the namespace catalog file (layout pictured in
// manifest/catalog.h).
#include <array>
#include <cstddef>
#include <cstdint>

namespace manifest::catalog_format {

// "QRNS" at offset 0.
inline constexpr std::array<uint8_t, 4> kMagic = {'Q', 'R', 'N', 'S'};
// "SNRQ", the magic reversed, as the last four bytes.
inline constexpr std::array<uint8_t, 4> kTrailingMagic = {'S', 'N', 'R', 'Q'};

inline constexpr size_t kVersionOffset = 4;
inline constexpr size_t kFlagsOffset = 5;
inline constexpr size_t kCountOffset = 8;
// Magic, version, flags, 2 reserved, count, 4 reserved.
inline constexpr size_t kHeaderSize = 16;
static_assert(kHeaderSize == kMagic.size() + 1 + 1 + 2 + 4 + 4);
// CRC-32 then the trailing magic.
inline constexpr size_t kFooterSize = 4 + kTrailingMagic.size();
// The file of a catalog without entries.
inline constexpr size_t kMinFileSize = kHeaderSize + kFooterSize;
static_assert(kMinFileSize == 24);

inline constexpr size_t kPrefixSize = 16;
// Shortest entry: one-byte delta, the prefix, one-byte size.
inline constexpr size_t kMinEntrySize = 1 + kPrefixSize + 1;
// Longest entry: five-byte delta (32 bits), the prefix, ten-byte size (64 bits).
inline constexpr size_t kMaxEntrySize = 5 + kPrefixSize + 10;
static_assert(kMinEntrySize == 18 && kMaxEntrySize == 31);
// Bytes reserved per entry when encoding; typical entries fit.
inline constexpr size_t kReservePerEntry = 24;

// An unsigned LEB128 value of 64 bits takes at most ten bytes.
inline constexpr size_t kMaxLeb128Bytes = 10;

}  // namespace manifest::catalog_format
