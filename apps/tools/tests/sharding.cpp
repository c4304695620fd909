// End-to-end checks of both output layouts over the seven-record fixture
// archive: every test builds the fixture in its own temporary directory,
// shards it into "dist" and inspects what was written.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "common/io.h"
#include "dat/archive.h"
#include "dat_shard.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"
#include "tools_testing.h"

namespace {

namespace fs = std::filesystem;
using tools_testing::build_fixture_qra;
using tools_testing::TempDir;

constexpr uint32_t kCharGen = 0x0E000002;
constexpr uint32_t kModelA = 0x01000827;
constexpr uint32_t kModelACopy = 0x01000828;
constexpr uint32_t kSpawnTerrain = 0xA9B4FFFF;
constexpr uint32_t kSpawnInfo = 0xA9B4FFFE;
constexpr uint32_t kNeighbourTerrain = 0xA8B3FFFF;
constexpr uint32_t kFarTerrain = 0x0000FFFF;

std::string portal_key(uint32_t id) { return manifest::format_shard_key("eor/portal", id); }
std::string cell_key(uint32_t id) { return manifest::format_shard_key("eor/cell", id); }

struct FlatFixture {
  TempDir dir;
  manifest::Manifest manifest;
};

void shard_fixture(std::optional<FlatFixture>& out) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value()) << "tempdir: " << dir.error().debug_string();
  const fs::path fixture = dir->path() / "fixture.qra";
  ASSERT_NO_FATAL_FAILURE(build_fixture_qra(fixture));

  tools::DatShardOptions options;
  options.out_dir = dir->path() / "dist";
  options.input = fixture;
  options.spawn_landblock = 0xA9B4;
  options.manifest_version = 1;
  auto result = tools::shard_bundle(options);
  ASSERT_TRUE(result.has_value()) << "shard_bundle: " << result.error().debug_string();
  out.emplace(FlatFixture{std::move(*dir), std::move(*result)});
}

struct V2Fixture {
  fs::path out_dir;
  TempDir dir;
  tools::ShardSummaryV2 summary;
};

void v2_shard_fixture(std::optional<V2Fixture>& out) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value()) << "tempdir: " << dir.error().debug_string();
  const fs::path fixture = dir->path() / "fixture.qra";
  ASSERT_NO_FATAL_FAILURE(build_fixture_qra(fixture));

  const fs::path out_dir = dir->path() / "dist";
  tools::DatShardOptions options;
  options.out_dir = out_dir;
  options.input = fixture;
  options.spawn_landblock = 0xA9B4;
  options.manifest_version = 2;
  auto result = tools::shard_bundle_v2(options);
  ASSERT_TRUE(result.has_value()) << "shard_bundle_v2: " << result.error().debug_string();
  out.emplace(V2Fixture{out_dir, std::move(*dir), std::move(*result)});
}

fs::path catalog_path(const fs::path& out_dir, const std::string& ns) {
  return out_dir / "manifest" / (manifest::namespace_slug(ns) + ".bin");
}

// Reads and decodes the catalog of `ns`; fatal failure with the test's messages.
void load_catalog(const fs::path& out_dir, const std::string& ns, std::optional<manifest::NamespaceCatalog>& out) {
  auto bytes = tools_testing::read_file(catalog_path(out_dir, ns));
  ASSERT_TRUE(bytes.has_value()) << "read catalog: " << common::os_error_text(bytes.error());
  auto catalog = manifest::NamespaceCatalog::read_from(*bytes, ns);
  ASSERT_TRUE(catalog.has_value()) << "parse catalog: " << catalog.error().debug_string();
  out.emplace(std::move(*catalog));
}

// ---- flat layout ----

TEST(sharding, manifest_lists_every_record_in_source) {
  std::optional<FlatFixture> fx;
  ASSERT_NO_FATAL_FAILURE(shard_fixture(fx));

  const std::set<std::string> expected = {portal_key(kCharGen),       portal_key(kModelA),
                                          portal_key(kModelACopy),    cell_key(kSpawnTerrain),
                                          cell_key(kSpawnInfo),       cell_key(kNeighbourTerrain),
                                          cell_key(kFarTerrain)};
  std::set<std::string> actual;
  for (const auto& [key, entry] : fx->manifest.shards) actual.insert(key);
  EXPECT_EQ(actual, expected) << "shard set must mirror source QRA records";
}

