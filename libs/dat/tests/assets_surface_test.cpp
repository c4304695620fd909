#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "assets_test_support.h"
#include "dat/file_type/surface.h"
#include "dat/file_type/surface_texture.h"
#include "dat/file_type/texture.h"
#include "dat/walk.h"
#include "dat_testing/asset_encoders.h"

namespace {

using assets_test::context_locations;
using assets_test::context_messages;
using assets_test::prefix;
using common::ByteWriter;
using V = std::vector<std::string>;

// ---- graphics-object surface lists ----

// 8 leading bytes, the given count bytes, then `ids` consecutive ids from 0x08000000.
std::vector<uint8_t> gfx_bytes(std::vector<uint8_t> count_bytes, uint32_t ids) {
  ByteWriter out;
  out.put_u64(0x1111111111111111ull);
  out.put_bytes(count_bytes);
  for (uint32_t i = 0; i < ids; ++i) out.put_u32(0x08000000 + i);
  return out.take();
}

TEST(GfxObjSurfaces, CountFormsAndShortRecords) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::optional<uint32_t> expected_count;  // nothing: no list
  };
  const Case cases[] = {
      {"8 bytes", std::vector<uint8_t>(8, 0), std::nullopt},
      {"empty", {}, std::nullopt},
      {"9 bytes, count 0", gfx_bytes({0x00}, 0), 0},
      {"count 0 with trailing bytes", gfx_bytes({0x00}, 3), 0},
      {"count 1", gfx_bytes({0x01}, 1), 1},
      {"count 3, two ids", gfx_bytes({0x03}, 2), std::nullopt},
      {"count 0x7F", gfx_bytes({0x7F}, 0x7F), 0x7F},
      {"0x80 in 9 bytes", gfx_bytes({0x80}, 0), std::nullopt},
      {"0x80 0x00: two-byte zero", gfx_bytes({0x80, 0x00}, 0), 0},
      {"258 declared, 258 present", gfx_bytes({0x81, 0x02}, 258), 258},
      {"258 declared, 257 present", gfx_bytes({0x81, 0x02}, 257), std::nullopt},
      {"0xBF 0xFF", gfx_bytes({0xBF, 0xFF}, 0x3FFF), 0x3FFF},
      {"0xC0 in 11 bytes", gfx_bytes({0xC0, 0x01, 0x02}, 0), std::nullopt},
      {"66306 declared, all present", gfx_bytes({0xC0, 0x01, 0x02, 0x03}, 66306), 66306},
      {"66306 declared, one short", gfx_bytes({0xC0, 0x01, 0x02, 0x03}, 66305), std::nullopt},
      {"four-byte low half little-endian", gfx_bytes({0xC0, 0x00, 0x05, 0x00}, 5), 5},
      {"largest count, few bytes", gfx_bytes({0xFF, 0xFF, 0xFF, 0xFF}, 4), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto surfaces = dat::read_gfx_obj_surfaces(c.bytes);
    ASSERT_EQ(surfaces.has_value(), c.expected_count.has_value());
    if (!surfaces) continue;
    ASSERT_EQ(surfaces->size(), *c.expected_count);
    for (uint32_t i = 0; i < *c.expected_count; ++i) {
      ASSERT_EQ((*surfaces)[i], 0x08000000 + i) << "id " << i;
    }
  }
}

TEST(GfxObjSurfaces, IdsStartRightAfterTheCount) {
  // 258 ids from offset 10: the first id's bytes are at 10..13.
  auto bytes = gfx_bytes({0x81, 0x02}, 258);
  bytes[10] = 0x78;
  bytes[13] = 0x12;
  auto surfaces = dat::read_gfx_obj_surfaces(bytes);
  ASSERT_TRUE(surfaces);
  EXPECT_EQ(surfaces->front(), 0x12000078u);
}

