// The surface list of a graphics object over arbitrary bytes. A list that is
// returned must be the ids stored after the count; encoded again in the
// shortest count form, it must read back the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cursor.h"
#include "dat/walk.h"
#include "dat_testing/asset_encoders.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  auto ids = dat::read_gfx_obj_surfaces(input);
  if (!ids) return 0;

  const uint8_t b0 = input[8];
  const size_t count_bytes = b0 < 0x80 ? 1 : (b0 < 0xC0 ? 2 : 4);
  const size_t start = 8 + count_bytes;
  FUZZ_CHECK(start + 4 * ids->size() <= size);
  for (size_t i = 0; i < ids->size(); ++i) FUZZ_CHECK((*ids)[i] == common::load_u32_le(data + start + 4 * i));

  const std::vector<uint8_t> encoded = dat_testing::encode_gfx_obj(*ids, 3);
  auto again = dat::read_gfx_obj_surfaces(encoded);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *ids);
  // One id fewer than the record declares is not a list.
  if (!ids->empty()) {
    FUZZ_CHECK(!dat::read_gfx_obj_surfaces(input.first(start + 4 * ids->size() - 1)).has_value());
  }
  return 0;
}
