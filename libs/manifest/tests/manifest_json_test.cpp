#include <string>

#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace manifest {
namespace {

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

Manifest small_manifest() {
  Manifest m;
  m.generated_at = "2024-05-01T12:00:00Z";
  m.source = {2072, 982, 1};
  m.boot_pack = {"boot.qra", 4096, kEmptyDigest, {"eor/portal:0x0E000002", "eor/cell:0xA9B4FFFF"}};
  // Inserted out of order: the text lists the keys ascending.
  m.shards["eor/portal:0x0E000002"] = {kAbcDigest, 3, std::string("shards/") + kAbcDigest + ".bin"};
  m.shards["eor/cell:0xA9B4FFFF"] = {kEmptyDigest, 0, std::string("shards/") + kEmptyDigest + ".bin"};
  return m;
}

constexpr const char* kSmallManifestText = R"({
  "version": 1,
  "generated_at": "2024-05-01T12:00:00Z",
  "source": {
    "portal_dat_iteration": 2072,
    "cell_dat_iteration": 982,
    "local_dat_iteration": 1
  },
  "boot_pack": {
    "url": "boot.qra",
    "size": 4096,
    "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "covers": [
      "eor/portal:0x0E000002",
      "eor/cell:0xA9B4FFFF"
    ]
  },
  "shards": {
    "eor/cell:0xA9B4FFFF": {
      "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
      "size": 0,
      "url": "shards/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855.bin"
    },
    "eor/portal:0x0E000002": {
      "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      "size": 3,
      "url": "shards/ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.bin"
    }
  }
})";

TEST(SerializeManifest, ExactPrettyText) {
  const auto text = serialize_manifest(small_manifest());
  ASSERT_TRUE(text.has_value()) << text.error().to_string();
  EXPECT_EQ(*text, kSmallManifestText);
}

TEST(SerializeManifest, EmptyContainersStayOnTheirKeyLine) {
  const auto text = serialize_manifest(Manifest{});
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, R"({
  "version": 1,
  "generated_at": "",
  "source": {
    "portal_dat_iteration": 0,
    "cell_dat_iteration": 0,
    "local_dat_iteration": 0
  },
  "boot_pack": {
    "url": "",
    "size": 0,
    "sha256": "",
    "covers": []
  },
  "shards": {}
})");
  EXPECT_NE(text->back(), '\n');
}

TEST(SerializeManifest, IntegersAtTheirLimitsArePlainDecimal) {
  Manifest m;
  m.version = 0xFFFFFFFF;
  m.source.local_dat_iteration = 0xFFFFFFFF;
  m.boot_pack.size = UINT64_MAX;
  m.shards["k"] = {"", UINT64_MAX, ""};
  const auto text = serialize_manifest(m);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("\"version\": 4294967295,"), std::string::npos);
  EXPECT_NE(text->find("\"local_dat_iteration\": 4294967295\n"), std::string::npos);
  EXPECT_NE(text->find("\"size\": 18446744073709551615,"), std::string::npos);
  const auto back = parse_manifest(*text);
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  EXPECT_EQ(*back, m);
}

TEST(SerializeManifest, EscapesOnlyWhatJsonRequires) {
  Manifest m;
  m.generated_at = "caf\xC3\xA9 \"q\" back\\slash tab\t nl\n ctl\x01 /";
  const auto text = serialize_manifest(m);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find(R"("generated_at": "café \"q\" back\\slash tab\t nl\n ctl\u0001 /",)"),
            std::string::npos)
      << *text;
  const auto back = parse_manifest(*text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->generated_at, m.generated_at);
}

// Shard members are written in bulk; each of their strings must come out as
// the JSON writer writes it, whichever member holds it.
TEST(SerializeManifest, ShardMemberStringsEscapeLikeEveryOtherString) {
  struct Case {
    std::string raw;
    std::string written;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"q\"uote", R"("q\"uote")"},
      {"back\\slash", R"("back\\slash")"},
      {"tab\tnl\n", R"("tab\tnl\n")"},
      {"ctl\x01\x1F", R"("ctl\u0001\u001f")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"del\x7F", "\"del\x7F\""},
      {"", R"("")"},
  };
  for (const Case& c : cases) {
    Manifest m;
    m.shards[c.raw] = {c.raw, 7, c.raw};
    const auto text = serialize_manifest(m);
    ASSERT_TRUE(text.has_value()) << text.error().to_string();
    const std::string expected = "  \"shards\": {\n    " + c.written + ": {\n      \"sha256\": " + c.written +
                                 ",\n      \"size\": 7,\n      \"url\": " + c.written + "\n    }\n  }\n}";
    EXPECT_TRUE(text->ends_with(expected)) << *text;
    const auto back = parse_manifest(*text);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back, m);
  }
}

