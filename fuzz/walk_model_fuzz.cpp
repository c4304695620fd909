// The model dependency walk over a fuzzed set of records.
//
// Input: one control byte (bits 0-2: start depth 0..7; bit 3: put the second
// record's key into the keep set beforehand), then records, each
// [u32 file id][u16 length][length bytes], stored under "eor/portal" (a later
// record replaces an earlier one with the same id). The walk starts at the
// first record's id.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/cursor.h"
#include "dat/walk.h"
#include "fuzz_check.h"

namespace {

// Records by id in "eor/portal", with a count of fetches per key.
class FuzzSource final : public dat::ResourceSource {
 public:
  std::map<uint32_t, std::vector<uint8_t>> records;
  mutable std::map<dat::ResourceKey, int> fetches;

  dat::DatResult<std::vector<uint8_t>> get_file_by_key(const dat::ResourceKey& key) const override {
    ++fetches[key];
    if (key.label != dat::kPortalNamespace) return std::unexpected(dat::DatError::not_found(key.file_id));
    const auto it = records.find(key.file_id);
    if (it == records.end()) return std::unexpected(dat::DatError::not_found(key.file_id));
    return it->second;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t depth = data[0] & 7u;
  const bool preseed = (data[0] & 8u) != 0;

  FuzzSource source;
  std::vector<uint32_t> ids;
  common::ByteCursor cursor(std::span<const uint8_t>(data + 1, size - 1));
  while (cursor.remaining() >= 6) {
    const uint32_t id = *cursor.read_u32();
    const uint16_t length = *cursor.read_u16();
    const auto body = cursor.read_span(std::min<uint64_t>(length, cursor.remaining()));
    source.records[id].assign(body->begin(), body->end());
    ids.push_back(id);
  }
  if (ids.empty()) return 0;

  dat::KeepSet keep;
  const dat::ResourceKey preseeded{std::string(dat::kPortalNamespace), ids.size() > 1 ? ids[1] : ids[0]};
  if (preseed) keep.insert(preseeded);
  const size_t before = keep.size();

  dat::walk_model(source, ids[0], keep, depth);

  if (depth > dat::kMaxWalkDepth) {
    FUZZ_CHECK(keep.size() == before);
    FUZZ_CHECK(source.fetches.empty());
    return 0;
  }
  FUZZ_CHECK(keep.contains(dat::ResourceKey{std::string(dat::kPortalNamespace), ids[0]}));
  for (const auto& key : keep) FUZZ_CHECK(key.label == dat::kPortalNamespace);
  for (const auto& [key, count] : source.fetches) {
    FUZZ_CHECK(count == 1);              // a key is fetched at most once
    FUZZ_CHECK(keep.contains(key));      // and only after it was added
  }
  if (preseed) FUZZ_CHECK(!source.fetches.contains(preseeded));
  return 0;
}
