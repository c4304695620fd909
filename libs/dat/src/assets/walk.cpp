#include "dat/walk.h"

#include "common/cursor.h"
#include "dat/file_type/setup_model.h"
#include "dat/file_type/surface.h"
#include "dat/file_type/surface_texture.h"
#include "dat/file_type/texture.h"

namespace dat {

namespace {

ResourceKey portal_key(uint32_t id) { return ResourceKey{std::string(kPortalNamespace), id}; }

// Whether the key was new.
bool add(KeepSet& keep, uint32_t id) { return keep.insert(portal_key(id)).second; }

std::optional<std::vector<uint8_t>> fetch(const ResourceSource& source, uint32_t id) {
  auto bytes = source.get_file_by_key(portal_key(id));
  if (!bytes) return std::nullopt;  // any error ends the branch; which one does not matter
  return std::move(*bytes);
}

// One surface of a graphics object: the surface, its palette, its surface
// texture, the last texture of that, and the texture's default palette.
// Every early return ends the work on this surface only.
void walk_surface(const ResourceSource& source, uint32_t surface_id, KeepSet& keep) {
  if (!add(keep, surface_id)) return;
  auto surface_bytes = fetch(source, surface_id);
  if (!surface_bytes) return;
  auto surface = Surface::unpack(*surface_bytes);
  if (!surface || !surface->texture_refs) return;

  const TextureRefs refs = *surface->texture_refs;
  if (refs.orig_palette_id != 0) add(keep, refs.orig_palette_id);  // palettes are never fetched
  if (!add(keep, refs.orig_texture_id)) return;

  auto surface_texture_bytes = fetch(source, refs.orig_texture_id);
  if (!surface_texture_bytes) return;
  auto surface_texture = SurfaceTexture::unpack(*surface_texture_bytes);
  if (!surface_texture || surface_texture->textures.empty()) return;

  const uint32_t texture_id = surface_texture->textures.back();
  if (!add(keep, texture_id)) return;
  auto texture_bytes = fetch(source, texture_id);
  if (!texture_bytes) return;
  auto texture = Texture::unpack(*texture_bytes);
  if (!texture) return;
  if (texture->default_palette_id) add(keep, *texture->default_palette_id);
}

}  // namespace

void walk_model(const ResourceSource& source, uint32_t model_id, KeepSet& keep, uint32_t depth) {
  if (depth > kMaxWalkDepth) return;
  if (!add(keep, model_id)) return;
  auto bytes = fetch(source, model_id);
  if (!bytes) return;

  switch (model_id >> 24) {
    case kGfxObjRecordType: {
      auto surfaces = read_gfx_obj_surfaces(*bytes);
      bytes.reset();
      if (!surfaces) return;
      for (uint32_t surface_id : *surfaces) walk_surface(source, surface_id, keep);
      return;
    }
    case kSetupModelRecordType: {
      common::ByteCursor cursor(*bytes);
      auto model = SetupModel::unpack(cursor);
      bytes.reset();
      if (!model) return;
      for (uint32_t part : model->parts) walk_model(source, part, keep, depth + 1);
      return;
    }
    default:
      return;
  }
}

std::optional<std::vector<uint32_t>> read_gfx_obj_surfaces(std::span<const uint8_t> data) {
  constexpr size_t kCountOffset = 8;
  if (data.size() < kCountOffset + 1) return std::nullopt;
  const uint8_t b0 = data[kCountOffset];
  uint32_t count = 0;
  size_t ids_start = 0;
  if (b0 < 0x80) {
    count = b0;
    ids_start = kCountOffset + 1;
  } else if (b0 < 0xC0) {
    if (data.size() < kCountOffset + 2) return std::nullopt;
    count = (static_cast<uint32_t>(b0 & 0x3F) << 8) | data[kCountOffset + 1];
    ids_start = kCountOffset + 2;
  } else {
    if (data.size() < kCountOffset + 4) return std::nullopt;
    // High part most significant byte first, low 16 bits little-endian.
    count = (static_cast<uint32_t>(b0 & 0x3F) << 24) | (static_cast<uint32_t>(data[kCountOffset + 1]) << 16) |
            common::load_u16_le(&data[kCountOffset + 2]);
    ids_start = kCountOffset + 4;
  }
  // 64-bit so that no count can wrap the bound.
  if (static_cast<uint64_t>(data.size()) < ids_start + static_cast<uint64_t>(count) * 4) return std::nullopt;

  std::vector<uint32_t> ids;
  ids.reserve(count);  // safe: the ids are known to be present
  for (uint32_t i = 0; i < count; ++i) ids.push_back(common::load_u32_le(&data[ids_start + 4 * size_t{i}]));
  return ids;
}

}  // namespace dat
