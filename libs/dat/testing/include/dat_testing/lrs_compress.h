#pragma once
// Encoder of the compression the game applies to some DAT records; the inverse
// of dat::decompress_lrs, for tests, sample files and benchmark corpora.
#include <cstdint>
#include <span>
#include <vector>

namespace dat_testing {

// Encodes `input` as: u32 little-endian length, then groups of one flag byte
// (most significant bit first; set = back-reference) and up to eight tokens.
// A back-reference is two bytes b0 b1 with distance = b0 + 256 * (b1 >> 4) in
// 1..4095 and length = (b1 & 0x0F) + 2 in 2..17; distances never reach before
// the start of the data, so decoding never relies on the decoder's fallbacks.
// The stream ends exactly when the declared length is produced (no end
// marker). A greedy hash-chain matcher over a 4095-byte window.
// REQUIRES: input.size() <= UINT32_MAX.
std::vector<uint8_t> compress_lrs(std::span<const uint8_t> input);

}  // namespace dat_testing
