#include "synth.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <system_error>

#include "common/cursor.h"
#include "common/math.h"
#include "dat_testing/asset_encoders.h"
#include "dat_testing/dat_writer.h"

namespace dat_synth {

namespace {

// ---------------------------------------------------------------------------
// Deterministic randomness: xoshiro256** seeded through splitmix64. Ranges are
// drawn with a multiply-shift, never with std distributions, whose results
// differ between standard libraries.

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  Rng(uint64_t seed, uint64_t stream) {
    uint64_t state = seed ^ (stream * 0xD1B54A32D192ED03ull);
    for (auto& word : s_) word = splitmix64(state);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, n); n > 0.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }
  // Uniform in [lo, hi].
  uint32_t range(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
  // True with probability percent / 100.
  bool percent(uint32_t percent) { return below(100) < percent; }
  // Uniform in [lo, hi).
  float real(float lo, float hi) {
    return lo + (hi - lo) * static_cast<float>(next() >> 40) / static_cast<float>(1u << 24);
  }
  // Small values far more often than large ones: [0, n) with density falling off like 1/x.
  uint32_t skewed(uint32_t n) { return below(below(n) + 1); }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<uint64_t, 4> s_{};
};

// ---------------------------------------------------------------------------
// The shape of the world for a scale: how many records of each kind, and where
// the landblock grid lies. Portal and cell generation both derive from it, so
// every reference a cell record makes names a portal record that exists.

constexpr uint32_t kGfxObjBase = 0x01000000;
constexpr uint32_t kSetupBase = 0x02000000;
constexpr uint32_t kAnimationBase = 0x03000000;
constexpr uint32_t kPaletteBase = 0x04000000;
constexpr uint32_t kSurfaceTextureBase = 0x05000000;
constexpr uint32_t kTextureBase = 0x06000000;
constexpr uint32_t kSurfaceBase = 0x08000000;
constexpr uint32_t kSoundBase = 0x0A000000;
constexpr uint32_t kStringTableBase = 0x23000000;
constexpr uint32_t kFontBase = 0x40000000;
constexpr uint32_t kFirstEnvCell = 0x0100;  // interior cells of a landblock: (L << 16) | 0x0100 + k

// The records a client needs before anything else, always present.
constexpr std::array<uint32_t, 6> kPortalEssentials = {0x0E000002, 0x0E000007, 0x0E000004,
                                                       0x0E00000E, 0x0E000018, 0x4D4F544B};
// Further tables of the same family, for a realistic mix.
constexpr std::array<uint32_t, 4> kPortalTables = {0x0E000001, 0x0E000003, 0x0E00000D, 0x0E00001A};

// Pixel formats: two paletted ones (they carry a default palette id) and four direct ones.
constexpr uint32_t kFormatP8 = 41;
constexpr uint32_t kFormatIndex16 = 101;
constexpr uint32_t kFormatR8G8B8 = 20;
constexpr uint32_t kFormatA8R8G8B8 = 21;
constexpr uint32_t kFormatDxt1 = 0x31545844;  // "DXT1"
constexpr uint32_t kFormatDxt5 = 0x35545844;  // "DXT5"

constexpr uint32_t kMaxTextureBytes = 64 * 1024;
constexpr uint32_t kCompressPercent = 20;  // share of records (of 64 bytes or more) stored compressed

struct Plan {
  uint32_t palettes, textures, surface_textures, surfaces, gfx_objs, setups, animations, sounds;
  uint32_t grid_side, grid_x0, grid_y0;
  uint32_t string_tables, fonts, ui_images;
};

Plan make_plan(uint32_t scale) {
  Plan p{};
  p.palettes = 24 * scale;
  p.textures = 320 * scale;
  p.surface_textures = 300 * scale;
  p.surfaces = 400 * scale;
  p.gfx_objs = 500 * scale;
  p.setups = 160 * scale;
  p.animations = 50 * scale;
  p.sounds = 40 * scale;
  const auto side = static_cast<uint32_t>(std::ceil(std::sqrt(60.0 * scale)));
  p.grid_side = std::clamp<uint32_t>(side, 3, 256);
  const auto origin = [&](uint32_t centre) {
    const int start = static_cast<int>(centre) - static_cast<int>(p.grid_side / 2);
    return static_cast<uint32_t>(std::clamp(start, 0, 256 - static_cast<int>(p.grid_side)));
  };
  p.grid_x0 = origin(kSpawnLandblock >> 8);
  p.grid_y0 = origin(kSpawnLandblock & 0xFF);
  p.string_tables = 100 * scale;
  p.fonts = 2 + scale;
  p.ui_images = 45 * scale;
  return p;
}

bool in_spawn_neighbourhood(uint32_t x, uint32_t y) {
  const auto sx = kSpawnLandblock >> 8;
  const auto sy = kSpawnLandblock & 0xFF;
  return x + 1 >= sx && x <= sx + 1 && y + 1 >= sy && y <= sy + 1;
}

// ---------------------------------------------------------------------------
// Small builders.

common::Frame frame_at(Rng& rng, float extent, float height) {
  common::Frame f;
  f.origin = {rng.real(0, extent), rng.real(0, extent), rng.real(0, height)};
  const float angle = rng.real(0, 6.2831853f);
  f.orientation = {std::cos(angle / 2), 0, 0, std::sin(angle / 2)};
  return f;
}

common::Frame identity_frame() { return common::Frame{}; }

void add_record(SynthDat& dat, Rng& rng, uint32_t id, std::vector<uint8_t> body) {
  const bool compress = body.size() >= 64 && rng.percent(kCompressPercent);
  dat.records[id] = SynthRecord{std::move(body), compress};
}

// Pixel bytes that compress about as well as real art: smooth gradients with
// a little noise (direct and paletted formats), or nearly random block data
// (the DXT formats).
std::vector<uint8_t> make_pixels(Rng& rng, uint32_t format, uint32_t height, size_t length) {
  std::vector<uint8_t> pixels(length);
  if (format == kFormatDxt1 || format == kFormatDxt5) {
    for (size_t i = 0; i < length; i += 8) {
      const uint64_t word = rng.next();
      std::memcpy(pixels.data() + i, &word, std::min<size_t>(8, length - i));
    }
    return pixels;
  }
  const uint32_t gx = rng.range(1, 9);
  const uint32_t gy = rng.range(1, 9);
  const uint32_t base = rng.below(256);
  const size_t row = length / std::max<uint32_t>(height, 1);
  uint64_t noise = 0;
  for (size_t i = 0; i < length; ++i) {
    if ((i & 15) == 0) noise = rng.next();
    const size_t x = row == 0 ? i : (i % row);
    const size_t y = row == 0 ? 0 : (i / row);
    const auto smooth = static_cast<uint32_t>((x * gx + y * gy) / 4 + base + ((x ^ y) & 0x18));
    pixels[i] = static_cast<uint8_t>(smooth + ((noise >> ((i & 15) * 4)) & 0x3));
  }
  return pixels;
}

// ---------------------------------------------------------------------------
// portal.dat

std::vector<uint8_t> make_table(Rng& rng, uint32_t id, uint32_t rows) {
  common::ByteWriter w;
  w.put_u32(id);
  w.put_u32(rows);
  for (uint32_t r = 0; r < rows; ++r) {
    w.put_u32(r);
    w.put_u32(rng.below(4) == 0 ? 0 : kSetupBase + rng.below(64));
    w.put_f32(rng.real(0, 100));
    w.put_u16(static_cast<uint16_t>(rng.below(1000)));
    w.put_u16(static_cast<uint16_t>(rng.below(8)));
  }
  return w.take();
}

std::vector<uint8_t> make_palette(Rng& rng, uint32_t id) {
  common::ByteWriter w;
  const uint32_t colours = rng.percent(80) ? 256 : 2048;
  w.put_u32(id);
  w.put_u32(colours);
  const uint32_t from = static_cast<uint32_t>(rng.next());
  const uint32_t to = static_cast<uint32_t>(rng.next());
  for (uint32_t i = 0; i < colours; ++i) {
    uint32_t argb = 0xFF000000u;
    for (int channel = 0; channel < 3; ++channel) {
      const uint32_t a = (from >> (8 * channel)) & 0xFF;
      const uint32_t b = (to >> (8 * channel)) & 0xFF;
      const uint32_t v = (a * (colours - 1 - i) + b * i) / (colours - 1);
      argb |= (v & 0xFF) << (8 * channel);
    }
    w.put_u32(argb);
  }
  return w.take();
}

std::vector<uint8_t> make_texture(Rng& rng, uint32_t id, uint32_t format, uint32_t palette) {
  uint32_t wexp = rng.range(4, 8);
  uint32_t hexp = std::clamp<uint32_t>(wexp + rng.below(3) - 1, 3, 8);
  const auto bytes_for = [&](uint32_t w, uint32_t h) -> uint64_t {
    const uint64_t pixels = uint64_t{1} << (w + h);
    switch (format) {
      case kFormatP8: return pixels;
      case kFormatIndex16: return pixels * 2;
      case kFormatR8G8B8: return pixels * 3;
      case kFormatA8R8G8B8: return pixels * 4;
      case kFormatDxt1: return pixels / 2;
      default: return pixels;  // DXT5
    }
  };
  while (bytes_for(wexp, hexp) > kMaxTextureBytes) (wexp >= hexp ? wexp : hexp) -= 1;
  dat::Texture t;
  t.id = id;
  t.unknown = rng.below(4);
  t.width = 1u << wexp;
  t.height = 1u << hexp;
  t.format_raw = format;
  t.source_data = make_pixels(rng, format, t.height, bytes_for(wexp, hexp));
  if (format == kFormatP8 || format == kFormatIndex16) t.default_palette_id = palette;
  return dat_testing::encode_texture(t);
}

uint32_t pick_format(Rng& rng) {
  const uint32_t roll = rng.below(100);
  if (roll < 30) return kFormatP8;
  if (roll < 40) return kFormatIndex16;
  if (roll < 55) return kFormatR8G8B8;
  if (roll < 75) return kFormatA8R8G8B8;
  if (roll < 90) return kFormatDxt1;
  return kFormatDxt5;
}

// A few surface parameter values recur, as in real data, so equal surfaces occur.
float pick_surface_scalar(Rng& rng) {
  static constexpr std::array<float, 4> kValues = {0.0f, 0.25f, 0.5f, 1.0f};
  return kValues[rng.below(4)];
}

std::vector<uint8_t> make_surface_bytes(const dat::Surface& s) { return dat_testing::encode_surface(s); }

dat::Surface textured_surface(Rng& rng, uint32_t surface_texture, uint32_t palette) {
  static constexpr std::array<uint32_t, 5> kTypes = {2, 4, 6, 0x12, 0x104};
  dat::Surface s;
  s.surface_type = kTypes[rng.below(kTypes.size())];
  s.texture_refs = dat::TextureRefs{surface_texture, palette};
  s.translucency = std::bit_cast<uint32_t>(pick_surface_scalar(rng));
  s.luminosity = std::bit_cast<uint32_t>(pick_surface_scalar(rng));
  s.diffuse = std::bit_cast<uint32_t>(1.0f);
  return s;
}

dat::Surface colour_surface(Rng& rng) {
  static constexpr std::array<uint32_t, 12> kColours = {0xFF808080, 0xFF202020, 0xFFFFFFFF, 0xFF8B4513,
                                                        0xFF228B22, 0xFF4682B4, 0xFFB22222, 0xFFDAA520,
                                                        0xFF708090, 0xFF000000, 0xFFF5DEB3, 0xFF2F4F4F};
  dat::Surface s;
  s.surface_type = rng.percent(80) ? 1 : 0x11;
  s.color_value = kColours[rng.below(kColours.size())];
  s.translucency = 0;
  s.luminosity = std::bit_cast<uint32_t>(pick_surface_scalar(rng));
  s.diffuse = std::bit_cast<uint32_t>(1.0f);
  return s;
}

// The rest of a graphics object after its surface list: vertices, polygons and
// a bounding sphere, with smoothly varying floats.
void append_mesh(Rng& rng, std::vector<uint8_t>& body, uint32_t surface_count) {
  common::ByteWriter w(body);
  const uint32_t vertices = 4 + rng.below(20) * rng.below(24);
  const float size = rng.real(0.5f, 20.0f);
  w.put_u32(rng.below(4));  // flags
  w.put_u16(static_cast<uint16_t>(vertices));
  for (uint32_t v = 0; v < vertices; ++v) {
    const float t = static_cast<float>(v) / static_cast<float>(vertices);
    w.put_u16(static_cast<uint16_t>(v));
    w.put_f32(size * std::cos(t * 12.0f));
    w.put_f32(size * std::sin(t * 12.0f));
    w.put_f32(size * t);
    w.put_f32(std::cos(t * 12.0f));
    w.put_f32(std::sin(t * 12.0f));
    w.put_f32(0.0f);
    w.put_f32(t);
    w.put_f32(std::round(t * 8.0f) / 8.0f);
  }
  const uint32_t polygons = vertices / 2;
  w.put_u16(static_cast<uint16_t>(polygons));
  for (uint32_t p = 0; p < polygons; ++p) {
    const uint32_t corners = rng.range(3, 4);
    w.put_u8(static_cast<uint8_t>(corners));
    w.put_u8(static_cast<uint8_t>(rng.below(3)));
    w.put_u16(static_cast<uint16_t>(rng.below(std::max<uint32_t>(surface_count, 1))));
    for (uint32_t c = 0; c < corners; ++c) w.put_u16(static_cast<uint16_t>((p * 2 + c) % vertices));
  }
  common::Sphere bound{{0, 0, size / 2}, size};
  bound.write(w);
}

dat::SetupModel make_setup(Rng& rng, uint32_t id, std::vector<uint32_t> parts, const Plan& plan) {
  dat::SetupModel m;
  m.id = id;
  const uint32_t roll = rng.below(10);
  m.flags = roll < 5 ? 0 : roll < 7 ? 1 : roll < 9 ? 2 : 3;
  m.parts = std::move(parts);
  const auto n = m.parts.size();
  if (m.flags & 1) {
    for (size_t i = 0; i < n; ++i) m.part_u32s.push_back(i == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(i - 1));
  }
  if (m.flags & 2) {
    for (size_t i = 0; i < n; ++i) m.part_vectors.push_back({1.0f, 1.0f, rng.percent(80) ? 1.0f : 1.5f});
  }
  for (uint32_t k = 0, count = rng.below(3); k < count; ++k) {
    m.location_table_1[k + 1] = dat::LocationType{rng.below(static_cast<uint32_t>(n)), frame_at(rng, 2, 2)};
  }
  for (uint32_t k = 0, count = rng.below(2); k < count; ++k) {
    m.location_table_2[k + 1] = dat::LocationType{rng.below(static_cast<uint32_t>(n)), frame_at(rng, 2, 2)};
  }
  static constexpr std::array<uint32_t, 3> kPlacementKeys = {0, 0x65, 0x66};
  for (uint32_t k = 0, count = rng.range(1, 3); k < count; ++k) {
    dat::AnimationFrame frame;
    for (size_t i = 0; i < n; ++i) frame.frames.push_back(i == 0 ? identity_frame() : frame_at(rng, 1, 3));
    for (uint32_t h = 0, hooks = rng.skewed(3); h < hooks; ++h) {
      static constexpr std::array<uint32_t, 8> kHookTypes = {0, 1, 3, 7, 12, 13, 17, 22};
      if (rng.percent(25)) {
        const auto flags = static_cast<uint16_t>(rng.percent(50) ? 0x8010 : 0x0010);
        frame.hooks.push_back(dat_testing::make_variable_hook(rng.below(2), 1, flags, 7));
      } else {
        frame.hooks.push_back(dat_testing::make_fixed_hook(kHookTypes[rng.below(kHookTypes.size())], rng.below(2)));
      }
    }
    m.placements[kPlacementKeys[k]] = dat::PlacementType{std::move(frame)};
  }
  for (uint32_t k = 0, count = rng.below(3); k < count; ++k) {
    m.cyl_spheres.push_back(dat::CylSphere{{0, 0, 0}, rng.real(0.2f, 3), rng.real(0.5f, 6)});
  }
  for (uint32_t k = 0, count = rng.below(4); k < count; ++k) {
    m.spheres.push_back(common::Sphere{{rng.real(-1, 1), rng.real(-1, 1), rng.real(0, 2)}, rng.real(0.2f, 2)});
  }
  m.scalars = {std::bit_cast<uint32_t>(rng.real(0.5f, 4)), std::bit_cast<uint32_t>(rng.real(0.2f, 2)),
               std::bit_cast<uint32_t>(0.4f), std::bit_cast<uint32_t>(0.4f)};
  m.sphere_1 = common::Sphere{{0, 0, 1}, rng.real(0.5f, 5)};
  m.sphere_2 = common::Sphere{{0, 0, 1}, rng.real(0.5f, 5)};
  if (rng.percent(15)) {
    m.lights[0] = dat::LightInfo{frame_at(rng, 1, 2), 0xFFFFD080u, std::bit_cast<uint32_t>(1.0f),
                                 std::bit_cast<uint32_t>(8.0f), std::bit_cast<uint32_t>(0.0f)};
  }
  if (plan.animations > 0 && rng.percent(60)) m.optional_ids[0] = kAnimationBase + rng.below(plan.animations);
  if (rng.percent(20)) m.optional_ids[4] = 0x34000000u + rng.below(16);
  return m;
}

std::vector<uint8_t> make_animation(Rng& rng, uint32_t id) {
  const uint32_t parts = rng.range(1, 12);
  const uint32_t frames = 2 + rng.skewed(58);
  common::ByteWriter w;
  w.put_u32(id);
  w.put_u32(rng.below(2));
  w.put_u32(parts);
  w.put_u32(frames);
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t p = 0; p < parts; ++p) {
      const float t = static_cast<float>(f) / static_cast<float>(frames);
      common::Frame fr;
      fr.origin = {0, 0, 0.1f * static_cast<float>(p)};
      fr.orientation = {std::cos(t), 0, std::sin(t), 0};
      fr.write(w);
    }
  }
  return w.take();
}

