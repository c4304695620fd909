#pragma once
// Test-support encoders for the game asset records, and an in-memory record
// source. They build valid record bytes from decoded values, so tests, the
// sample-data generator and fuzz seeds can describe records as values.
//
// Each encoder writes the layout documented in the matching dat header. The
// decoders are also tested against hand-written bytes, so a mistake shared by
// an encoder and its decoder does not go unnoticed.
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "dat/file_type/setup_model.h"
#include "dat/file_type/surface.h"
#include "dat/file_type/surface_texture.h"
#include "dat/file_type/texture.h"
#include "dat/landblock.h"
#include "dat/resource.h"

namespace dat_testing {

// Landblock-info record. Counts come from the list sizes (buildings must
// number at most 65,535, a portal's stabs and a restriction table's entries
// likewise). A portal with an odd number of stabs is followed by its two
// zero padding bytes. The restriction table is written exactly when
// pack_mask & 1 (an absent table then counts as empty), with _bucket_size 0.
std::vector<uint8_t> encode_landblock_info(const dat::LandblockInfo& info);

// Setup-model record. part_u32s and part_vectors are written when the flags
// bits ask for them, and every placement's frames as given: to read back the
// same values they must each hold parts.size() entries. Hooks are written as
// type, param and payload, then zero bytes up to a multiple of 4 (a payload
// taken from a decoded hook already includes its padding). optional_ids that
// are absent are written as 0.
std::vector<uint8_t> encode_setup_model(const dat::SetupModel& model);

// A hook of `hook_type` (any supported type but 5) whose body is zero-filled
// and exactly as long as the type calls for.
dat::AnimationHook make_fixed_hook(uint32_t hook_type, uint32_t hook_param);
// A type-5 hook: one byte, a u16 and, when the u16 has bit 15 set, a second
// u16; the payload includes the padding (4 or 8 bytes in all).
dat::AnimationHook make_variable_hook(uint32_t hook_param, uint8_t first, uint16_t flags, uint16_t second = 0);

// The surface count of a graphics object in its shortest form (1 byte below
// 0x80, 2 bytes below 0x4000, else 4 bytes). Requires count < 2^30.
std::vector<uint8_t> encode_gfx_obj_count(uint32_t count);

// A graphics-object record as far as its surface list: 8 leading bytes
// (0x01 to 0x08, so they are not mistaken for a count), the count in its
// shortest form, the ids, then `extra_bytes` bytes of 0xEE standing for the
// rest of the record.
std::vector<uint8_t> encode_gfx_obj(std::span<const uint32_t> surfaces, size_t extra_bytes = 0);

// Surface record; the form follows surface_type & 6: texture_refs (or zeros
// when absent) in texture form, color_value (or 0) in colour form.
std::vector<uint8_t> encode_surface(const dat::Surface& surface);

// Surface-texture record (count written as i32 from the list size).
std::vector<uint8_t> encode_surface_texture(const dat::SurfaceTexture& surface_texture);

// Texture record; length is source_data.size(); default_palette_id (or 0
// when absent) is written exactly when format_raw is a paletted format.
std::vector<uint8_t> encode_texture(const dat::Texture& texture);

// An in-memory ResourceSource for tests: records by key, and a log of every
// key asked for (found or not), in call order. A missing key yields
// DatError::NotFound. Not thread-safe: the log is written by the const fetch.
class MemoryResourceSource : public dat::ResourceSource {
 public:
  // Adds or replaces a record.
  void add(dat::ResourceKey key, std::vector<uint8_t> bytes);
  // Adds or replaces a record in "eor/portal".
  void add_portal(uint32_t file_id, std::vector<uint8_t> bytes);
  // Removes a record; whether it was there.
  bool remove(const dat::ResourceKey& key) { return records_.erase(key) > 0; }

  dat::DatResult<std::vector<uint8_t>> get_file_by_key(const dat::ResourceKey& key) const override;

  const std::vector<dat::ResourceKey>& fetch_log() const { return fetch_log_; }
  // Whether the key was asked for at least once, and how often.
  size_t fetch_count(const dat::ResourceKey& key) const;
  void clear_fetch_log() { fetch_log_.clear(); }

 private:
  std::map<dat::ResourceKey, std::vector<uint8_t>> records_;
  mutable std::vector<dat::ResourceKey> fetch_log_;
};

}  // namespace dat_testing
