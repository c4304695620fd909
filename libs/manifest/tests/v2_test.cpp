#include <string>

#include <gtest/gtest.h>

#include "manifest/v2.h"

namespace manifest {
namespace {

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

ManifestV2 catalog_manifest() {
  ManifestV2 m;
  m.generated_at = "2024-05-01T12:00:00Z";
  m.source = {2072, 982, 0};
  m.boot_pack = {"boot.qra", 4096, kEmptyDigest};
  m.namespaces = {"eor/cell", "eor/portal"};
  m.shard_url_template = "shards/{sha256_prefix2}/{sha256}.bin";
  m.catalog_url_template = "manifest/{namespace_slug}.bin";
  return m;
}

constexpr const char* kCatalogManifestText = R"({
  "version": 2,
  "generated_at": "2024-05-01T12:00:00Z",
  "source": {
    "portal_dat_iteration": 2072,
    "cell_dat_iteration": 982,
    "local_dat_iteration": 0
  },
  "boot_pack": {
    "url": "boot.qra",
    "size": 4096,
    "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
  },
  "catalog_version": 1,
  "namespaces": [
    "eor/cell",
    "eor/portal"
  ],
  "shard_url_template": "shards/{sha256_prefix2}/{sha256}.bin",
  "catalog_url_template": "manifest/{namespace_slug}.bin"
})";

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(SerializeManifestV2, ExactPrettyText) {
  const auto text = serialize_manifest_v2(catalog_manifest());
  ASSERT_TRUE(text.has_value()) << text.error().to_string();
  EXPECT_EQ(*text, kCatalogManifestText);
}

TEST(SerializeManifestV2, AbsentCatalogTemplateIsWrittenAsNull) {
  ManifestV2 m = catalog_manifest();
  m.catalog_url_template.reset();
  m.namespaces.clear();
  const auto text = serialize_manifest_v2(m);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->substr(text->find("  \"catalog_version\"")), R"(  "catalog_version": 1,
  "namespaces": [],
  "shard_url_template": "shards/{sha256_prefix2}/{sha256}.bin",
  "catalog_url_template": null
})");
}

TEST(ParseManifestV2, ReadsBackWhatWasWritten) {
  ManifestV2 with_template = catalog_manifest();
  ManifestV2 without = catalog_manifest();
  without.catalog_url_template.reset();
  ManifestV2 odd = catalog_manifest();
  odd.version = 0xFFFFFFFF;
  odd.boot_pack.size = UINT64_MAX;
  odd.namespaces = {"", "caf\xC3\xA9/\"q\"", "tab\there"};
  odd.catalog_url_template = "";
  for (const ManifestV2& m : {with_template, without, odd, ManifestV2{}}) {
    const auto text = serialize_manifest_v2(m);
    ASSERT_TRUE(text.has_value());
    const auto back = parse_manifest_v2(*text);
    ASSERT_TRUE(back.has_value()) << back.error().to_string() << "\n" << *text;
    EXPECT_EQ(*back, m);
  }
}

TEST(ParseManifestV2, MissingOrNullCatalogTemplateMeansAbsent) {
  const std::string missing =
      replace_once(kCatalogManifestText, ",\n  \"catalog_url_template\": \"manifest/{namespace_slug}.bin\"", "");
  const std::string null = replace_once(kCatalogManifestText, "\"manifest/{namespace_slug}.bin\"", "null");
  for (const std::string& text : {missing, null}) {
    const auto parsed = parse_manifest_v2(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string() << "\n" << text;
    EXPECT_FALSE(parsed->catalog_url_template.has_value());
    ManifestV2 expected = catalog_manifest();
    expected.catalog_url_template.reset();
    EXPECT_EQ(*parsed, expected);
    const auto again = serialize_manifest_v2(*parsed);
    ASSERT_TRUE(again.has_value());
    EXPECT_NE(again->find("\n  \"catalog_url_template\": null\n}"), std::string::npos) << *again;
  }
}

TEST(ParseManifestV2, PositionsInPrettyText) {
  // Without catalog_version: reported at the closing brace on the last line.
  const std::string missing = replace_once(kCatalogManifestText, "  \"catalog_version\": 1,\n", "");
  auto parsed = parse_manifest_v2(missing);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().to_string(), "missing field `catalog_version` at line 20 column 1");
  EXPECT_EQ(parsed.error().text(), "missing field `catalog_version`");
  EXPECT_EQ(parsed.error().line(), 20u);
  EXPECT_EQ(parsed.error().column(), 1u);

  // A wrong type on line 14 points at the value's last byte.
  const std::string wrong = replace_once(kCatalogManifestText, "\"catalog_version\": 1,", "\"catalog_version\": \"one\",");
  parsed = parse_manifest_v2(wrong);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().to_string(), "invalid type: string \"one\", expected u32 at line 14 column 26");

  // A missing member of a nested record: the nested record's closing brace.
  const std::string no_url = replace_once(kCatalogManifestText, "    \"url\": \"boot.qra\",\n", "");
  parsed = parse_manifest_v2(no_url);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().to_string(), "missing field `url` at line 12 column 3");
}