std::vector<uint8_t> make_sound(Rng& rng, uint32_t id) {
  const uint32_t samples = 2048 + rng.below(58 * 1024);
  common::ByteWriter w;
  w.put_u32(id);
  w.put_u32(0x00010001);  // PCM, mono
  w.put_u32(samples);
  const float pitch = rng.real(0.01f, 0.2f);
  uint64_t noise = 0;
  for (uint32_t i = 0; i < samples; ++i) {
    if ((i & 7) == 0) noise = rng.next();
    const float wave = 100.0f * std::sin(pitch * static_cast<float>(i));
    w.put_u8(static_cast<uint8_t>(128 + static_cast<int>(wave) + static_cast<int>((noise >> ((i & 7) * 8)) & 0x1F)));
  }
  return w.take();
}

SynthDat generate_portal(const Plan& plan, uint64_t seed) {
  Rng rng(seed, 1);
  SynthDat dat;
  dat.kind = DatKind::Portal;
  dat.file_name = "portal.dat";
  dat.block_size = 1024;
  dat.iteration = 2072;

  for (uint32_t id : kPortalEssentials) add_record(dat, rng, id, make_table(rng, id, id == 0x0E000002 ? 240 : rng.range(8, 160)));
  for (uint32_t id : kPortalTables) add_record(dat, rng, id, make_table(rng, id, rng.range(4, 400)));

  for (uint32_t i = 0; i < plan.palettes; ++i) add_record(dat, rng, kPaletteBase + i, make_palette(rng, kPaletteBase + i));

  // Texture 0 is paletted with palette 1: the spawn landblock's showcase chain ends in it.
  for (uint32_t i = 0; i < plan.textures; ++i) {
    const uint32_t format = i == 0 ? kFormatIndex16 : pick_format(rng);
    const uint32_t palette = i == 0 ? kPaletteBase + 1 : kPaletteBase + rng.below(plan.palettes);
    add_record(dat, rng, kTextureBase + i, make_texture(rng, kTextureBase + i, format, palette));
  }

  // Surface texture 0 lists texture 1 then texture 0; the walk follows the last one.
  for (uint32_t i = 0; i < plan.surface_textures; ++i) {
    dat::SurfaceTexture st;
    st.id = kSurfaceTextureBase + i;
    st.unknown_int = rng.below(3);
    st.unknown_byte = static_cast<uint8_t>(rng.below(3));
    if (i == 0) {
      st.textures = {kTextureBase + 1, kTextureBase};
    } else {
      for (uint32_t k = 0, count = rng.range(1, 3); k < count; ++k) st.textures.push_back(kTextureBase + rng.below(plan.textures));
    }
    add_record(dat, rng, st.id, dat_testing::encode_surface_texture(st));
  }

  // Surface 0: texture form with a palette; surface 1: colour form.
  for (uint32_t i = 0; i < plan.surfaces; ++i) {
    dat::Surface s;
    if (i == 0) {
      s = textured_surface(rng, kSurfaceTextureBase, kPaletteBase);
    } else if (i == 1 || rng.percent(30)) {
      s = colour_surface(rng);
    } else {
      const uint32_t palette = rng.percent(30) ? kPaletteBase + rng.below(plan.palettes) : 0;
      s = textured_surface(rng, kSurfaceTextureBase + rng.below(plan.surface_textures), palette);
    }
    add_record(dat, rng, kSurfaceBase + i, make_surface_bytes(s));
  }

  // Graphics object 0 draws with surfaces 0 and 1. Some later objects are
  // exact copies of earlier ones under a new id.
  for (uint32_t i = 0; i < plan.gfx_objs; ++i) {
    if (i > 16 && rng.percent(5)) {
      const uint32_t original = kGfxObjBase + rng.below(i);
      add_record(dat, rng, kGfxObjBase + i, dat.records.at(original).body);
      continue;
    }
    std::vector<uint32_t> surfaces;
    if (i == 0) {
      surfaces = {kSurfaceBase, kSurfaceBase + 1};
    } else {
      for (uint32_t k = 0, count = 1 + rng.skewed(8); k < count; ++k) surfaces.push_back(kSurfaceBase + rng.below(plan.surfaces));
    }
    std::vector<uint8_t> body = dat_testing::encode_gfx_obj(surfaces);
    append_mesh(rng, body, static_cast<uint32_t>(surfaces.size()));
    add_record(dat, rng, kGfxObjBase + i, std::move(body));
  }

  // Setup 0 is built from graphics objects 0 and 2; later setups sometimes
  // nest an earlier setup as a part.
  for (uint32_t i = 0; i < plan.setups; ++i) {
    std::vector<uint32_t> parts;
    if (i == 0) {
      parts = {kGfxObjBase, kGfxObjBase + 2};
    } else {
      for (uint32_t k = 0, count = 1 + rng.skewed(12); k < count; ++k) parts.push_back(kGfxObjBase + rng.below(plan.gfx_objs));
      if (rng.percent(10)) parts.push_back(kSetupBase + rng.below(i));
    }
    add_record(dat, rng, kSetupBase + i, dat_testing::encode_setup_model(make_setup(rng, kSetupBase + i, parts, plan)));
  }

  for (uint32_t i = 0; i < plan.animations; ++i) add_record(dat, rng, kAnimationBase + i, make_animation(rng, kAnimationBase + i));
  for (uint32_t i = 0; i < plan.sounds; ++i) add_record(dat, rng, kSoundBase + i, make_sound(rng, kSoundBase + i));
  return dat;
}

