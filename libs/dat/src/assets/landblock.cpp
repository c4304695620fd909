#include "dat/landblock.h"

#include "common/try.h"

namespace dat {

common::ReadResult<common::Frame> read_landblock_frame(common::ByteCursor& cursor) {
  return common::Frame::read(cursor, kLandblockLocation);
}

common::ReadResult<Stab> Stab::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "Stab", kLandblockLocation);
  Stab s;
  s.id = READ_FIELD(scope, "id", cursor.read_u32());
  s.frame = READ_FIELD(scope, "frame", read_landblock_frame(cursor));
  return s;
}

namespace {

common::ReadResult<std::vector<uint16_t>> read_u16_list(common::ByteCursor& cursor, uint32_t count) {
  std::vector<uint16_t> out;
  for (uint32_t i = 0; i < count; ++i) out.push_back(TRY(cursor.read_u16()));
  return out;
}

}  // namespace

common::ReadResult<PortalInternal> PortalInternal::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "PortalInternal", kLandblockLocation);
  PortalInternal p;
  p.flags = READ_FIELD(scope, "flags", cursor.read_u16());
  p.other_cell_id = READ_FIELD(scope, "other_cell_id", cursor.read_u16());
  p.other_portal_id = READ_FIELD(scope, "other_portal_id", cursor.read_u16());
  const uint16_t num_stabs = READ_FIELD(scope, "num_stabs", cursor.read_u16());
  p.stab_list = READ_FIELD(scope, "stab_list", read_u16_list(cursor, num_stabs));
  // Keeps the record a multiple of 4 bytes. Not checked: the padding of the
  // record's last portal may lie beyond the data.
  cursor.skip((static_cast<uint64_t>(num_stabs) * 2) & 2);
  return p;
}

common::ReadResult<BuildInfo> BuildInfo::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "BuildInfo", kLandblockLocation);
  BuildInfo b;
  b.model_id = READ_FIELD(scope, "model_id", cursor.read_u32());
  b.frame = READ_FIELD(scope, "frame", read_landblock_frame(cursor));
  b.num_leaves = READ_FIELD(scope, "num_leaves", cursor.read_u32());
  const uint32_t num_portals = READ_FIELD(scope, "num_portals", cursor.read_u32());
  for (uint32_t i = 0; i < num_portals; ++i) {
    b.portals.push_back(READ_FIELD(scope, "portals", PortalInternal::read(cursor)));
  }
  return b;
}

common::ReadResult<RestrictionTable> RestrictionTable::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "RestrictionTable", kLandblockLocation);
  const uint16_t count = READ_FIELD(scope, "count", cursor.read_u16());
  (void)READ_FIELD(scope, "_bucket_size", cursor.read_u16());
  // All pairs are read before the map is built, so a short table builds nothing.
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t key = READ_FIELD(scope, "tables", cursor.read_u32());
    const uint32_t value = READ_FIELD(scope, "tables", cursor.read_u32());
    pairs.emplace_back(key, value);
  }
  RestrictionTable t;
  for (const auto& [key, value] : pairs) t.tables.insert_or_assign(key, value);
  return t;
}

common::ReadResult<LandblockInfo> LandblockInfo::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "LandblockInfo", kLandblockLocation);
  LandblockInfo info;
  info.id = READ_FIELD(scope, "id", cursor.read_u32());
  info.num_cells = READ_FIELD(scope, "num_cells", cursor.read_u32());
  const uint32_t num_objects = READ_FIELD(scope, "num_objects", cursor.read_u32());
  for (uint32_t i = 0; i < num_objects; ++i) {
    info.objects.push_back(READ_FIELD(scope, "objects", Stab::read(cursor)));
  }
  const uint16_t num_buildings = READ_FIELD(scope, "num_buildings", cursor.read_u16());
  info.pack_mask = READ_FIELD(scope, "pack_mask", cursor.read_u16());
  for (uint32_t i = 0; i < num_buildings; ++i) {
    info.buildings.push_back(READ_FIELD(scope, "buildings", BuildInfo::read(cursor)));
  }
  if (info.pack_mask & 1u) {
    info.restriction_tables = READ_FIELD(scope, "restriction_tables", RestrictionTable::read(cursor));
  }
  return info;
}

DatResult<LandblockInfo> LandblockInfo::unpack(std::span<const uint8_t> data) {
  common::ByteCursor cursor(data);
  auto info = LandblockInfo::read(cursor);
  if (!info) return std::unexpected(DatError::bin_read(std::move(info).error()));
  return std::move(*info);
}

}  // namespace dat
