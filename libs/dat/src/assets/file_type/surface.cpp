#include "dat/file_type/surface.h"

namespace dat {

common::ReadResult<TextureRefs> TextureRefs::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "TextureRefs", kSurfaceLocation);
  TextureRefs r;
  r.orig_texture_id = READ_FIELD(scope, "orig_texture_id", cursor.read_u32());
  r.orig_palette_id = READ_FIELD(scope, "orig_palette_id", cursor.read_u32());
  return r;
}

common::ReadResult<Surface> Surface::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "Surface", kSurfaceLocation);
  Surface s;
  s.surface_type = READ_FIELD(scope, "surface_type", cursor.read_u32());
  if (has_texture_refs(s.surface_type)) {
    s.texture_refs = READ_FIELD(scope, "texture_refs", TextureRefs::read(cursor));
  } else {
    s.color_value = READ_FIELD(scope, "color_value", cursor.read_u32());
  }
  s.translucency = READ_FIELD(scope, "translucency", cursor.read_u32());
  s.luminosity = READ_FIELD(scope, "luminosity", cursor.read_u32());
  s.diffuse = READ_FIELD(scope, "diffuse", cursor.read_u32());
  return s;
}

common::ReadResult<Surface> Surface::unpack(std::span<const uint8_t> data) {
  common::ByteCursor cursor(data);
  return Surface::read(cursor);
}

}  // namespace dat
