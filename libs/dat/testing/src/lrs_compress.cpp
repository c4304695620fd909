#include "dat_testing/lrs_compress.h"

#include <algorithm>
#include <cassert>

#include "common/cursor.h"

namespace dat_testing {
namespace {

constexpr size_t kMaxDistance = 4095;
constexpr size_t kMinMatch = 3;  // a 2-byte match saves only one flag bit
constexpr size_t kMaxMatch = 17;
constexpr size_t kWindowMask = 4095;  // prev[] ring; a slot is reused only beyond kMaxDistance
constexpr int kHashBits = 15;
constexpr int kMaxChain = 32;

uint32_t hash3(const uint8_t* p) {
  const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16);
  return (v * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

std::vector<uint8_t> compress_lrs(std::span<const uint8_t> input) {
  assert(input.size() <= UINT32_MAX);
  const size_t n = input.size();
  std::vector<uint8_t> out;
  out.reserve(4 + n + n / 8 + 1);
  common::ByteWriter writer(out);
  writer.put_u32(static_cast<uint32_t>(n));

  std::vector<int64_t> head(size_t{1} << kHashBits, -1);
  std::vector<int64_t> prev(kWindowMask + 1, -1);
  const auto insert = [&](size_t pos) {
    if (pos + kMinMatch > n) return;
    const uint32_t h = hash3(input.data() + pos);
    prev[pos & kWindowMask] = head[h];
    head[h] = static_cast<int64_t>(pos);
  };

  size_t flag_at = 0;
  int tokens = 8;
  size_t pos = 0;
  while (pos < n) {
    if (tokens == 8) {
      flag_at = out.size();
      out.push_back(0);
      tokens = 0;
    }

    size_t best_len = 0;
    size_t best_dist = 0;
    if (pos + kMinMatch <= n) {
      const size_t max_len = std::min(kMaxMatch, n - pos);
      int64_t cand = head[hash3(input.data() + pos)];
      for (int chain = 0; chain < kMaxChain && cand >= 0; ++chain) {
        const size_t c = static_cast<size_t>(cand);
        const size_t dist = pos - c;
        if (dist > kMaxDistance) break;
        size_t len = 0;
        while (len < max_len && input[c + len] == input[pos + len]) ++len;
        if (len > best_len) {
          best_len = len;
          best_dist = dist;
          if (len == max_len) break;
        }
        const int64_t next = prev[c & kWindowMask];
        if (next >= cand) break;  // slot reused by a newer position
        cand = next;
      }
    }

    if (best_len >= kMinMatch) {
      out[flag_at] = static_cast<uint8_t>(out[flag_at] | (0x80u >> tokens));
      out.push_back(static_cast<uint8_t>(best_dist & 0xFF));
      out.push_back(static_cast<uint8_t>(((best_dist >> 8) << 4) | (best_len - 2)));
      for (size_t k = 0; k < best_len; ++k) insert(pos + k);
      pos += best_len;
    } else {
      out.push_back(input[pos]);
      insert(pos);
      ++pos;
    }
    ++tokens;
  }
  return out;
}

}  // namespace dat_testing
