#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dat/utils.h"
#include "dat_testing/lrs_compress.h"

namespace dat {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct DecodeCase {
  const char* name;
  Bytes input;
  Bytes expected;
};

TEST(DecompressLrs, DecodesHandWrittenStreams) {
  const std::vector<DecodeCase> cases = {
      {"five literals", {0x05, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65}, text("abcde")},
      {"back-reference repeats the last two bytes", {0x06, 0, 0, 0, 0x20, 0x61, 0x62, 0x02, 0x02}, text("ababab")},
      {"back-reference cut at the declared length", {0x04, 0, 0, 0, 0x20, 0x61, 0x62, 0x02, 0x02}, text("abab")},
      {"literal cut at the declared length", {0x02, 0, 0, 0, 0x00, 0x61, 0x62, 0x63}, text("ab")},
      {"stream ends before the declared length", {0x08, 0, 0, 0, 0x00, 0x61, 0x62, 0x63}, text("abc")},
      {"distance 0 ends decoding", {0x09, 0, 0, 0, 0x20, 0x61, 0x62, 0x00, 0x03, 0x63}, text("ab")},
      {"distance 1 length 17 repeats one byte", {0x12, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F}, Bytes(18, 0x61)},
      {"distance past the output copies the first byte", {0x06, 0, 0, 0, 0x20, 0x61, 0x62, 0x05, 0x00}, text("abaa")},
      {"back-reference missing its second byte", {0x05, 0, 0, 0, 0x40, 0x61, 0x01}, text("a")},
      {"back-reference before any output", {0x05, 0, 0, 0, 0x80, 0x01, 0x00, 0x61}, {}},
      {"declared length 0", {0x00, 0, 0, 0, 0x00, 0x61}, {}},
      {"length prefix without a stream", {0x05, 0, 0, 0}, {}},
      {"empty input", {}, {}},
      {"one byte comes back unchanged", {0x07}, {0x07}},
      {"two bytes come back unchanged", {0x07, 0x80}, {0x07, 0x80}},
      {"three bytes come back unchanged", {0xFF, 0x00, 0x80}, {0xFF, 0x00, 0x80}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decompress_lrs(c.input), c.expected) << c.name;
  }
}

TEST(DecompressLrs, SecondFlagByteAnnouncesMissingLiteral) {
  // Eight literals, then a flag byte that is the last input byte and
  // announces a literal that is not there.
  Bytes input = {0x20, 0, 0, 0, 0x00};
  for (uint8_t b = 0; b < 8; ++b) input.push_back(static_cast<uint8_t>('a' + b));
  input.push_back(0x00);
  EXPECT_EQ(decompress_lrs(input), text("abcdefgh"));
}

TEST(DecompressLrs, FlagBitsRunMostSignificantFirstAcrossGroups) {
  // Group 1: 7 literals then a back-reference (bit 0x01); group 2: a
  // back-reference first (bit 0x80) and a literal.
  Bytes input = {0x14, 0, 0, 0, 0x01};
  for (uint8_t b = 0; b < 7; ++b) input.push_back(static_cast<uint8_t>('a' + b));
  input.insert(input.end(), {0x07, 0x01});  // distance 7, length 3: "abc"
  input.insert(input.end(), {0x80, 0x03, 0x07, 0x7A});  // distance 3, length 9; literal 'z'
  EXPECT_EQ(decompress_lrs(input), text("abcdefgabcabcabcabcz"));
}

TEST(DecompressLrs, DistanceHighNibbleCountsInUnitsOf256) {
  // 300 literals, then a back-reference of distance 300 (0x12C) and length 5.
  Bytes plain;
  for (int i = 0; i < 300; ++i) plain.push_back(static_cast<uint8_t>(i * 7 + 3));
  Bytes input = {0x31, 0x01, 0, 0};  // 305
  for (size_t i = 0; i < plain.size(); ++i) {
    if (i % 8 == 0) input.push_back(0x00);
    input.push_back(plain[i]);
  }
  // 300 literals fill 37 full groups and 4 tokens of the 38th; the reference
  // is its fifth token.
  input[input.size() - 5] = 0x08;
  input.insert(input.end(), {0x2C, 0x13});
  Bytes expected = plain;
  expected.insert(expected.end(), plain.begin(), plain.begin() + 5);
  EXPECT_EQ(decompress_lrs(input), expected);
}

TEST(DecompressLrs, HugeDeclaredLengthAllocatesOnlyWhatTheStreamCanProduce) {
  const Bytes input = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x61, 0x01, 0x0F};
  const Bytes out = decompress_lrs(input);
  EXPECT_EQ(out, Bytes(18, 0x61));
  EXPECT_LE(out.capacity(), 17u * 4u);
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

TEST(CompressLrs, RoundTripsThroughTheDecoder) {
  std::mt19937 rng(20240611);
  std::vector<std::pair<std::string, Bytes>> inputs;
  inputs.emplace_back("empty", Bytes{});
  inputs.emplace_back("one byte", Bytes{0x42});
  inputs.emplace_back("two equal bytes", Bytes{0, 0});
  inputs.emplace_back("three equal bytes", Bytes{9, 9, 9});
  for (size_t n : {7u, 8u, 9u, 17u, 18u, 4095u, 4096u, 4097u, 100000u}) {
    inputs.emplace_back("random " + std::to_string(n), random_bytes(rng, n));
  }
  inputs.emplace_back("zeros", Bytes(100000, 0));
  Bytes abc;
  while (abc.size() < 50000) abc.insert(abc.end(), {'a', 'b', 'c'});
  inputs.emplace_back("abc repeated", abc);
  // A random block repeated exactly at the window's edge and one past it:
  // distances of 4095 are encodable, 4096 is not.
  for (size_t period : {4094u, 4095u, 4096u, 4097u}) {
    Bytes block = random_bytes(rng, period);
    Bytes twice = block;
    twice.insert(twice.end(), block.begin(), block.end());
    twice.insert(twice.end(), block.begin(), block.begin() + 100);
    inputs.emplace_back("period " + std::to_string(period), twice);
  }
  // Text-like data with runs and noise mixed.
  Bytes mixed;
  std::uniform_int_distribution<int> kind(0, 3);
  while (mixed.size() < 200000) {
    const Bytes noise = random_bytes(rng, 50);
    switch (kind(rng)) {
      case 0: mixed.insert(mixed.end(), noise.begin(), noise.end()); break;
      case 1: mixed.insert(mixed.end(), 40, noise[0]); break;
      default: {
        const size_t back = std::min<size_t>(mixed.size(), 5000);
        const size_t from = mixed.size() - back;
        for (size_t i = 0; i < 60 && back > 0; ++i) mixed.push_back(mixed[from + (i % back)]);
        if (back == 0) mixed.insert(mixed.end(), noise.begin(), noise.end());
      }
    }
  }
  inputs.emplace_back("mixed", mixed);

  for (const auto& [name, plain] : inputs) {
    const Bytes packed = dat_testing::compress_lrs(plain);
    ASSERT_GE(packed.size(), 4u) << name;
    const uint32_t declared = static_cast<uint32_t>(packed[0]) | (static_cast<uint32_t>(packed[1]) << 8) |
                              (static_cast<uint32_t>(packed[2]) << 16) | (static_cast<uint32_t>(packed[3]) << 24);
    EXPECT_EQ(declared, plain.size()) << name;
    EXPECT_EQ(decompress_lrs(packed), plain) << name;
  }
}

TEST(CompressLrs, ShrinksRepetitiveData) {
  const Bytes zeros(100000, 0);
  // Each two-byte reference of length 17 plus its flag bit: about 8x.
  EXPECT_LT(dat_testing::compress_lrs(zeros).size(), zeros.size() / 7);
  std::mt19937 rng(7);
  const Bytes noise = random_bytes(rng, 10000);
  // Incompressible data grows by one flag byte per eight literals at most.
  EXPECT_LE(dat_testing::compress_lrs(noise).size(), 4 + noise.size() + (noise.size() + 7) / 8);
}

TEST(CompressLrs, EncodesTheExampleStreamsCanonically) {
  EXPECT_EQ(dat_testing::compress_lrs(text("abcde")), (Bytes{0x05, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65}));
  // "abcabcabc": three literals, then one reference of distance 3, length 6.
  EXPECT_EQ(dat_testing::compress_lrs(text("abcabcabc")), (Bytes{0x09, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x04}));
  EXPECT_EQ(dat_testing::compress_lrs({}), (Bytes{0, 0, 0, 0}));
}

}  // namespace
}  // namespace dat