TEST(SerializeManifest, InvalidUtf8InAShardKeyOrUrlIsAJsonError) {
  for (int where = 0; where < 2; ++where) {
    Manifest m;
    m.shards["eor/portal:0x00000001"] = {"abc", 1, "shards/abc.bin"};
    if (where == 0) {
      m.shards["eor/portal:\xC3"] = {"abc", 1, "u"};
    } else {
      m.shards["eor/portal:0x00000002"] = {"abc", 1, "shards/\xFF.bin"};
    }
    const auto text = serialize_manifest(m);
    ASSERT_FALSE(text.has_value()) << where;
    EXPECT_EQ(text.error().kind(), ManifestError::Kind::Json);
    EXPECT_NE(text.error().to_string().find("UTF-8"), std::string::npos) << text.error().to_string();
  }
}

TEST(SerializeManifest, InvalidUtf8IsAJsonErrorNotAnException) {
  Manifest m;
  m.shards["eor/portal:0x00000001"] = {"\xFF\xFE", 1, "u"};
  const auto text = serialize_manifest(m);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().kind(), ManifestError::Kind::Json);
  EXPECT_FALSE(text.error().has_position());
  EXPECT_NE(text.error().to_string().find("UTF-8"), std::string::npos) << text.error().to_string();
}

TEST(ParseManifest, ReadsBackWhatWasWritten) {
  const auto back = parse_manifest(kSmallManifestText);
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  EXPECT_EQ(*back, small_manifest());
  const auto empty = parse_manifest(*serialize_manifest(Manifest{}));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(*empty, Manifest{});
}

TEST(ParseManifest, IgnoresUnknownMembersAtEveryLevel) {
  const auto back = parse_manifest(R"({"x":{"y":[1,{"z":null}]},"version":1,"generated_at":"t",
    "source":{"portal_dat_iteration":1,"cell_dat_iteration":2,"local_dat_iteration":3,"extra":true},
    "boot_pack":{"url":"boot.qra","size":9,"sha256":"s","covers":["a:0x1"],"extra":"e"},
    "shards":{"a:0x1":{"sha256":"h","size":4,"url":"u","mime":"x"}},"trailing":-1.5})");
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  Manifest expected;
  expected.generated_at = "t";
  expected.source = {1, 2, 3};
  expected.boot_pack = {"boot.qra", 9, "s", {"a:0x1"}};
  expected.shards["a:0x1"] = {"h", 4, "u"};
  EXPECT_EQ(*back, expected);
}

// Positions name the last byte read: a closing brace for a missing member, the
// repeated key's closing quote for a duplicate, a scalar's last byte or a
// container's opening bracket for a type error.
TEST(ParseManifest, RejectsWithPositionedMessages) {
  const std::string head = R"({"version":1,"generated_at":"t",)"
                           R"("source":{"portal_dat_iteration":1,"cell_dat_iteration":2,"local_dat_iteration":3},)";
  const std::string boot = R"("boot_pack":{"url":"b","size":1,"sha256":"s","covers":[]},)";
  const struct {
    std::string json;
    std::string message;
  } cases[] = {
      {"{}", "missing field `version` at line 1 column 2"},
      {head + boot + "\"x\":0}", "missing field `shards` at line 1 column 179"},
      {head + R"("boot_pack":{"url":"b","size":1,"sha256":"s"},"shards":{}})",
       "missing field `covers` at line 1 column 160"},
      {head + boot + R"("shards":{"k":{"sha256":"h","size":1,"url":"u"},"k":{}}})",
       "duplicate shard key `k` at line 1 column 224"},
      {head + boot + R"("shards":{"k":{"sha256":"h","size":1}}})",
       "missing field `url` at line 1 column 210"},
      {head + boot + R"("shards":[]})", "invalid type: sequence, expected a map at line 1 column 183"},
      {head + boot + R"("shards":{"k":7}})", "invalid type: integer `7`, expected struct ShardEntry at line 1 column 188"},
      {head + R"("boot_pack":"b","shards":{}})", "invalid type: string \"b\", expected struct BootPack at line 1 column 130"},
      {head + R"("boot_pack":{"url":"b","size":1,"sha256":"s","covers":[1]},"shards":{}})",
       "invalid type: integer `1`, expected a string at line 1 column 171"},
      {R"({"version":1,"version":1})", "duplicate field `version` at line 1 column 22"},
      {R"({"version":true})", "invalid type: boolean `true`, expected u32 at line 1 column 15"},
      {"[]", "invalid type: sequence, expected struct Manifest at line 1 column 1"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_manifest(c.json);
    ASSERT_FALSE(parsed.has_value()) << c.json;
    EXPECT_EQ(parsed.error().kind(), ManifestError::Kind::Json);
    EXPECT_EQ(parsed.error().to_string(), c.message) << c.json;
  }
}

}  // namespace
}  // namespace manifest
