#pragma once
// Landblock-info records: what stands on one landblock (placed objects,
// buildings with their portals, and an optional restriction table).
//
// Record layout, little-endian, no padding except after a portal's stab list:
//
//   LandblockInfo   id u32 | num_cells u32 | num_objects u32 | Stab[num_objects]
//                   | num_buildings u16 | pack_mask u16 | BuildInfo[num_buildings]
//                   | RestrictionTable  (only when pack_mask & 1)
//   Stab            id u32 | Frame                                   (32 bytes)
//   BuildInfo       model_id u32 | Frame | num_leaves u32 | num_portals u32
//                   | PortalInternal[num_portals]
//   PortalInternal  flags u16 | other_cell_id u16 | other_portal_id u16
//                   | num_stabs u16 | u16[num_stabs] | 2 skipped bytes when
//                   num_stabs is odd (skipped, not read: may lie past the end)
//   RestrictionTable count u16 | _bucket_size u16 | (key u32, value u32)[count]
//
// Every record follows the record-reader convention: a failing field wraps
// its error in "While parsing field '<field>' in <Record>" (location
// kLandblockLocation) and restores the cursor to the record's first byte.
// Declared counts never reserve memory: lists grow as elements are read, so a
// hostile count costs no more than the bytes actually present.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/cursor.h"
#include "common/math.h"
#include "dat/error.h"

namespace dat {

// Location carried by the context entries of this module's records and frames.
inline constexpr std::string_view kLandblockLocation = "libs/dat/src/landblock";

// Reads one 28-byte Frame whose errors carry kLandblockLocation.
common::ReadResult<common::Frame> read_landblock_frame(common::ByteCursor& cursor);

// An object placed on the landblock: its model id and placement.
struct Stab {
  static constexpr size_t kSize = 32;
  uint32_t id = 0;
  common::Frame frame;

  static common::ReadResult<Stab> read(common::ByteCursor& cursor);
};

struct PortalInternal {
  uint16_t flags = 0;
  uint16_t other_cell_id = 0;
  uint16_t other_portal_id = 0;
  std::vector<uint16_t> stab_list;

  static common::ReadResult<PortalInternal> read(common::ByteCursor& cursor);
};

struct BuildInfo {
  uint32_t model_id = 0;
  common::Frame frame;
  uint32_t num_leaves = 0;
  std::vector<PortalInternal> portals;

  static common::ReadResult<BuildInfo> read(common::ByteCursor& cursor);
};

// Pairs are inserted in record order, so the last occurrence of a key wins.
// If a pair cannot be read completely, nothing is built and the read fails.
struct RestrictionTable {
  std::map<uint32_t, uint32_t> tables;

  static common::ReadResult<RestrictionTable> read(common::ByteCursor& cursor);
};

struct LandblockInfo {
  uint32_t id = 0;
  uint32_t num_cells = 0;
  std::vector<Stab> objects;
  uint16_t pack_mask = 0;
  std::vector<BuildInfo> buildings;
  std::optional<RestrictionTable> restriction_tables;

  // Reads the cursor's record by the record-reader convention.
  static common::ReadResult<LandblockInfo> read(common::ByteCursor& cursor);

  // Decodes a whole record from offset 0; bytes after the last field are
  // ignored. A failure is DatError::BinRead carrying the read error and its
  // context entries, innermost first. Borrows `data` only for the call.
  static DatResult<LandblockInfo> unpack(std::span<const uint8_t> data);
};

}  // namespace dat
