#pragma once
// Layout constants of the packed archive (".qra"). Every integer in the file
// is unsigned little-endian; there is no padding anywhere.
//
//   offset 0                      QraHeader (24 bytes)
//   offset 24                     record bodies, back to back, in the order
//                                 they were added (raw or one zstd frame each)
//   index_offset - metadata_size  namespace metadata: u32 span count N, then
//                                 N QraNamespaceIndexEntry (40 bytes each)
//   index_offset                  entry_count QraEntry (60 bytes each), sorted
//                                 by (namespace bytes, file_id); the file ends
//                                 here
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dat/resource.h"

namespace dat::qra {

// "QRA" followed by one zero byte, at offset 0.
inline constexpr std::array<uint8_t, 4> kMagic = {0x51, 0x52, 0x41, 0x00};
// The only version this code writes and reads.
inline constexpr uint32_t kVersion = 2;

// Header: magic(4) version(4) entry_count(4) index_offset(8) metadata_size(4).
inline constexpr size_t kHeaderSize = 24;
// Span record: namespace(32) start_index(4) entry_count(4).
inline constexpr size_t kSpanSize = 40;
// The u32 span count at the start of the namespace metadata.
inline constexpr size_t kSpanCountSize = 4;
// Index record: namespace(32) file_id(4) type_id(4) offset(8) size(4)
// comp_size(4) flags(1) storage_id(1) reserved(2).
inline constexpr size_t kEntrySize = 60;
// Stored namespace label: UTF-8 bytes, zero-filled to 32.
inline constexpr size_t kNamespaceSize = ResourceNamespace::kSize;

// Byte offsets of the header fields after the magic.
inline constexpr size_t kHeaderVersionOffset = 4;
inline constexpr size_t kHeaderEntryCountOffset = 8;
inline constexpr size_t kHeaderIndexOffsetOffset = 12;
inline constexpr size_t kHeaderMetadataSizeOffset = 20;

// flags bit 0: the body is one zstd frame that decompresses to `size` bytes.
inline constexpr uint8_t kFlagCompressed = 1;
// flags bit 2: a marker copied from the caller of the writer.
inline constexpr uint8_t kFlagMarker = 4;

// zstd level used for every record body.
inline constexpr int kCompressionLevel = 3;
// Buffer through which the namespace metadata and the index are written.
inline constexpr size_t kWriteBufferSize = 8 * 1024;

// The most index records a reader accepts: entry_count * 60 must fit in 32
// bits. The writer refuses to go beyond it so that it never produces an
// archive its own reader rejects.
inline constexpr uint32_t kMaxEntries = UINT32_MAX / kEntrySize;
// A record body must fit the 32-bit size fields.
inline constexpr uint64_t kMaxRecordSize = UINT32_MAX;

// Source location named in the field context of codec errors.
inline constexpr std::string_view kLocation = "libs/dat/src/archive";

static_assert(kHeaderSize == 4 + 4 + 4 + 8 + 4);
static_assert(kSpanSize == kNamespaceSize + 4 + 4);
static_assert(kEntrySize == kNamespaceSize + 4 + 4 + 8 + 4 + 4 + 1 + 1 + 2);
static_assert(kHeaderVersionOffset == 4 && kHeaderEntryCountOffset == 8 && kHeaderIndexOffsetOffset == 12);
static_assert(kHeaderMetadataSizeOffset == kHeaderIndexOffsetOffset + 8);
static_assert(kHeaderMetadataSizeOffset + 4 == kHeaderSize);
static_assert(kMaxEntries == 71'582'788);
static_assert(static_cast<uint64_t>(kMaxEntries) * kEntrySize <= UINT32_MAX);
static_assert(static_cast<uint64_t>(kMaxEntries + 1) * kEntrySize > UINT32_MAX);

}  // namespace dat::qra
