#pragma once
// Surface-texture records: a list of texture ids.
//
//   id u32 | unknown_int u32 | unknown_byte u8 | count i32 | u32[count]
//
// 13 + 4 * count bytes; every field from offset 9 on is unaligned.
// Record-reader convention, location kSurfaceTextureLocation. The count and
// the ids are both reported under the 'textures' field. A negative count is
// rejected (assertion error "count -5 out of range of usize" at the position
// after the count, inside the 'textures' entry) and never used as a size.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/cursor.h"

namespace dat {

inline constexpr std::string_view kSurfaceTextureLocation = "libs/dat/src/file_type/surface_texture";

struct SurfaceTexture {
  uint32_t id = 0;
  uint32_t unknown_int = 0;
  uint8_t unknown_byte = 0;
  std::vector<uint32_t> textures;

  static common::ReadResult<SurfaceTexture> read(common::ByteCursor& cursor);
  // Decodes the record from offset 0; trailing bytes are ignored.
  static common::ReadResult<SurfaceTexture> unpack(std::span<const uint8_t> data);
};

}  // namespace dat
