#include "dat/file_type/surface_texture.h"

#include <fmt/format.h>

#include "common/try.h"

namespace dat {

namespace {

// The count and the ids of the 'textures' field. A negative count has no
// meaning in the format and is rejected rather than used as a size.
common::ReadResult<std::vector<uint32_t>> read_texture_list(common::ByteCursor& cursor) {
  const int32_t count = TRY(cursor.read_i32());
  if (count < 0) {
    return std::unexpected(
        common::ReadError::assertion(fmt::format("count {} out of range of usize", count), cursor.position()));
  }
  std::vector<uint32_t> ids;
  for (int32_t i = 0; i < count; ++i) ids.push_back(TRY(cursor.read_u32()));
  return ids;
}

}  // namespace

common::ReadResult<SurfaceTexture> SurfaceTexture::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "SurfaceTexture", kSurfaceTextureLocation);
  SurfaceTexture t;
  t.id = READ_FIELD(scope, "id", cursor.read_u32());
  t.unknown_int = READ_FIELD(scope, "unknown_int", cursor.read_u32());
  t.unknown_byte = READ_FIELD(scope, "unknown_byte", cursor.read_u8());
  t.textures = READ_FIELD(scope, "textures", read_texture_list(cursor));
  return t;
}

common::ReadResult<SurfaceTexture> SurfaceTexture::unpack(std::span<const uint8_t> data) {
  common::ByteCursor cursor(data);
  return SurfaceTexture::read(cursor);
}

}  // namespace dat