TEST(ParseManifestV2, IgnoresUnknownMembersAtEveryLevel) {
  std::string text = replace_once(kCatalogManifestText, "{\n  \"version\": 2,",
                                  "{\n  \"shards\": {\"eor/cell:0x00000001\": {\"sha256\": \"x\"}},\n"
                                  "  \"shards\": [1, 2.5, null, true],\n  \"version\": 2,");
  text = replace_once(text, "\"local_dat_iteration\": 0", "\"local_dat_iteration\": 0, \"Local\": \"x\"");
  text = replace_once(text, "\"size\": 4096,", "\"size\": 4096, \"covers\": [\"a:0x1\"], \"size_hint\": -1,");
  const auto parsed = parse_manifest_v2(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string() << "\n" << text;
  EXPECT_EQ(*parsed, catalog_manifest());
}

TEST(ParseManifestV2, DeeplyNestedUnknownMemberDoesNotExhaustTheStack) {
  const size_t depth = 200000;
  std::string nested = std::string(depth, '[') + std::string(depth, ']');
  const std::string text = replace_once(kCatalogManifestText, "{\n", "{\n  \"junk\": " + nested + ",\n");
  const auto parsed = parse_manifest_v2(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
  EXPECT_EQ(*parsed, catalog_manifest());
}

TEST(ParseManifestV2, RejectsWithPositionedMessages) {
  const std::string base =
      R"({"version":2,"generated_at":"t","source":{"portal_dat_iteration":1,"cell_dat_iteration":2,)"
      R"("local_dat_iteration":3},"boot_pack":{"url":"b","size":1,"sha256":"s"},"catalog_version":1,)"
      R"("namespaces":["a"],"shard_url_template":"x"})";
  ASSERT_TRUE(parse_manifest_v2(base).has_value());
  const struct {
    const char* from;
    const char* to;
    const char* message;
  } cases[] = {
      {R"("catalog_version":1,)", R"()", "missing field `catalog_version` at line 1 column 205"},
      {R"("version":2,)", R"()", "missing field `version` at line 1 column 213"},
      {R"("version":2)", R"("Version":2)", "missing field `version` at line 1 column 225"},
      {R"("url":"b",)", R"()", "missing field `url` at line 1 column 150"},
      {R"("local_dat_iteration":3)", R"("local_dat_iteration":3,"cell_dat_iteration":2)",
       "duplicate field `cell_dat_iteration` at line 1 column 134"},
      {R"("sha256":"s"})", R"("sha256":"s","size":1})", "duplicate field `size` at line 1 column 166"},
      {R"("shard_url_template":"x")",
       R"("shard_url_template":"x","catalog_url_template":null,"catalog_url_template":"t")",
       "duplicate field `catalog_url_template` at line 1 column 275"},
      {R"("source":{"portal_dat_iteration":1,"cell_dat_iteration":2,"local_dat_iteration":3})",
       R"("source":5)", "invalid type: integer `5`, expected struct SourceMeta at line 1 column 42"},
      {R"("boot_pack":{"url":"b","size":1,"sha256":"s"})", R"("boot_pack":[])",
       "invalid type: sequence, expected struct BootPackV2 at line 1 column 128"},
      {R"("boot_pack":{"url":"b","size":1,"sha256":"s"})", R"("boot_pack":null)",
       "invalid type: null, expected struct BootPackV2 at line 1 column 131"},
      {R"("version":2)", R"("version":-1)", "invalid value: integer `-1`, expected u32 at line 1 column 13"},
      {R"("version":2)", R"("version":4294967296)",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {R"("catalog_version":1)", R"("catalog_version":1.5)",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 182"},
      {R"("size":1)", R"("size":18446744073709551616)",
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 165"},
      {R"("size":1)", R"("size":"1")", "invalid type: string \"1\", expected u64 at line 1 column 148"},
      {R"("namespaces":["a"])", R"("namespaces":["a",1])",
       "invalid type: integer `1`, expected a string at line 1 column 200"},
      {R"("namespaces":["a"])", R"("namespaces":"a")",
       "invalid type: string \"a\", expected a sequence at line 1 column 197"},
      {R"("shard_url_template":"x")", R"("shard_url_template":null)",
       "invalid type: null, expected a string at line 1 column 225"},
      {R"("shard_url_template":"x")", R"("shard_url_template":"x","catalog_url_template":5)",
       "invalid type: integer `5`, expected a string at line 1 column 249"},
      {R"("generated_at":"t")", R"("generated_at":{"a":1})",
       "invalid type: map, expected a string at line 1 column 29"},
  };
  for (const auto& c : cases) {
    const std::string text = replace_once(base, c.from, c.to);
    const auto parsed = parse_manifest_v2(text);
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_EQ(parsed.error().kind(), ManifestError::Kind::Json);
    EXPECT_EQ(parsed.error().to_string(), c.message) << text;
  }
}

TEST(ParseManifestV2, WholeDocumentMustBeAManifestObject) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"[]", "invalid type: sequence, expected struct ManifestV2 at line 1 column 1"},
      {"\n\n  7", "invalid type: integer `7`, expected struct ManifestV2 at line 3 column 3"},
      {"\"m\"", "invalid type: string \"m\", expected struct ManifestV2 at line 1 column 3"},
      {"{}", "missing field `version` at line 1 column 2"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_manifest_v2(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.error().to_string(), c.message);
  }
}

TEST(ParseManifestV2, SyntaxErrorsCarryTheReaderPosition) {
  const struct {
    std::string text;
    uint64_t line;
    uint64_t column;
  } cases[] = {
      {"", 1, 0},
      {"{", 1, 1},
      {"{\"version\":2,}", 1, 14},
      {"{\n  \"version\": 2\n  \"x\": 1\n}", 3, 5},  // after the unexpected token
      {"{} x", 1, 4},
      {"{\"a\":\"\xFF\"}", 1, 7},
      {"{\"a\":1e400}", 1, 10},
      {"{\"a\":01}", 1, 7},
      {"{\"a\"://c\n1}", 1, 6},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_manifest_v2(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    const ManifestError& e = parsed.error();
    EXPECT_EQ(e.kind(), ManifestError::Kind::Json);
    EXPECT_EQ(e.line(), c.line) << c.text << " -> " << e.to_string();
    EXPECT_EQ(e.column(), c.column) << c.text << " -> " << e.to_string();
    EXPECT_FALSE(e.text().empty());
    EXPECT_EQ(e.text().find("[json.exception"), std::string::npos) << e.text();
    const std::string suffix = " at line " + std::to_string(c.line) + " column " + std::to_string(c.column);
    EXPECT_TRUE(e.to_string().ends_with(suffix)) << e.to_string();
  }
}

TEST(ParseManifestV2, SyntaxErrorTextIsTheReaderDescription) {
  const auto parsed = parse_manifest_v2("{\"version\":2,}");
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().to_string(),
            "syntax error while parsing object key - unexpected '}'; expected string literal at line 1 column 14");
}

TEST(ToBootPackV2, DropsCovers) {
  const BootPack pack{"boot.qra", 77, kEmptyDigest, {"eor/portal:0x0E000002"}};
  EXPECT_EQ(to_boot_pack_v2(pack), (BootPackV2{"boot.qra", 77, kEmptyDigest}));
}

TEST(NamespaceSlug, ReplacesEverySlash) {
  const struct {
    std::string label;
    std::string slug;
  } cases[] = {
      {"eor/portal", "eor-portal"},
      {"a/b/c", "a-b-c"},
      {"a-b", "a-b"},
      {"a/b", "a-b"},
      {"plain", "plain"},
      {"", ""},
      {"//", "--"},
      {"caf\xC3\xA9/x y", "caf\xC3\xA9-x y"},
      {std::string("nul\0/", 5), std::string("nul\0-", 5)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(namespace_slug(c.label), c.slug) << c.label;
    EXPECT_EQ(namespace_slug(c.label).size(), c.label.size());
  }
}

TEST(SerializeManifestV2, SizeDependsOnlyOnNamespaces) {
  ManifestV2 m = catalog_manifest();
  m.namespaces = {"eor/cell", "eor/local", "eor/portal"};
  m.source = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  m.boot_pack.size = UINT64_MAX;
  const auto text = serialize_manifest_v2(m);
  ASSERT_TRUE(text.has_value());
  EXPECT_LT(text->size(), 5120u);
}

}  // namespace
}  // namespace manifest
