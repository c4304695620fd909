// Landblock-info decoding over arbitrary bytes. What decodes is encoded
// again with the test encoder: that encoding must decode, and re-encode to
// the same bytes (every field survives a round trip).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dat/landblock.h"
#include "dat_testing/asset_encoders.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto info = dat::LandblockInfo::unpack(std::span<const uint8_t>(data, size));
  if (!info) {
    FUZZ_CHECK(info.error().kind() == dat::DatError::Kind::BinRead);
    return 0;
  }
  FUZZ_CHECK(info->restriction_tables.has_value() == ((info->pack_mask & 1u) != 0));
  // 16 fixed bytes; each object takes 32 bytes of the record and each building at least 40.
  FUZZ_CHECK(16 + info->objects.size() * dat::Stab::kSize + info->buildings.size() * 40 <= size);

  const std::vector<uint8_t> encoded = dat_testing::encode_landblock_info(*info);
  auto again = dat::LandblockInfo::unpack(encoded);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(dat_testing::encode_landblock_info(*again) == encoded);
  return 0;
}
