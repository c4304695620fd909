#pragma once
// Texture records: pixel data and, for paletted formats, a default palette.
//
//   id u32 | _unknown u32 | width u32 | height u32 | format_raw u32
//   | length i32 | source_data u8[length]
//   | default_palette_id u32   (only when format_raw is 41 or 101)
//
// Nothing checks width, height or format against length. Record-reader
// convention, location kTextureLocation, with two particular failures:
//   - a negative length fails with the assertion error
//     "count -1 out of range of usize" at stream position 24, without context;
//   - too few bytes for source_data fail with the end-of-data text
//     "not enough bytes in reader" inside the 'source_data' entry.
// A length larger than the data never allocates.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/cursor.h"
#include "dat/error.h"

namespace dat {

inline constexpr std::string_view kTextureLocation = "libs/dat/src/file_type/texture";

// The two pixel-format codes whose texture carries a default palette id.
inline constexpr uint32_t kPalettedTextureFormats[] = {41, 101};

struct Texture {
  uint32_t id = 0;
  uint32_t unknown = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t format_raw = 0;
  std::vector<uint8_t> source_data;
  std::optional<uint32_t> default_palette_id;

  static constexpr bool uses_palette(uint32_t format_raw) {
    return format_raw == kPalettedTextureFormats[0] || format_raw == kPalettedTextureFormats[1];
  }

  static common::ReadResult<Texture> read(common::ByteCursor& cursor);
  // Decodes the record from offset 0; trailing bytes are ignored. A failure
  // is DatError::BinRead carrying the read error.
  static DatResult<Texture> unpack(std::span<const uint8_t> data);
};

}  // namespace dat
