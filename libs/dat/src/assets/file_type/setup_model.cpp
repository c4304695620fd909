#include "dat/file_type/setup_model.h"

#include <fmt/format.h>

#include "common/try.h"
#include "dat/graphics.h"

namespace dat {

common::ReadResult<LocationType> LocationType::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "LocationType", kSetupModelLocation);
  LocationType l;
  l.part_id = READ_FIELD(scope, "part_id", cursor.read_u32());
  l.frame = READ_FIELD(scope, "frame", read_graphics_frame(cursor));
  return l;
}

common::ReadResult<CylSphere> CylSphere::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "CylSphere", kSetupModelLocation);
  CylSphere c;
  c.origin = READ_FIELD(scope, "origin", common::Vector3::read(cursor));
  c.radius = READ_FIELD(scope, "radius", cursor.read_f32());
  c.height = READ_FIELD(scope, "height", cursor.read_f32());
  return c;
}

common::ReadResult<LightInfo> LightInfo::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "LightInfo", kSetupModelLocation);
  LightInfo l;
  l.viewer_space_location = READ_FIELD(scope, "viewer_space_location", read_graphics_frame(cursor));
  l.color = READ_FIELD(scope, "color", cursor.read_u32());
  l.intensity = READ_FIELD(scope, "intensity", cursor.read_u32());
  l.falloff = READ_FIELD(scope, "falloff", cursor.read_u32());
  l.cone_angle = READ_FIELD(scope, "cone_angle", cursor.read_u32());
  return l;
}

std::optional<uint32_t> animation_hook_body_size(uint32_t hook_type) {
  switch (hook_type) {
    case 0: case 4: case 17:
      return 0;
    case 1: case 2: case 6: case 14: case 15: case 16: case 18: case 25:
      return 4;
    case 12: case 19: case 23:
      return 8;
    case 8: case 10: case 20: case 22: case 24:
      return 12;
    case 7: case 9: case 11: case 21:
      return 16;
    case 3:
      return 28;
    case 13: case 26:
      return 40;
    default:
      return std::nullopt;  // type 5 (variable body) and unsupported types
  }
}

namespace {

void append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Lists grow as they are read: a declared count never reserves memory, so a
// hostile count fails at the end of the data instead of in an allocation.
common::ReadResult<std::vector<uint32_t>> read_u32_list(common::ByteCursor& cursor, uint32_t count) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < count; ++i) out.push_back(TRY(cursor.read_u32()));
  return out;
}

common::ReadResult<AnimationHook> read_hook(common::ByteCursor& cursor) {
  const uint64_t start = cursor.position();
  AnimationHook hook;
  hook.hook_type = TRY(cursor.read_u32());
  hook.hook_param = TRY(cursor.read_u32());
  if (hook.hook_type >= kFirstUnsupportedHookType) {
    return std::unexpected(common::ReadError::custom(
        fmt::format("Unsupported AnimationHook type: 0x{:08X}", hook.hook_type), start + 8));
  }
  if (hook.hook_type == kVariableBodyHookType) {
    append(hook.payload, TRY(cursor.read_span(1)));
    auto first = TRY(cursor.read_span(2));
    append(hook.payload, first);
    if (common::load_u16_le(first.data()) & 0x8000u) append(hook.payload, TRY(cursor.read_span(2)));
  } else {
    append(hook.payload, TRY(cursor.read_span(*animation_hook_body_size(hook.hook_type))));
  }
  // Padding up to a multiple of 4 from the hook's first byte; it must be present.
  const uint64_t used = cursor.position() - start;
  if (used % 4 != 0) append(hook.payload, TRY(cursor.read_span(4 - used % 4)));
  return hook;
}

common::ReadResult<std::map<uint32_t, LocationType>> read_location_table(common::ByteCursor& cursor) {
  std::map<uint32_t, LocationType> table;
  const uint32_t count = TRY(cursor.read_u32());
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t key = TRY(cursor.read_u32());
    table.insert_or_assign(key, TRY(LocationType::read(cursor)));
  }
  return table;
}

}  // namespace

common::ReadResult<AnimationFrame> AnimationFrame::read(common::ByteCursor& cursor, uint32_t num_parts) {
  AnimationFrame frame;
  for (uint32_t i = 0; i < num_parts; ++i) frame.frames.push_back(TRY(read_graphics_frame(cursor)));
  const uint32_t num_hooks = TRY(cursor.read_u32());
  for (uint32_t i = 0; i < num_hooks; ++i) frame.hooks.push_back(TRY(read_hook(cursor)));
  return frame;
}

common::ReadResult<SetupModel> SetupModel::unpack(common::ByteCursor& cursor) {
  SetupModel m;
  m.id = TRY(cursor.read_u32());
  m.flags = TRY(cursor.read_u32());
  const uint32_t num_parts = TRY(cursor.read_u32());
  m.parts = TRY(read_u32_list(cursor, num_parts));
  if (m.flags & 1u) m.part_u32s = TRY(read_u32_list(cursor, num_parts));
  if (m.flags & 2u) {
    for (uint32_t i = 0; i < num_parts; ++i) m.part_vectors.push_back(TRY(common::Vector3::read(cursor)));
  }

  m.location_table_1 = TRY(read_location_table(cursor));
  m.location_table_2 = TRY(read_location_table(cursor));

  const int32_t num_placements = TRY(cursor.read_i32());
  if (num_placements < 0) {
    return std::unexpected(common::ReadError::custom(
        fmt::format("SetupModel 0x{:08X} declared negative placement count {}", m.id, num_placements),
        cursor.position()));
  }
  for (int32_t i = 0; i < num_placements; ++i) {
    const uint32_t key = TRY(cursor.read_u32());
    m.placements.insert_or_assign(key, PlacementType{TRY(AnimationFrame::read(cursor, num_parts))});
  }

  const uint32_t num_cyl_spheres = TRY(cursor.read_u32());
  for (uint32_t i = 0; i < num_cyl_spheres; ++i) m.cyl_spheres.push_back(TRY(CylSphere::read(cursor)));
  const uint32_t num_spheres = TRY(cursor.read_u32());
  for (uint32_t i = 0; i < num_spheres; ++i) m.spheres.push_back(TRY(common::Sphere::read(cursor)));

  for (auto& scalar : m.scalars) scalar = TRY(cursor.read_u32());
  m.sphere_1 = TRY(common::Sphere::read(cursor));
  m.sphere_2 = TRY(common::Sphere::read(cursor));

  const uint32_t num_lights = TRY(cursor.read_u32());
  for (uint32_t i = 0; i < num_lights; ++i) {
    const uint32_t key = TRY(cursor.read_u32());
    m.lights.insert_or_assign(key, TRY(LightInfo::read(cursor)));
  }

  for (auto& id : m.optional_ids) {
    const uint32_t value = TRY(cursor.read_u32());
    id = value == 0 ? std::nullopt : std::optional<uint32_t>(value);
  }
  return m;
}

}  // namespace dat