TEST(GfxObjSurfaces, EncoderUsesTheShortestCountForm) {
  struct Case {
    uint32_t count;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {0x7F, {0x7F}},
      {0x80, {0x80, 0x80}},
      {258, {0x81, 0x02}},
      {0x3FFF, {0xBF, 0xFF}},
      {0x4000, {0xC0, 0x00, 0x00, 0x40}},
      {66306, {0xC0, 0x01, 0x02, 0x03}},  // (1 << 16) + 0x0302
      {0x12345678, {0xD2, 0x34, 0x78, 0x56}},
      {(1u << 30) - 1, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(dat_testing::encode_gfx_obj_count(c.count), c.bytes);
  }
  // Every boundary round-trips through the decoder, with trailing record bytes.
  for (uint32_t n : {0u, 1u, 0x7Fu, 0x80u, 0x3FFFu, 0x4000u, 66306u}) {
    std::vector<uint32_t> ids(n);
    for (uint32_t i = 0; i < n; ++i) ids[i] = 0x08000000 | i;
    auto surfaces = dat::read_gfx_obj_surfaces(dat_testing::encode_gfx_obj(ids, 17));
    ASSERT_TRUE(surfaces) << n;
    EXPECT_EQ(*surfaces, ids) << n;
  }
}

// ---- surfaces ----

TEST(Surface, FormFollowsBitsOneAndTwo) {
  struct Case {
    uint32_t surface_type;
    bool texture_form;
  };
  const Case cases[] = {{0, false},    {1, false},     {2, true},           {4, true},
                        {6, true},     {0x10, false},  {0xFFFFFFF9, false}, {0x101, false},
                        {0x102, true}, {0xFFFFFFFF, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "surface_type 0x" << std::hex << c.surface_type);
    ByteWriter out;
    out.put_u32(c.surface_type);
    if (c.texture_form) {
      out.put_u32(0x05000010);  // orig_texture_id
      out.put_u32(0x04000020);  // orig_palette_id
    } else {
      out.put_u32(0xFF336699);  // color_value
    }
    out.put_u32(0x3F000000);  // translucency
    out.put_u32(0x3F800000);  // luminosity
    out.put_u32(0x40000000);  // diffuse
    const auto bytes = out.take();
    ASSERT_EQ(bytes.size(), c.texture_form ? 24u : 20u);
    auto surface = dat::Surface::unpack(bytes);
    ASSERT_TRUE(surface) << surface.error().to_string();
    EXPECT_EQ(surface->surface_type, c.surface_type);
    if (c.texture_form) {
      ASSERT_TRUE(surface->texture_refs);
      EXPECT_EQ(surface->texture_refs->orig_texture_id, 0x05000010u);
      EXPECT_EQ(surface->texture_refs->orig_palette_id, 0x04000020u);
      EXPECT_FALSE(surface->color_value);
    } else {
      EXPECT_FALSE(surface->texture_refs);
      EXPECT_EQ(surface->color_value, 0xFF336699u);
    }
    EXPECT_EQ(surface->translucency, 0x3F000000u);
    EXPECT_EQ(surface->luminosity, 0x3F800000u);
    EXPECT_EQ(surface->diffuse, 0x40000000u);
    EXPECT_EQ(dat_testing::encode_surface(*surface), bytes);

    // One byte short always fails in 'diffuse'.
    auto short_result = dat::Surface::unpack(prefix(bytes, bytes.size() - 1));
    ASSERT_FALSE(short_result);
    EXPECT_EQ(context_messages(short_result.error()), (V{"While parsing field 'diffuse' in Surface"}));
  }
}

TEST(Surface, TruncationEntries) {
  const auto texture_form = dat_testing::encode_surface(
      dat::Surface{2, dat::TextureRefs{0x05000001, 0x04000001}, std::nullopt, 1, 2, 3});
  const auto colour_form = dat_testing::encode_surface(dat::Surface{1, std::nullopt, 0xFF, 1, 2, 3});
  ASSERT_EQ(texture_form.size(), 24u);
  ASSERT_EQ(colour_form.size(), 20u);
  struct Case {
    const std::vector<uint8_t>* bytes;
    size_t length;
    V expected;
  };
  const Case cases[] = {
      {&texture_form, 0, {"While parsing field 'surface_type' in Surface"}},
      {&texture_form, 6, {"While parsing field 'orig_texture_id' in TextureRefs",
                          "While parsing field 'texture_refs' in Surface"}},
      {&texture_form, 11, {"While parsing field 'orig_palette_id' in TextureRefs",
                           "While parsing field 'texture_refs' in Surface"}},
      {&texture_form, 15, {"While parsing field 'translucency' in Surface"}},
      {&texture_form, 19, {"While parsing field 'luminosity' in Surface"}},
      {&texture_form, 23, {"While parsing field 'diffuse' in Surface"}},
      {&colour_form, 7, {"While parsing field 'color_value' in Surface"}},
      {&colour_form, 8, {"While parsing field 'translucency' in Surface"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    auto result = dat::Surface::unpack(prefix(*c.bytes, c.length));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(result.error().message(), "failed to fill whole buffer");
    EXPECT_EQ(context_messages(result.error()), c.expected);
    for (const auto& location : context_locations(result.error())) {
      EXPECT_EQ(location, "libs/dat/src/file_type/surface");
    }
  }
}

// ---- surface textures ----

TEST(SurfaceTexture, DecodesAndFailsByField) {
  ByteWriter out;
  out.put_u32(0x05000001);  // id
  out.put_u32(0xDEADBEEF);  // unknown_int
  out.put_u8(0x7E);         // unknown_byte
  out.put_i32(3);           // count, at offset 9
  for (uint32_t t : {0x06000001u, 0x06000002u, 0x06000003u}) out.put_u32(t);
  const auto bytes = out.take();
  ASSERT_EQ(bytes.size(), 25u);
  auto st = dat::SurfaceTexture::unpack(bytes);
  ASSERT_TRUE(st) << st.error().to_string();
  EXPECT_EQ(st->id, 0x05000001u);
  EXPECT_EQ(st->unknown_int, 0xDEADBEEFu);
  EXPECT_EQ(st->unknown_byte, 0x7E);
  EXPECT_EQ(st->textures, (std::vector<uint32_t>{0x06000001, 0x06000002, 0x06000003}));
  EXPECT_EQ(dat_testing::encode_surface_texture(*st), bytes);

  struct Case {
    size_t length;
    V expected;
  };
  const Case cases[] = {
      {2, {"While parsing field 'id' in SurfaceTexture"}},
      {7, {"While parsing field 'unknown_int' in SurfaceTexture"}},
      {8, {"While parsing field 'unknown_byte' in SurfaceTexture"}},
      {12, {"While parsing field 'textures' in SurfaceTexture"}},  // inside the count
      {13, {"While parsing field 'textures' in SurfaceTexture"}},  // count, no ids
      {24, {"While parsing field 'textures' in SurfaceTexture"}},  // last id cut
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    auto result = dat::SurfaceTexture::unpack(prefix(bytes, c.length));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(context_messages(result.error()), c.expected);
    EXPECT_EQ(context_locations(result.error()), (V{"libs/dat/src/file_type/surface_texture"}));
  }
}

TEST(SurfaceTexture, CountZeroAndNegativeCounts) {
  ByteWriter out;
  out.put_u32(1);
  out.put_u32(2);
  out.put_u8(3);
  out.put_i32(0);
  auto zero = out.bytes();
  ASSERT_EQ(zero.size(), 13u);
  auto st = dat::SurfaceTexture::unpack(zero);
  ASSERT_TRUE(st);
  EXPECT_TRUE(st->textures.empty());

  for (int32_t count : {-1, -5, INT32_MIN}) {
    SCOPED_TRACE(count);
    auto bytes = zero;
    common::ByteWriter patch;
    patch.put_i32(count);
    std::copy(patch.bytes().begin(), patch.bytes().end(), bytes.begin() + 9);
    bytes.resize(bytes.size() + 64, 0);  // plenty of bytes: the count itself is the fault
    auto result = dat::SurfaceTexture::unpack(bytes);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), common::ReadError::Kind::Assertion);
    EXPECT_EQ(result.error().message(), "count " + std::to_string(count) + " out of range of usize");
    EXPECT_EQ(result.error().position(), 13u);
    EXPECT_EQ(context_messages(result.error()), (V{"While parsing field 'textures' in SurfaceTexture"}));
  }
}

// ---- textures ----

std::vector<uint8_t> texture_bytes(uint32_t format, int32_t length, size_t data_bytes,
                                   std::optional<uint32_t> palette) {
  ByteWriter out;
  out.put_u32(0x06000010);  // id
  out.put_u32(0x11223344);  // _unknown
  out.put_u32(4);           // width
  out.put_u32(2);           // height
  out.put_u32(format);      // format_raw
  out.put_i32(length);      // length, offset 20
  for (size_t i = 0; i < data_bytes; ++i) out.put_u8(static_cast<uint8_t>(i * 7));
  if (palette) out.put_u32(*palette);
  return out.take();
}

TEST(Texture, PaletteFollowsTheFormat) {
  struct Case {
    uint32_t format;
    bool has_palette;
  };
  for (const Case c : {Case{41, true}, Case{101, true}, Case{21, false}, Case{20, false}, Case{0, false},
                       Case{0x29000000, false}}) {
    SCOPED_TRACE(c.format);
    const auto bytes = texture_bytes(c.format, 8, 8, c.has_palette ? std::optional<uint32_t>(0x04000F00) : std::nullopt);
    auto texture = dat::Texture::unpack(bytes);
    ASSERT_TRUE(texture) << texture.error().to_string();
    EXPECT_EQ(texture->id, 0x06000010u);
    EXPECT_EQ(texture->unknown, 0x11223344u);
    EXPECT_EQ(texture->width, 4u);
    EXPECT_EQ(texture->height, 2u);
    EXPECT_EQ(texture->format_raw, c.format);
    EXPECT_EQ(texture->source_data, (std::vector<uint8_t>{0, 7, 14, 21, 28, 35, 42, 49}));
    EXPECT_EQ(texture->default_palette_id,
              c.has_palette ? std::optional<uint32_t>(0x04000F00) : std::optional<uint32_t>());
    EXPECT_EQ(dat_testing::encode_texture(*texture), bytes);
  }
}

TEST(Texture, MissingPaletteOnlyMattersForPalettedFormats) {
  // The same bytes, ending right after source_data.
  for (uint32_t format : {41u, 101u}) {
    auto result = dat::Texture::unpack(texture_bytes(format, 4, 4, std::nullopt));
    ASSERT_FALSE(result);
    ASSERT_EQ(result.error().kind(), dat::DatError::Kind::BinRead);
    EXPECT_EQ(context_messages(*result.error().read_error()),
              (V{"While parsing field 'default_palette_id' in Texture"}));
  }
  auto plain = dat::Texture::unpack(texture_bytes(21, 4, 4, std::nullopt));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->default_palette_id);
}