// ---------------------------------------------------------------------------
// cell.dat

constexpr uint16_t kWaterTerrain = 0x0044;

// Terrain: flags, 9x9 terrain words, 9x9 heights, padded to a multiple of 4.
// Open water has no id inside, so every water landblock has the same bytes.
std::vector<uint8_t> make_terrain(Rng& rng, uint32_t x, uint32_t y, bool water) {
  common::ByteWriter w;
  w.put_u32(water ? 0 : 1);
  for (uint32_t i = 0; i < 81; ++i) {
    w.put_u16(water ? kWaterTerrain : static_cast<uint16_t>((rng.below(12) << 2) | (rng.percent(10) ? 0x0800 : 0)));
  }
  for (uint32_t i = 0; i < 81; ++i) {
    if (water) {
      w.put_u8(0);
      continue;
    }
    const double gx = static_cast<double>(x * 8 + i / 9);
    const double gy = static_cast<double>(y * 8 + i % 9);
    const double h = 90 + 60 * std::sin(gx / 37.0) * std::cos(gy / 29.0) + 20 * std::sin((gx + gy) / 11.0);
    w.put_u8(static_cast<uint8_t>(std::clamp(h, 1.0, 255.0)));
  }
  w.put_u8(0);
  return w.take();
}

// Worlds reuse a few popular models (trees, rocks, fences) far more than the
// rest, so low indices are picked much more often.
uint32_t pick_model(Rng& rng, const Plan& plan) {
  return rng.percent(70) ? kSetupBase + rng.skewed(plan.setups) : kGfxObjBase + rng.skewed(plan.gfx_objs);
}

