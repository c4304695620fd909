#pragma once
// Setup-model records (ids 0x02xxxxxx in "eor/portal"): an object assembled
// from part models, with per-placement frames, keyed locations, collision
// shapes, lights and five optional ids.
//
// Record layout, little-endian, no padding except after animation hooks:
//
//   id u32 | flags u32 | num_parts u32 | parts u32[num_parts]
//   | part_u32s u32[num_parts]          (only when flags & 1)
//   | part_vectors Vector3[num_parts]   (only when flags & 2; after part_u32s)
//   | location_table_1: count u32, (key u32, LocationType)[count]
//   | location_table_2: count u32, (key u32, LocationType)[count]
//   | placements: count i32, (key u32, AnimationFrame of num_parts frames)[count]
//   | cyl_spheres: count u32, CylSphere[count]
//   | spheres: count u32, Sphere[count]
//   | scalars 4 x 32-bit | sphere_1 Sphere | sphere_2 Sphere
//   | lights: count u32, (key u32, LightInfo)[count]
//   | optional_ids 5 x u32 (0 = absent)
//
//   AnimationFrame  Frame[num_parts] | hook count u32 | AnimationHook[count]
//   AnimationHook   hook_type u32 | hook_param u32 | body (size by type, see
//                   animation_hook_body_size) | zero to three padding bytes
//                   up to a multiple of 4 counted from the hook's first byte
//
// Two kinds of reader: LocationType, CylSphere and LightInfo follow the
// record-reader convention (field context entries at kSetupModelLocation,
// cursor restored on failure). SetupModel::unpack and AnimationFrame::read are
// step-by-step readers: they add no context of their own, do not restore the
// cursor, and raise two custom errors (negative placement count, unsupported
// hook type). Maps keep the last value of a repeated key. Declared counts
// never reserve memory.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "common/cursor.h"
#include "common/math.h"

namespace dat {

inline constexpr std::string_view kSetupModelLocation = "libs/dat/src/file_type/setup_model";

// 32 bytes: part_id u32, frame (graphics-module Frame).
struct LocationType {
  static constexpr size_t kSize = 32;
  uint32_t part_id = 0;
  common::Frame frame;

  static common::ReadResult<LocationType> read(common::ByteCursor& cursor);
};

// 20 bytes: origin Vector3, radius f32, height f32.
struct CylSphere {
  static constexpr size_t kSize = 20;
  common::Vector3 origin;
  float radius = 0;
  float height = 0;

  static common::ReadResult<CylSphere> read(common::ByteCursor& cursor);
};

// 44 bytes: viewer_space_location (graphics-module Frame), then four 32-bit
// values kept bit for bit.
struct LightInfo {
  static constexpr size_t kSize = 44;
  common::Frame viewer_space_location;
  uint32_t color = 0;
  uint32_t intensity = 0;
  uint32_t falloff = 0;
  uint32_t cone_angle = 0;

  static common::ReadResult<LightInfo> read(common::ByteCursor& cursor);
};

// First hook type that is not supported (types 27 and above fail to read).
inline constexpr uint32_t kFirstUnsupportedHookType = 27;
// Hook type whose body is variable: one byte, a u16, and a second u16 when
// the first has bit 15 set.
inline constexpr uint32_t kVariableBodyHookType = 5;

// The body size of a fixed-body hook type (0, 4, 8, 12, 16, 28 or 40 bytes);
// nothing for type 5 (variable) and for unsupported types.
std::optional<uint32_t> animation_hook_body_size(uint32_t hook_type);

struct AnimationHook {
  uint32_t hook_type = 0;
  uint32_t hook_param = 0;
  // The body as raw bytes in record order, including any trailing padding
  // (so type 5 carries 4 or 8 bytes).
  std::vector<uint8_t> payload;

  friend bool operator==(const AnimationHook&, const AnimationHook&) = default;
};

struct AnimationFrame {
  std::vector<common::Frame> frames;
  std::vector<AnimationHook> hooks;

  // Reads `num_parts` frames (the count is not stored), a hook count and the
  // hooks. Step-by-step reader: no context of its own, cursor not restored.
  // A hook type of 27 or more fails with the custom error
  // "Unsupported AnimationHook type: 0x0000001B" at the position just after
  // the hook's type and param.
  static common::ReadResult<AnimationFrame> read(common::ByteCursor& cursor, uint32_t num_parts);
};

struct PlacementType {
  AnimationFrame animation_frame;
};

struct SetupModel {
  uint32_t id = 0;
  // Bit 0 gates part_u32s, bit 1 part_vectors; other bits kept as read.
  uint32_t flags = 0;
  std::vector<uint32_t> parts;
  std::vector<uint32_t> part_u32s;
  std::vector<common::Vector3> part_vectors;
  std::map<uint32_t, LocationType> location_table_1;
  std::map<uint32_t, LocationType> location_table_2;
  std::map<uint32_t, PlacementType> placements;
  std::vector<CylSphere> cyl_spheres;
  std::vector<common::Sphere> spheres;
  std::array<uint32_t, 4> scalars{};
  common::Sphere sphere_1;
  common::Sphere sphere_2;
  std::map<uint32_t, LightInfo> lights;
  std::array<std::optional<uint32_t>, 5> optional_ids{};

  // Reads a setup model starting at the cursor's position; bytes after the
  // last field are ignored. Step-by-step reader: no context of its own and
  // the cursor is not restored on failure. A negative placement count fails
  // with the custom error "SetupModel 0x02000001 declared negative placement
  // count -1" at the position just after the count.
  static common::ReadResult<SetupModel> unpack(common::ByteCursor& cursor);
};

}  // namespace dat