TEST(sharding, boot_pack_covers_spawn_landblock_and_essentials) {
  std::optional<FlatFixture> fx;
  ASSERT_NO_FATAL_FAILURE(shard_fixture(fx));

  const auto& covers = fx->manifest.boot_pack.covers;
  const std::set<std::string> set(covers.begin(), covers.end());
  ASSERT_TRUE(set.contains(portal_key(kCharGen))) << "boot pack must include CharGen catalog table";
  ASSERT_TRUE(set.contains(cell_key(kSpawnTerrain))) << "boot pack must include spawn landblock terrain";
  ASSERT_TRUE(set.contains(cell_key(kSpawnInfo))) << "boot pack must include spawn LandblockInfo";
  ASSERT_TRUE(set.contains(cell_key(kNeighbourTerrain))) << "boot pack must include adjacent landblock terrain";
  ASSERT_FALSE(set.contains(cell_key(kFarTerrain))) << "boot pack must NOT include far-away landblock";
  ASSERT_FALSE(set.contains(portal_key(kModelA)))
      << "boot pack must NOT include arbitrary models in the obj-3 minimum-viable policy";
}

TEST(sharding, duplicate_records_collapse_to_one_shard_url) {
  std::optional<FlatFixture> fx;
  ASSERT_NO_FATAL_FAILURE(shard_fixture(fx));
  const auto& shards = fx->manifest.shards;

  const auto a = shards.find(portal_key(kModelA));
  ASSERT_NE(a, shards.end()) << "0x01000827 in manifest";
  const auto b = shards.find(portal_key(kModelACopy));
  ASSERT_NE(b, shards.end()) << "0x01000828 in manifest";
  ASSERT_EQ(a->second.sha256, b->second.sha256) << "duplicate-byte records must share a sha256";
  ASSERT_EQ(a->second.url, b->second.url) << "duplicate-byte records must share a shard URL";

  std::set<std::string> urls;
  std::set<std::string> hashes;
  for (const auto& [key, entry] : shards) {
    urls.insert(entry.url);
    hashes.insert(entry.sha256);
  }
  ASSERT_EQ(urls.size(), hashes.size()) << "URL set and hash set must be one-to-one";
  ASSERT_EQ(urls.size(), 6u);
}

TEST(sharding, boot_qra_round_trips_via_qrareader) {
  std::optional<FlatFixture> fx;
  ASSERT_NO_FATAL_FAILURE(shard_fixture(fx));

  auto reader = dat::QraReader::open(fx->dir.path() / "dist" / "boot.qra");
  ASSERT_TRUE(reader.has_value()) << "open boot.qra: " << reader.error().debug_string();
  for (const std::string& cover : fx->manifest.boot_pack.covers) {
    auto key = manifest::parse_shard_key(cover);
    ASSERT_TRUE(key.has_value()) << "parse cover key: " << key.error().debug_string();
    auto body = reader->get_file_in_namespace(key->ns, key->file_id);
    ASSERT_TRUE(body.has_value()) << "boot.qra missing " << cover << ": " << body.error().to_string();
    ASSERT_FALSE(body->empty()) << "boot.qra record " << cover << " has zero bytes";
  }
}

// ---- catalog layout ----

TEST(sharding, v2_top_level_manifest_under_5kb) {
  std::optional<V2Fixture> fx;
  ASSERT_NO_FATAL_FAILURE(v2_shard_fixture(fx));

  auto bytes = tools_testing::read_file(fx->out_dir / "manifest.json");
  ASSERT_TRUE(bytes.has_value()) << "read v2 manifest: " << common::os_error_text(bytes.error());
  ASSERT_LT(bytes->size(), 5120u) << "top-level v2 manifest must be <5 KB; got " << bytes->size() << " bytes";
  auto parsed = manifest::parse_manifest_v2(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  ASSERT_TRUE(parsed.has_value()) << "parse v2 manifest.json: " << parsed.error().debug_string();
  EXPECT_EQ(parsed->version, 2u);
  EXPECT_EQ(parsed->catalog_version, 1u);
  EXPECT_TRUE(parsed->catalog_url_template.has_value()) << "default emission carries a catalog template";
}

TEST(sharding, v2_per_namespace_catalogs_exist_for_every_namespace) {
  std::optional<V2Fixture> fx;
  ASSERT_NO_FATAL_FAILURE(v2_shard_fixture(fx));
  const auto& namespaces = fx->summary.manifest.namespaces;

  const std::set<std::string> listed(namespaces.begin(), namespaces.end());
  const std::set<std::string> expected = {"eor/portal", "eor/cell"};
  ASSERT_EQ(listed, expected) << "manifest must list every fixture namespace";
  for (const std::string& ns : namespaces) {
    const fs::path path = catalog_path(fx->out_dir, ns);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0)
        << "catalog " << common::debug_quoted(path.string()) << " missing for namespace " << ns;
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    ASSERT_FALSE(ec) << "stat catalog: " << ec.message();
    ASSERT_GE(size, 42u) << "catalog " << ns << " has trivial size " << size;
  }
}

