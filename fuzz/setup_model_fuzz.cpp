// Setup-model decoding over arbitrary bytes, with the encode/decode round
// trip of whatever decodes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cursor.h"
#include "dat/file_type/setup_model.h"
#include "dat_testing/asset_encoders.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  common::ByteCursor cursor(std::span<const uint8_t>(data, size));
  auto model = dat::SetupModel::unpack(cursor);
  if (!model) return 0;
  FUZZ_CHECK(cursor.position() <= size);
  FUZZ_CHECK(model->part_u32s.size() == ((model->flags & 1u) ? model->parts.size() : 0));
  FUZZ_CHECK(model->part_vectors.size() == ((model->flags & 2u) ? model->parts.size() : 0));
  for (const auto& [key, placement] : model->placements) {
    FUZZ_CHECK(placement.animation_frame.frames.size() == model->parts.size());
    for (const auto& hook : placement.animation_frame.hooks) {
      FUZZ_CHECK(hook.hook_type < dat::kFirstUnsupportedHookType);
      FUZZ_CHECK((8 + hook.payload.size()) % 4 == 0);
    }
  }

  const std::vector<uint8_t> encoded = dat_testing::encode_setup_model(*model);
  // Nothing is written that was not read (repeated map keys collapse).
  FUZZ_CHECK(encoded.size() <= cursor.position());
  common::ByteCursor again_cursor(encoded);
  auto again = dat::SetupModel::unpack(again_cursor);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(dat_testing::encode_setup_model(*again) == encoded);
  return 0;
}