TEST(Texture, LengthEdgeCases) {
  auto empty = dat::Texture::unpack(texture_bytes(21, 0, 0, std::nullopt));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->source_data.empty());
  auto empty_paletted = dat::Texture::unpack(texture_bytes(41, 0, 0, 7));
  ASSERT_TRUE(empty_paletted);
  EXPECT_EQ(empty_paletted->default_palette_id, 7u);

  for (int32_t length : {-1, -100, INT32_MIN}) {
    SCOPED_TRACE(length);
    auto result = dat::Texture::unpack(texture_bytes(41, length, 16, 7));
    ASSERT_FALSE(result);
    ASSERT_EQ(result.error().kind(), dat::DatError::Kind::BinRead);
    const auto& err = *result.error().read_error();
    EXPECT_EQ(err.kind(), common::ReadError::Kind::Assertion);
    EXPECT_EQ(err.message(), "count " + std::to_string(length) + " out of range of usize");
    EXPECT_EQ(err.position(), 24u);
    EXPECT_TRUE(err.context().empty());
  }
  EXPECT_EQ(dat::Texture::unpack(texture_bytes(41, -1, 0, std::nullopt)).error().read_error()->message(),
            "count -1 out of range of usize");

  // Fewer bytes than the length: the reader's own text inside the 'source_data' entry.
  for (auto [length, present] : {std::pair{8, 7}, std::pair{1, 0}, std::pair{INT32_MAX, 12}}) {
    SCOPED_TRACE(length);
    auto result = dat::Texture::unpack(texture_bytes(21, length, static_cast<size_t>(present), std::nullopt));
    ASSERT_FALSE(result);
    const auto& err = *result.error().read_error();
    EXPECT_EQ(err.kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(err.message(), "not enough bytes in reader");
    EXPECT_EQ(context_messages(err), (V{"While parsing field 'source_data' in Texture"}));
    EXPECT_EQ(context_locations(err), (V{"libs/dat/src/file_type/texture"}));
  }
}

TEST(Texture, HeaderTruncationEntries) {
  const auto bytes = texture_bytes(21, 0, 0, std::nullopt);
  const V expected[] = {V{"While parsing field 'id' in Texture"},         V{"While parsing field '_unknown' in Texture"},
                        V{"While parsing field 'width' in Texture"},      V{"While parsing field 'height' in Texture"},
                        V{"While parsing field 'format_raw' in Texture"}, V{"While parsing field 'length' in Texture"}};
  for (size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    auto result = dat::Texture::unpack(prefix(bytes, length));
    ASSERT_FALSE(result);
    const auto& err = *result.error().read_error();
    EXPECT_EQ(err.message(), "failed to fill whole buffer");
    EXPECT_EQ(context_messages(err), expected[length / 4]);
  }
  auto result = dat::Texture::unpack(prefix(bytes, 3));
  EXPECT_EQ(result.error().to_string().rfind("Binary read error: failed to fill whole buffer", 0), 0u);
}

}  // namespace