TEST(sharding, v2_catalogs_round_trip_via_read_from) {
  std::optional<V2Fixture> fx;
  ASSERT_NO_FATAL_FAILURE(v2_shard_fixture(fx));

  for (const std::string& ns : fx->summary.manifest.namespaces) {
    auto bytes = tools_testing::read_file(catalog_path(fx->out_dir, ns));
    ASSERT_TRUE(bytes.has_value()) << "read catalog: " << common::os_error_text(bytes.error());
    auto catalog = manifest::NamespaceCatalog::read_from(*bytes, std::string(ns));
    ASSERT_TRUE(catalog.has_value()) << "read " << ns << " catalog: " << catalog.error().to_string();
    EXPECT_EQ(catalog->ns(), ns);
    const auto& entries = catalog->entries();
    ASSERT_FALSE(entries.empty()) << "catalog " << ns << " has no entries";
    for (size_t i = 1; i < entries.size(); ++i) {
      ASSERT_GE(entries[i].file_id, entries[i - 1].file_id)
          << "catalog " << ns << " not sorted: " << entries[i - 1].file_id << " > " << entries[i].file_id;
    }
  }
}

TEST(sharding, v2_convention_symlinks_point_at_sha256_keyed_shards) {
  std::optional<V2Fixture> fx;
  ASSERT_NO_FATAL_FAILURE(v2_shard_fixture(fx));

  for (const std::string& ns : fx->summary.manifest.namespaces) {
    std::optional<manifest::NamespaceCatalog> catalog;
    ASSERT_NO_FATAL_FAILURE(load_catalog(fx->out_dir, ns, catalog));
    for (const manifest::CatalogEntry& entry : catalog->entries()) {
      const fs::path link = fx->out_dir / "shards" / manifest::namespace_slug(ns) /
                            fmt::format("0x{:08X}.bin", entry.file_id);
      const std::string link_text = common::debug_quoted(link.string());
      struct stat st {};
      ASSERT_EQ(::stat(link.c_str(), &st), 0) << "convention symlink missing: " << link_text;
      auto content = tools_testing::read_file(link);
      ASSERT_TRUE(content.has_value()) << "read " << link_text << ": " << common::os_error_text(content.error());
      const std::string h = manifest::sha256_hex(*content).substr(0, 32);
      ASSERT_EQ(h, manifest::hex_lower(entry.sha256_prefix))
          << "convention symlink for " << ns << fmt::format(":0x{:08X}", entry.file_id) << " pointed at wrong content";
      const fs::path canonical = fx->out_dir / "shards" / h.substr(0, 2) / (h + ".bin");
      ASSERT_EQ(::stat(canonical.c_str(), &st), 0)
          << "canonical shard missing: " << common::debug_quoted(canonical.string());
    }
  }
}

TEST(sharding, v2_every_source_record_reachable_via_manifest) {
  std::optional<V2Fixture> fx;
  ASSERT_NO_FATAL_FAILURE(v2_shard_fixture(fx));

  using Key = std::pair<std::string, uint32_t>;
  const std::set<Key> expected = {{"eor/portal", kCharGen},     {"eor/portal", kModelA},
                                  {"eor/portal", kModelACopy},  {"eor/cell", kSpawnTerrain},
                                  {"eor/cell", kSpawnInfo},     {"eor/cell", kNeighbourTerrain},
                                  {"eor/cell", kFarTerrain}};
  std::set<Key> reached;
  {
    auto reader = dat::QraReader::open(fx->out_dir / "boot.qra");
    ASSERT_TRUE(reader.has_value()) << "open boot.qra: " << reader.error().debug_string();
    for (uint32_t i = 0; i < reader->header().entry_count; ++i) {
      auto entry = reader->read_entry_at(i);
      ASSERT_TRUE(entry.has_value()) << "QRA entry: " << entry.error().debug_string();
      auto ns = entry->namespace_id();
      ASSERT_TRUE(ns.has_value()) << "decode namespace: " << ns.error().debug_string();
      reached.emplace(std::string(ns->as_str()), entry->file_id);
    }
  }
  for (const std::string& ns : fx->summary.manifest.namespaces) {
    std::optional<manifest::NamespaceCatalog> catalog;
    ASSERT_NO_FATAL_FAILURE(load_catalog(fx->out_dir, ns, catalog));
    for (const manifest::CatalogEntry& entry : catalog->entries()) reached.emplace(ns, entry.file_id);
  }
  ASSERT_EQ(reached, expected) << "v2 manifest path must reach every source record";
  EXPECT_EQ(fx->summary.record_count, expected.size());
  EXPECT_EQ(fx->summary.shard_count, 6u);
}

}  // namespace