std::vector<uint8_t> make_env_cell(Rng& rng, uint32_t id, uint32_t cells, const Plan& plan) {
  common::ByteWriter w;
  const uint32_t surfaces = rng.range(1, 6);
  const uint32_t portals = rng.range(1, 4);
  const uint32_t visible = rng.below(std::min<uint32_t>(cells, 12) + 1);
  w.put_u32(id);
  w.put_u32(rng.below(4));  // flags
  w.put_u8(static_cast<uint8_t>(surfaces));
  w.put_u8(static_cast<uint8_t>(portals));
  w.put_u16(static_cast<uint16_t>(visible));
  for (uint32_t s = 0; s < surfaces; ++s) w.put_u16(static_cast<uint16_t>(rng.below(plan.surfaces)));
  w.put_u16(static_cast<uint16_t>(rng.below(512)));  // environment
  w.put_u16(static_cast<uint16_t>(rng.below(8)));    // cell structure
  frame_at(rng, 192, 40).write(w);
  for (uint32_t p = 0; p < portals; ++p) {
    w.put_u16(static_cast<uint16_t>(rng.below(4)));
    w.put_u16(static_cast<uint16_t>(rng.below(16)));
    w.put_u16(static_cast<uint16_t>(kFirstEnvCell + rng.below(std::max<uint32_t>(cells, 1))));
    w.put_u16(static_cast<uint16_t>(rng.below(4)));
  }
  for (uint32_t v = 0; v < visible; ++v) w.put_u16(static_cast<uint16_t>(kFirstEnvCell + v));
  if (w.size() % 4 != 0) w.put_zeros(4 - w.size() % 4);
  return w.take();
}

