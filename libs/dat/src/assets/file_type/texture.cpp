#include "dat/file_type/texture.h"

#include <fmt/format.h>

namespace dat {

common::ReadResult<Texture> Texture::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "Texture", kTextureLocation);
  Texture t;
  t.id = READ_FIELD(scope, "id", cursor.read_u32());
  t.unknown = READ_FIELD(scope, "_unknown", cursor.read_u32());
  t.width = READ_FIELD(scope, "width", cursor.read_u32());
  t.height = READ_FIELD(scope, "height", cursor.read_u32());
  t.format_raw = READ_FIELD(scope, "format_raw", cursor.read_u32());
  const int32_t length = READ_FIELD(scope, "length", cursor.read_i32());
  if (length < 0) {
    // Reported as an assertion at the position after the length, without a
    // field entry.
    const uint64_t position = cursor.position();
    cursor.seek(scope.start());
    return std::unexpected(
        common::ReadError::assertion(fmt::format("count {} out of range of usize", length), position));
  }
  // The length is checked against the bytes present before anything is
  // copied, so a huge length costs nothing.
  auto source = cursor.read_span(static_cast<uint64_t>(length));
  if (!source) {
    return std::unexpected(scope.fail(common::ReadError::end_of_data("not enough bytes in reader"), "source_data"));
  }
  t.source_data.assign(source->begin(), source->end());
  if (uses_palette(t.format_raw)) {
    t.default_palette_id = READ_FIELD(scope, "default_palette_id", cursor.read_u32());
  }
  return t;
}

DatResult<Texture> Texture::unpack(std::span<const uint8_t> data) {
  common::ByteCursor cursor(data);
  auto texture = Texture::read(cursor);
  if (!texture) return std::unexpected(DatError::bin_read(std::move(texture).error()));
  return std::move(*texture);
}

}  // namespace dat
