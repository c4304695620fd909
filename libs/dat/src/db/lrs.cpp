// Decoder of the compression the game applies to some DAT records.
//
// Layout: u32 little-endian decompressed length U, then a token stream. A flag
// byte announces the next eight tokens, most significant bit first: a set bit
// is a back-reference b0 b1 (distance = b0 + 256 * (b1 >> 4), length =
// (b1 & 0x0F) + 2), a clear bit one literal byte. Distance 0 ends the stream.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cursor.h"
#include "dat/utils.h"

namespace dat {

std::vector<uint8_t> decompress_lrs(std::span<const uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const uint32_t expected = common::load_u32_le(input.data());
  if (expected == 0) return {};
  const auto stream = input.subspan(4);
  if (stream.empty()) return {};

  // The declared length is untrusted: a stream of n bytes produces at most
  // 17 * n bytes, so never reserve more than that.
  const uint64_t bound = static_cast<uint64_t>(stream.size()) * 17;
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(expected, bound)));

  size_t pos = 0;
  uint8_t flags = 0;
  uint32_t mask = 0;
  while (true) {
    if (mask == 0) {
      if (pos >= stream.size()) break;
      flags = stream[pos++];
      mask = 0x80;
    }
    if (flags & mask) {
      if (stream.size() - pos < 2) break;
      const uint32_t b0 = stream[pos];
      const uint32_t b1 = stream[pos + 1];
      const uint32_t distance = b0 + 256 * (b1 >> 4);
      const uint32_t length = (b1 & 0x0F) + 2;
      if (distance == 0) break;
      // A back-reference before any output has nothing to copy: stop.
      if (out.empty()) break;
      pos += 2;
      for (uint32_t k = 0; k < length && out.size() < expected; ++k) {
        const size_t back = distance > out.size() ? out.size() : distance;
        out.push_back(out[out.size() - back]);
      }
    } else {
      // A flag byte that announces a literal with no byte left: stop.
      if (pos >= stream.size()) break;
      out.push_back(stream[pos++]);
    }
    if (out.size() >= expected) break;
    mask >>= 1;
    if (pos >= stream.size()) break;
  }
  return out;
}

}  // namespace dat