SynthDat generate_cell(const Plan& plan, uint64_t seed) {
  Rng rng(seed, 2);
  SynthDat dat;
  dat.kind = DatKind::Cell;
  dat.file_name = "cell.dat";
  dat.block_size = 256;
  dat.iteration = 982;

  for (uint32_t gx = 0; gx < plan.grid_side; ++gx) {
    for (uint32_t gy = 0; gy < plan.grid_side; ++gy) {
      const uint32_t x = plan.grid_x0 + gx;
      const uint32_t y = plan.grid_y0 + gy;
      const uint32_t landblock = (x << 8) | y;
      const bool spawn = landblock == kSpawnLandblock;
      const bool near_spawn = in_spawn_neighbourhood(x, y);
      const bool water = !near_spawn && rng.percent(15);
      add_record(dat, rng, (landblock << 16) | 0xFFFF, make_terrain(rng, x, y, water));
      if (water) continue;

      dat::LandblockInfo info;
      info.id = (landblock << 16) | 0xFFFE;
      // The spawn landblock first places setup 0 and graphics object 0, whose
      // walk reaches every record type of the chain.
      if (spawn) {
        info.objects.push_back(dat::Stab{kSetupBase, frame_at(rng, 192, 80)});
        info.objects.push_back(dat::Stab{kGfxObjBase, frame_at(rng, 192, 80)});
      }
      for (uint32_t k = 0, count = rng.below(10); k < count; ++k) {
        info.objects.push_back(dat::Stab{pick_model(rng, plan), frame_at(rng, 192, 80)});
      }
      uint32_t cells = 0;
      const uint32_t buildings = spawn ? 1 : rng.percent(30) ? rng.range(1, 3) : 0;
      for (uint32_t b = 0; b < buildings; ++b) {
        dat::BuildInfo building;
        building.model_id = spawn && b == 0 ? kGfxObjBase + 1 : pick_model(rng, plan);
        building.frame = frame_at(rng, 192, 80);
        building.num_leaves = rng.range(1, 6);
        for (uint32_t p = 0, portals = rng.range(1, 3); p < portals; ++p) {
          dat::PortalInternal portal;
          portal.flags = static_cast<uint16_t>(rng.below(4));
          portal.other_cell_id = static_cast<uint16_t>(kFirstEnvCell + cells);
          portal.other_portal_id = rng.percent(20) ? 0xFFFF : static_cast<uint16_t>(rng.below(4));
          for (uint32_t s = 0, stabs = rng.below(6); s < stabs; ++s) portal.stab_list.push_back(static_cast<uint16_t>(rng.below(32)));
          building.portals.push_back(std::move(portal));
          cells += rng.range(1, 3);
        }
        info.buildings.push_back(std::move(building));
      }
      info.num_cells = cells;
      if (rng.percent(5)) {
        info.pack_mask = 1;
        dat::RestrictionTable table;
        for (uint32_t k = 0, count = rng.range(1, 4); k < count; ++k) table.tables[(landblock << 16) | (kFirstEnvCell + k)] = rng.below(1000);
        info.restriction_tables = std::move(table);
      } else {
        info.pack_mask = rng.percent(20) ? 2 : 0;
      }
      add_record(dat, rng, info.id, dat_testing::encode_landblock_info(info));
      for (uint32_t c = 0; c < cells; ++c) {
        const uint32_t id = (landblock << 16) | (kFirstEnvCell + c);
        add_record(dat, rng, id, make_env_cell(rng, id, cells, plan));
      }
    }
  }
  return dat;
}

