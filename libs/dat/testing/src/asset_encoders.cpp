#include "dat_testing/asset_encoders.h"

#include <algorithm>
#include <cstdlib>

#include "common/cursor.h"
#include "dat/walk.h"

namespace dat_testing {

namespace {

template <typename T>
uint16_t u16_count(const std::vector<T>& list) {
  // The records hold these counts in 16 bits; a larger list is a caller bug.
  if (list.size() > UINT16_MAX) std::abort();
  return static_cast<uint16_t>(list.size());
}

template <typename T>
uint32_t u32_count(const T& list) {
  if (list.size() > UINT32_MAX) std::abort();
  return static_cast<uint32_t>(list.size());
}

void write_hook(common::ByteWriter& out, const dat::AnimationHook& hook) {
  out.put_u32(hook.hook_type);
  out.put_u32(hook.hook_param);
  out.put_bytes(hook.payload);
  const size_t used = 8 + hook.payload.size();
  if (used % 4 != 0) out.put_zeros(4 - used % 4);
}

}  // namespace

std::vector<uint8_t> encode_landblock_info(const dat::LandblockInfo& info) {
  common::ByteWriter out;
  out.put_u32(info.id);
  out.put_u32(info.num_cells);
  out.put_u32(u32_count(info.objects));
  for (const auto& stab : info.objects) {
    out.put_u32(stab.id);
    stab.frame.write(out);
  }
  out.put_u16(u16_count(info.buildings));
  out.put_u16(info.pack_mask);
  for (const auto& building : info.buildings) {
    out.put_u32(building.model_id);
    building.frame.write(out);
    out.put_u32(building.num_leaves);
    out.put_u32(u32_count(building.portals));
    for (const auto& portal : building.portals) {
      out.put_u16(portal.flags);
      out.put_u16(portal.other_cell_id);
      out.put_u16(portal.other_portal_id);
      out.put_u16(u16_count(portal.stab_list));
      for (uint16_t stab : portal.stab_list) out.put_u16(stab);
      if (portal.stab_list.size() % 2 != 0) out.put_zeros(2);
    }
  }
  if (info.pack_mask & 1u) {
    const dat::RestrictionTable empty;
    const auto& table = info.restriction_tables ? *info.restriction_tables : empty;
    if (table.tables.size() > UINT16_MAX) std::abort();
    out.put_u16(static_cast<uint16_t>(table.tables.size()));
    out.put_u16(0);  // _bucket_size: not read back
    for (const auto& [key, value] : table.tables) {
      out.put_u32(key);
      out.put_u32(value);
    }
  }
  return out.take();
}

std::vector<uint8_t> encode_setup_model(const dat::SetupModel& model) {
  common::ByteWriter out;
  out.put_u32(model.id);
  out.put_u32(model.flags);
  out.put_u32(u32_count(model.parts));
  for (uint32_t part : model.parts) out.put_u32(part);
  if (model.flags & 1u) {
    for (uint32_t v : model.part_u32s) out.put_u32(v);
  }
  if (model.flags & 2u) {
    for (const auto& v : model.part_vectors) v.write(out);
  }
  for (const auto* table : {&model.location_table_1, &model.location_table_2}) {
    out.put_u32(u32_count(*table));
    for (const auto& [key, location] : *table) {
      out.put_u32(key);
      out.put_u32(location.part_id);
      location.frame.write(out);
    }
  }
  out.put_i32(static_cast<int32_t>(u32_count(model.placements)));
  for (const auto& [key, placement] : model.placements) {
    out.put_u32(key);
    for (const auto& frame : placement.animation_frame.frames) frame.write(out);
    out.put_u32(u32_count(placement.animation_frame.hooks));
    for (const auto& hook : placement.animation_frame.hooks) write_hook(out, hook);
  }
  out.put_u32(u32_count(model.cyl_spheres));
  for (const auto& c : model.cyl_spheres) {
    c.origin.write(out);
    out.put_f32(c.radius);
    out.put_f32(c.height);
  }
  out.put_u32(u32_count(model.spheres));
  for (const auto& s : model.spheres) s.write(out);
  for (uint32_t scalar : model.scalars) out.put_u32(scalar);
  model.sphere_1.write(out);
  model.sphere_2.write(out);
  out.put_u32(u32_count(model.lights));
  for (const auto& [key, light] : model.lights) {
    out.put_u32(key);
    light.viewer_space_location.write(out);
    out.put_u32(light.color);
    out.put_u32(light.intensity);
    out.put_u32(light.falloff);
    out.put_u32(light.cone_angle);
  }
  for (const auto& id : model.optional_ids) out.put_u32(id.value_or(0));
  return out.take();
}

dat::AnimationHook make_fixed_hook(uint32_t hook_type, uint32_t hook_param) {
  const auto size = dat::animation_hook_body_size(hook_type);
  if (!size) std::abort();  // type 5 and unsupported types have no fixed body
  return dat::AnimationHook{hook_type, hook_param, std::vector<uint8_t>(*size, 0)};
}

dat::AnimationHook make_variable_hook(uint32_t hook_param, uint8_t first, uint16_t flags, uint16_t second) {
  common::ByteWriter body;
  body.put_u8(first);
  body.put_u16(flags);
  if (flags & 0x8000u) {
    body.put_u16(second);
    body.put_zeros(3);  // 8 + 5 bytes, padded to 16
  } else {
    body.put_zeros(1);  // 8 + 3 bytes, padded to 12
  }
  return dat::AnimationHook{dat::kVariableBodyHookType, hook_param, body.take()};
}

std::vector<uint8_t> encode_gfx_obj_count(uint32_t count) {
  if (count < 0x80) return {static_cast<uint8_t>(count)};
  if (count < 0x4000) return {static_cast<uint8_t>(0x80 | (count >> 8)), static_cast<uint8_t>(count & 0xFF)};
  if (count >= (1u << 30)) std::abort();
  // High part most significant byte first, low 16 bits little-endian.
  return {static_cast<uint8_t>(0xC0 | (count >> 24)), static_cast<uint8_t>((count >> 16) & 0xFF),
          static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>((count >> 8) & 0xFF)};
}

std::vector<uint8_t> encode_gfx_obj(std::span<const uint32_t> surfaces, size_t extra_bytes) {
  common::ByteWriter out;
  for (uint8_t b = 1; b <= 8; ++b) out.put_u8(b);
  out.put_bytes(encode_gfx_obj_count(u32_count(surfaces)));
  for (uint32_t id : surfaces) out.put_u32(id);
  out.bytes().insert(out.bytes().end(), extra_bytes, 0xEE);
  return out.take();
}

std::vector<uint8_t> encode_surface(const dat::Surface& surface) {
  common::ByteWriter out;
  out.put_u32(surface.surface_type);
  if (dat::Surface::has_texture_refs(surface.surface_type)) {
    const dat::TextureRefs refs = surface.texture_refs.value_or(dat::TextureRefs{});
    out.put_u32(refs.orig_texture_id);
    out.put_u32(refs.orig_palette_id);
  } else {
    out.put_u32(surface.color_value.value_or(0));
  }
  out.put_u32(surface.translucency);
  out.put_u32(surface.luminosity);
  out.put_u32(surface.diffuse);
  return out.take();
}

std::vector<uint8_t> encode_surface_texture(const dat::SurfaceTexture& surface_texture) {
  common::ByteWriter out;
  out.put_u32(surface_texture.id);
  out.put_u32(surface_texture.unknown_int);
  out.put_u8(surface_texture.unknown_byte);
  if (surface_texture.textures.size() > INT32_MAX) std::abort();
  out.put_i32(static_cast<int32_t>(surface_texture.textures.size()));
  for (uint32_t id : surface_texture.textures) out.put_u32(id);
  return out.take();
}

std::vector<uint8_t> encode_texture(const dat::Texture& texture) {
  common::ByteWriter out;
  out.put_u32(texture.id);
  out.put_u32(texture.unknown);
  out.put_u32(texture.width);
  out.put_u32(texture.height);
  out.put_u32(texture.format_raw);
  if (texture.source_data.size() > INT32_MAX) std::abort();
  out.put_i32(static_cast<int32_t>(texture.source_data.size()));
  out.put_bytes(texture.source_data);
  if (dat::Texture::uses_palette(texture.format_raw)) out.put_u32(texture.default_palette_id.value_or(0));
  return out.take();
}

void MemoryResourceSource::add(dat::ResourceKey key, std::vector<uint8_t> bytes) {
  records_.insert_or_assign(std::move(key), std::move(bytes));
}

void MemoryResourceSource::add_portal(uint32_t file_id, std::vector<uint8_t> bytes) {
  add(dat::ResourceKey{std::string(dat::kPortalNamespace), file_id}, std::move(bytes));
}

dat::DatResult<std::vector<uint8_t>> MemoryResourceSource::get_file_by_key(const dat::ResourceKey& key) const {
  fetch_log_.push_back(key);
  auto it = records_.find(key);
  if (it == records_.end()) return std::unexpected(dat::DatError::not_found(key.file_id));
  return it->second;
}

size_t MemoryResourceSource::fetch_count(const dat::ResourceKey& key) const {
  return static_cast<size_t>(std::count(fetch_log_.begin(), fetch_log_.end(), key));
}

}  // namespace dat_testing
