#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace manifest {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, KnownVectors) {
  const struct {
    std::string input;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sha256_hex(bytes_of(c.input)), c.hex) << "input length " << c.input.size();
    EXPECT_EQ(hex_lower(sha256_digest(bytes_of(c.input))), c.hex);
  }
}

TEST(Sha256, DigestBytesAreMostSignificantNibbleFirst) {
  const auto digest = sha256_digest(bytes_of("abc"));
  EXPECT_EQ(digest[0], 0xBA);
  EXPECT_EQ(digest[1], 0x78);
  EXPECT_EQ(digest[31], 0xAD);
}

TEST(HexLower, EncodesEveryByteAsTwoLowercaseDigits) {
  const uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF, 0x5c};
  EXPECT_EQ(hex_lower(bytes), "000fa0ff5c");
  EXPECT_EQ(hex_lower({}), "");
}

TEST(FormatShardKey, EightUppercaseDigitsZeroPadded) {
  const struct {
    std::string_view ns;
    uint32_t id;
    const char* key;
  } cases[] = {
      {"eor/portal", 0x0E000002, "eor/portal:0x0E000002"},
      {"eor/cell", 0xA9B4FFFF, "eor/cell:0xA9B4FFFF"},
      {"eor/local", 0, "eor/local:0x00000000"},
      {"eor/local", 0xFFFFFFFF, "eor/local:0xFFFFFFFF"},
      {"", 0xabc, ":0x00000ABC"},
      {"a:b", 1, "a:b:0x00000001"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_shard_key(c.ns, c.id), c.key);
}

TEST(ParseShardKey, AcceptsAndRejects) {
  struct Case {
    std::string key;
    bool ok;
    std::string ns;
    uint32_t id;
  };
  const Case cases[] = {
      {"eor/portal:0x0E000002", true, "eor/portal", 0x0E000002},
      {"eor/cell:0xA9B4FFFF", true, "eor/cell", 0xA9B4FFFF},
      {"ns:0X1f", true, "ns", 31},
      {"ns:0x1f", true, "ns", 31},
      {"ns:0x+1F", true, "ns", 31},
      {"ns:0x1", true, "ns", 1},
      {"ns:0x00FFFFFFFF", true, "ns", 0xFFFFFFFF},  // ten digits, two leading zeros
      {"ns:0x0000000000000000001", true, "ns", 1},
      {"ns:0xffffffff", true, "ns", 0xFFFFFFFF},
      {"a:b:0x10", true, "a:b", 16},
      {":0x1", true, "", 1},
      {"ns:0x", false, "", 0},
      {"ns:0X", false, "", 0},
      {"ns:0x+", false, "", 0},
      {"ns:0x++1", false, "", 0},
      {"ns:0x-1", false, "", 0},
      {"ns:0x100000000", false, "", 0},
      {"ns:0x1FFFFFFFFFFFFFFFF", false, "", 0},  // would wrap a 64-bit accumulator
      {"ns:0xG1", false, "", 0},
      {"ns:0x1G", false, "", 0},
      {"ns:0x 1", false, "", 0},
      {"ns:0x1 ", false, "", 0},
      {"ns:1F", false, "", 0},
      {"ns:x1F", false, "", 0},
      {"ns:", false, "", 0},
      {"ns0x1F", false, "", 0},  // no colon at all
      {"", false, "", 0},
      {"a:0x1:b", false, "", 0},  // the last colon decides; no earlier one is tried
  };
  for (const Case& c : cases) {
    const auto parsed = parse_shard_key(c.key);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.key;
    if (c.ok) {
      EXPECT_EQ(*parsed, (ShardKey{c.ns, c.id})) << c.key;
    } else {
      EXPECT_EQ(parsed.error().kind(), ManifestError::Kind::InvalidShardKey) << c.key;
      EXPECT_EQ(parsed.error().text(), c.key) << "the whole key is carried unchanged";
    }
  }
}

TEST(ParseShardKey, InvertsFormat) {
  const std::string namespaces[] = {"eor/portal", "eor/cell", "", "a:b", ":", "x:0x1", "caf\xC3\xA9"};
  const uint32_t ids[] = {0, 1, 0x0E000002, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  for (const auto& ns : namespaces) {
    for (uint32_t id : ids) {
      const auto parsed = parse_shard_key(format_shard_key(ns, id));
      ASSERT_TRUE(parsed.has_value()) << ns << " " << id;
      EXPECT_EQ(*parsed, (ShardKey{ns, id}));
    }
  }
}

TEST(ShardKeyOrder, ByteWiseOrderGroupsByNamespaceThenId) {
  std::vector<std::string> keys = {
      format_shard_key("eor/portal", 0x0E000002), format_shard_key("eor/local", 0xFFFFFFFF),
      format_shard_key("eor/cell", 0xA9B4FFFE),   format_shard_key("eor/portal", 0x01000001),
      format_shard_key("eor/cell", 0x0000FFFF),   format_shard_key("eor/local", 0),
  };
  std::sort(keys.begin(), keys.end());
  const std::vector<std::string> expected = {
      "eor/cell:0x0000FFFF", "eor/cell:0xA9B4FFFE",   "eor/local:0x00000000",
      "eor/local:0xFFFFFFFF", "eor/portal:0x01000001", "eor/portal:0x0E000002",
  };
  EXPECT_EQ(keys, expected);
}

TEST(ManifestError, TextAndDebugForms) {
  const struct {
    ManifestError error;
    const char* text;
    const char* debug;
  } cases[] = {
      {ManifestError::unsupported_version(3), "unsupported manifest version 3", "UnsupportedVersion(3)"},
      {ManifestError::invalid_shard_key("abc"), "invalid shard key \"abc\"", "InvalidShardKey(\"abc\")"},
      {ManifestError::invalid_shard_key("a\"b"), "invalid shard key \"a\\\"b\"",
       "InvalidShardKey(\"a\\\"b\")"},
      {ManifestError::json_at("missing field `x`", 1, 2), "missing field `x` at line 1 column 2",
       "Json(Error(\"missing field `x`\", line: 1, column: 2))"},
      {ManifestError::json("invalid UTF-8 byte"), "invalid UTF-8 byte",
       "Json(Error(\"invalid UTF-8 byte\", line: 0, column: 0))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.text);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
  EXPECT_EQ(ManifestError::unsupported_version(3).version(), 3u);
  EXPECT_EQ(ManifestError::json_at("m", 4, 5).kind(), ManifestError::Kind::Json);
}

}  // namespace
}  // namespace manifest