// ---------------------------------------------------------------------------
// local.dat

std::vector<uint8_t> make_string_table(Rng& rng, uint32_t id) {
  static constexpr std::array<const char*, 24> kSyllables = {"an", "ar", "bel", "cor", "dra", "el",  "en",  "fa",
                                                             "gor", "hal", "ith", "kar", "lo", "mir", "nor", "or",
                                                             "pa",  "qua", "ren", "sha", "tor", "ul", "vin", "zen"};
  common::ByteWriter w;
  const uint32_t strings = 1 + rng.skewed(120);
  w.put_u32(id);
  w.put_u32(strings);
  for (uint32_t s = 0; s < strings; ++s) {
    std::string text;
    for (uint32_t word = 0, words = rng.range(1, 12); word < words; ++word) {
      if (word != 0) text += ' ';
      for (uint32_t k = 0, syl = rng.range(1, 3); k < syl; ++k) text += kSyllables[rng.below(kSyllables.size())];
    }
    w.put_u16(static_cast<uint16_t>(text.size()));
    w.put_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  return w.take();
}

std::vector<uint8_t> make_font(Rng& rng, uint32_t id) {
  common::ByteWriter w;
  const uint32_t glyphs = rng.range(96, 512);
  w.put_u32(id);
  w.put_u32(rng.range(10, 24));  // line height
  w.put_u32(glyphs);
  for (uint32_t g = 0; g < glyphs; ++g) {
    w.put_u16(static_cast<uint16_t>(32 + g));
    for (int k = 0; k < 6; ++k) w.put_u16(static_cast<uint16_t>(rng.below(256)));
  }
  w.put_u32(kTextureBase + rng.below(4));  // glyph sheet in local.dat
  return w.take();
}

SynthDat generate_local(const Plan& plan, uint64_t seed) {
  Rng rng(seed, 3);
  SynthDat dat;
  dat.kind = DatKind::Local;
  dat.file_name = "local.dat";
  dat.block_size = 1024;
  dat.iteration = 1101;
  for (uint32_t i = 0; i < plan.string_tables; ++i) add_record(dat, rng, kStringTableBase + i, make_string_table(rng, kStringTableBase + i));
  for (uint32_t i = 0; i < plan.fonts; ++i) add_record(dat, rng, kFontBase + i, make_font(rng, kFontBase + i));
  // Interface images share the id range of portal textures: the same id in two namespaces.
  for (uint32_t i = 0; i < plan.ui_images; ++i) {
    add_record(dat, rng, kTextureBase + i, make_texture(rng, kTextureBase + i, kFormatA8R8G8B8, 0));
  }
  return dat;
}

}  // namespace

