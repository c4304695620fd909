#pragma once
// Surface records: either a plain colour or a reference to a surface texture
// and a palette.
//
//   surface_type u32
//   | TextureRefs (orig_texture_id u32, orig_palette_id u32)  when surface_type & 6
//   | color_value u32                                          otherwise
//   | translucency | luminosity | diffuse   (32-bit each, kept bit for bit)
//
// 24 bytes in texture form, 20 in colour form. Record-reader convention,
// location kSurfaceLocation.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/cursor.h"

namespace dat {

inline constexpr std::string_view kSurfaceLocation = "libs/dat/src/file_type/surface";

struct TextureRefs {
  uint32_t orig_texture_id = 0;  // a surface texture
  uint32_t orig_palette_id = 0;  // a palette; 0 means none

  static common::ReadResult<TextureRefs> read(common::ByteCursor& cursor);
  friend bool operator==(const TextureRefs&, const TextureRefs&) = default;
};

struct Surface {
  uint32_t surface_type = 0;
  // Exactly one of these two is present.
  std::optional<TextureRefs> texture_refs;
  std::optional<uint32_t> color_value;
  uint32_t translucency = 0;
  uint32_t luminosity = 0;
  uint32_t diffuse = 0;

  // Whether a surface of this type carries texture references.
  static constexpr bool has_texture_refs(uint32_t surface_type) { return (surface_type & 6u) != 0; }

  static common::ReadResult<Surface> read(common::ByteCursor& cursor);
  // Decodes the record from offset 0; trailing bytes are ignored.
  static common::ReadResult<Surface> unpack(std::span<const uint8_t> data);
};

}  // namespace dat
