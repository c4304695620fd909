// The DAT record decompressor: over arbitrary bytes it must stay within the
// declared length and what the stream can produce; and the test encoder's
// output for the same bytes must decompress back to them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cursor.h"
#include "dat/utils.h"
#include "dat_testing/lrs_compress.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);

  const std::vector<uint8_t> out = dat::decompress_lrs(input);
  if (size >= 4) {
    const uint32_t declared = common::load_u32_le(data);
    FUZZ_CHECK(out.size() <= declared);
    // A literal byte yields one byte, a two-byte reference at most 17.
    FUZZ_CHECK(out.size() * 2 <= (size - 4) * 17);
  }

  const std::vector<uint8_t> packed = dat_testing::compress_lrs(input);
  FUZZ_CHECK(packed.size() >= 4 && common::load_u32_le(packed.data()) == size);
  FUZZ_CHECK(dat::decompress_lrs(packed) == std::vector<uint8_t>(input.begin(), input.end()));
  return 0;
}
