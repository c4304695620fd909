#pragma once
// The model dependency walk: from a model id, every "eor/portal" record the
// model draws with is added to a keep set.
//
// Policy: the walk never fails and reports nothing. A missing record, a
// record that does not decode or an empty list ends the branch in hand and
// the walk goes on with the next id; keys added before the failure stay.
// Bounds: a key is added before it is expanded and an already-present key is
// never expanded again, and setup-model nesting stops at depth 4, so
// self-referencing or mutually referencing models terminate.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dat/resource.h"

namespace dat {

// The only namespace the walk builds keys in or fetches from.
inline constexpr std::string_view kPortalNamespace = "eor/portal";

// Record types named by the high byte (id >> 24) of a model id.
inline constexpr uint32_t kGfxObjRecordType = 0x01;
inline constexpr uint32_t kSetupModelRecordType = 0x02;
// Models at this depth and deeper are ignored entirely.
inline constexpr uint32_t kMaxWalkDepth = 4;

using KeepSet = std::unordered_set<ResourceKey, ResourceKeyHash>;

// Adds ("eor/portal", model_id) and everything it draws with to `keep`:
//   - depth > 4: nothing happens;
//   - an id already in `keep` (including keys the caller put there) is
//     neither fetched nor expanded again;
//   - a graphics object (high byte 1) adds its surfaces; a surface in texture
//     form adds its palette (when not 0; never fetched) and its surface
//     texture; a surface texture adds only the LAST of its textures; a
//     texture adds its default palette (never fetched);
//   - a setup model (high byte 2) walks each of its parts at depth + 1;
//   - any other high byte is fetched and added, nothing more.
// Depth-first, so the first visit of a key decides its expansion.
// Needs exclusive use of `keep`; `source` is only read.
void walk_model(const ResourceSource& source, uint32_t model_id, KeepSet& keep, uint32_t depth);

// The surface-id list of a whole graphics-object record:
//   8 skipped bytes | surface count (1, 2 or 4 bytes) | u32[count] | rest
// The count's form is chosen by its first byte b0:
//   0x00-0x7F  1 byte   b0
//   0x80-0xBF  2 bytes  ((b0 & 0x3F) << 8) | b1
//   0xC0-0xFF  4 bytes  ((b0 & 0x3F) << 24) | (b1 << 16) | b2 | (b3 << 8)
// Returns nothing (no list, no error) when the record is shorter than what
// it declares. Never allocates more than the ids actually present.
std::optional<std::vector<uint32_t>> read_gfx_obj_surfaces(std::span<const uint8_t> data);

}  // namespace dat