uint64_t SynthDat::body_bytes() const {
  uint64_t total = 0;
  for (const auto& [id, record] : records) total += record.body.size();
  return total;
}

SynthDat generate_dat(DatKind kind, const SynthOptions& options) {
  const Plan plan = make_plan(std::clamp<uint32_t>(options.scale, 1, kMaxScale));
  switch (kind) {
    case DatKind::Portal: return generate_portal(plan, options.seed);
    case DatKind::Cell: return generate_cell(plan, options.seed);
    case DatKind::Local: return generate_local(plan, options.seed);
  }
  return {};
}

std::expected<SynthSummary, std::string> write_synth_set(const std::filesystem::path& dir, const SynthOptions& options) {
  if (options.scale < 1 || options.scale > kMaxScale) {
    return std::unexpected(fmt::format("scale {} out of range (1 to {})", options.scale, kMaxScale));
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return std::unexpected(fmt::format("create {}: {}", dir.string(), ec.message()));

  SynthSummary summary;
  for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local}) {
    SynthDat dat = generate_dat(kind, options);
    dat_testing::DatWriter writer(dat.block_size);
    writer.set_master_map_id(dat.iteration);
    if (kind == DatKind::Cell) writer.set_scatter_seed(options.seed | 1);  // cell files are fragmented in practice
    for (auto& [id, record] : dat.records) {
      ++summary.record_count;
      summary.body_bytes += record.body.size();
      if (record.compressed) ++summary.compressed_count;
      writer.add(id, std::move(record.body), record.compressed);
    }
    dat.records.clear();
    const auto path = dir / dat.file_name;
    if (!writer.write_to(path)) return std::unexpected(fmt::format("write {}: {}", path.string(), std::strerror(errno)));
    summary.file_bytes += std::filesystem::file_size(path, ec);
  }
  return summary;
}

}  // namespace dat_synth
