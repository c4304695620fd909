// The three records a graphics object's surfaces lead to: Surface,
// SurfaceTexture and Texture, each decoded from the same bytes. What decodes
// is encoded again and must survive a second round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dat/file_type/surface.h"
#include "dat/file_type/surface_texture.h"
#include "dat/file_type/texture.h"
#include "dat_testing/asset_encoders.h"
#include "fuzz_check.h"

namespace {

void surface(std::span<const uint8_t> input) {
  auto decoded = dat::Surface::unpack(input);
  if (!decoded) return;
  const bool textured = dat::Surface::has_texture_refs(decoded->surface_type);
  FUZZ_CHECK(decoded->texture_refs.has_value() == textured);
  FUZZ_CHECK(decoded->color_value.has_value() != textured);
  FUZZ_CHECK(input.size() >= (textured ? 24u : 20u));

  const std::vector<uint8_t> encoded = dat_testing::encode_surface(*decoded);
  FUZZ_CHECK(std::vector<uint8_t>(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(encoded.size())) ==
             encoded);
  auto again = dat::Surface::unpack(encoded);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(dat_testing::encode_surface(*again) == encoded);
}

void surface_texture(std::span<const uint8_t> input) {
  auto decoded = dat::SurfaceTexture::unpack(input);
  if (!decoded) return;
  FUZZ_CHECK(13 + 4 * decoded->textures.size() <= input.size());

  const std::vector<uint8_t> encoded = dat_testing::encode_surface_texture(*decoded);
  // The record is stored exactly as the encoder writes it: a prefix of the input.
  FUZZ_CHECK(std::vector<uint8_t>(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(encoded.size())) ==
             encoded);
  auto again = dat::SurfaceTexture::unpack(encoded);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->textures == decoded->textures);
}

void texture(std::span<const uint8_t> input) {
  auto decoded = dat::Texture::unpack(input);
  if (!decoded) return;
  FUZZ_CHECK(decoded->default_palette_id.has_value() == dat::Texture::uses_palette(decoded->format_raw));
  FUZZ_CHECK(24 + decoded->source_data.size() <= input.size());

  const std::vector<uint8_t> encoded = dat_testing::encode_texture(*decoded);
  FUZZ_CHECK(std::vector<uint8_t>(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(encoded.size())) ==
             encoded);
  auto again = dat::Texture::unpack(encoded);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->source_data == decoded->source_data);
  FUZZ_CHECK(again->default_palette_id == decoded->default_palette_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  surface(input);
  surface_texture(input);
  texture(input);
  return 0;
}
