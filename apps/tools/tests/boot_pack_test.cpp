// The boot pack: neighbourhood, keep set and the boot archive.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dat/archive.h"
#include "dat_shard.h"
#include "dat_testing/asset_encoders.h"
#include "manifest/manifest.h"
#include "tools_testing.h"

namespace {

namespace fs = std::filesystem;
using tools_testing::bytes_of;
using tools_testing::TempDir;

TEST(Neighbourhood, ThreeByThreeWithoutWrapAround) {
  struct Case {
    uint32_t spawn;
    std::vector<uint32_t> cells;
  };
  const Case cases[] = {
      {0xA9B4, {0xA8B3, 0xA8B4, 0xA8B5, 0xA9B3, 0xA9B4, 0xA9B5, 0xAAB3, 0xAAB4, 0xAAB5}},
      {0x0000, {0x0000, 0x0001, 0x0100, 0x0101}},
      {0xFFFF, {0xFEFE, 0xFEFF, 0xFFFE, 0xFFFF}},
      {0x00FF, {0x00FE, 0x00FF, 0x01FE, 0x01FF}},
      {0x8000, {0x7F00, 0x7F01, 0x8000, 0x8001, 0x8100, 0x8101}},          // bottom edge
      {0xFF10, {0xFE0F, 0xFE10, 0xFE11, 0xFF0F, 0xFF10, 0xFF11}},          // right edge
      // Bits above the low 16 are ignored.
      {0x1234A9B4, {0xA8B3, 0xA8B4, 0xA8B5, 0xA9B3, 0xA9B4, 0xA9B5, 0xAAB3, 0xAAB4, 0xAAB5}},
      {0xFFFF0000, {0x0000, 0x0001, 0x0100, 0x0101}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tools::spawn_neighborhood_cells(c.spawn), c.cells) << std::hex << c.spawn;
  }
}

tools::InputBundle bundle_of(std::vector<std::tuple<std::string, uint32_t, std::vector<uint8_t>>> records) {
  tools::InputBundle bundle;
  for (auto& [ns, id, body] : records) bundle.records.insert_or_assign(tools::RecordKey{ns, id}, std::move(body));
  return bundle;
}

TEST(KeepSet, EssentialsAndNeighbourhoodCellsAreKeptWhetherPresentOrNot) {
  const tools::InputBundle empty;
  const tools::KeepSet keep = tools::compute_boot_keep_set(empty, 0x0000);
  tools::KeepSet expected;
  for (uint32_t id : {0x0E000002u, 0x0E000007u, 0x0E000004u, 0x0E00000Eu, 0x0E000018u, 0x4D4F544Bu}) {
    expected.insert({"eor/portal", id});
  }
  for (uint32_t lb : {0x0000u, 0x0001u, 0x0100u, 0x0101u}) {
    expected.insert({"eor/cell", (lb << 16) | 0xFFFF});
    expected.insert({"eor/cell", (lb << 16) | 0xFFFE});
  }
  EXPECT_EQ(keep, expected);
  EXPECT_EQ(tools::compute_boot_keep_set(empty, 0xABCD0000), expected) << "high bits must be ignored";
}

// A landblock whose info places a setup model (two graphics-object parts that
// share a surface) and a building; the models' surfaces, surface textures,
// textures and palettes are in the bundle, plus records nothing refers to.
struct ModelWorld {
  tools::InputBundle bundle;
  std::vector<std::string> expected_covers;
};

ModelWorld build_model_world() {
  constexpr uint32_t kSetup = 0x02000001;
  constexpr uint32_t kPartA = 0x01000001, kPartB = 0x01000002, kBuilding = 0x01000010;
  constexpr uint32_t kSurfaceTex = 0x08000001, kSurfaceColour = 0x08000002, kSurfaceMissing = 0x08000003;
  constexpr uint32_t kSurfTexture = 0x05000001, kTextureFirst = 0x06000001, kTextureLast = 0x06000002;
  constexpr uint32_t kPalette = 0x04000001, kTexturePalette = 0x04000002;

  dat::LandblockInfo info;
  info.id = 0xA9B4FFFE;
  dat::Stab stab;
  stab.id = kSetup;
  info.objects.push_back(stab);
  dat::BuildInfo building;
  building.model_id = kBuilding;
  info.buildings.push_back(building);

  dat::SetupModel setup;
  setup.id = kSetup;
  setup.parts = {kPartA, kPartB};

  dat::Surface textured;
  textured.surface_type = 2;
  textured.texture_refs = dat::TextureRefs{kSurfTexture, kPalette};
  dat::Surface coloured;
  coloured.surface_type = 1;
  coloured.color_value = 0xFF00FF00;

  dat::SurfaceTexture surf_texture;
  surf_texture.id = kSurfTexture;
  surf_texture.textures = {kTextureFirst, kTextureLast};

  dat::Texture texture;
  texture.id = kTextureLast;
  texture.width = 2;
  texture.height = 2;
  texture.format_raw = 41;  // paletted
  texture.source_data = {1, 2, 3, 4};
  texture.default_palette_id = kTexturePalette;

  const std::vector<uint32_t> surfaces_a = {kSurfaceTex};
  const std::vector<uint32_t> surfaces_b = {kSurfaceTex, kSurfaceColour};
  const std::vector<uint32_t> surfaces_building = {kSurfaceMissing};

  ModelWorld world;
  world.bundle = bundle_of({
      {"eor/cell", 0xA9B4FFFE, dat_testing::encode_landblock_info(info)},
      {"eor/cell", 0xA9B4FFFF, bytes_of("terrain")},
      {"eor/cell", 0xA8B3FFFE, bytes_of("not a landblock info")},  // kept, walks nothing
      {"eor/cell", 0xB0B0FFFF, bytes_of("far terrain")},
      {"eor/portal", kSetup, dat_testing::encode_setup_model(setup)},
      {"eor/portal", kPartA, dat_testing::encode_gfx_obj(surfaces_a)},
      {"eor/portal", kPartB, dat_testing::encode_gfx_obj(surfaces_b, 12)},
      {"eor/portal", kBuilding, dat_testing::encode_gfx_obj(surfaces_building)},
      {"eor/portal", kSurfaceTex, dat_testing::encode_surface(textured)},
      {"eor/portal", kSurfaceColour, dat_testing::encode_surface(coloured)},
      {"eor/portal", kSurfTexture, dat_testing::encode_surface_texture(surf_texture)},
      {"eor/portal", kTextureFirst, bytes_of("first texture: never walked")},
      {"eor/portal", kTextureLast, dat_testing::encode_texture(texture)},
      {"eor/portal", kPalette, bytes_of("palette")},
      // kTexturePalette is named but absent: kept, yet nothing to pack.
      {"eor/portal", 0x01000099, dat_testing::encode_gfx_obj(surfaces_a)},  // placed nowhere
      {"eor/portal", 0x0E000002, bytes_of("chargen")},
      {"eor/local", kSetup, bytes_of("same id in another namespace")},
  });
  world.expected_covers = {
      "eor/cell:0xA8B3FFFE",   "eor/cell:0xA9B4FFFE",   "eor/cell:0xA9B4FFFF",   "eor/portal:0x01000001",
      "eor/portal:0x01000002", "eor/portal:0x01000010", "eor/portal:0x02000001", "eor/portal:0x04000001",
      "eor/portal:0x05000001", "eor/portal:0x06000002", "eor/portal:0x08000001", "eor/portal:0x08000002",
      "eor/portal:0x0E000002",
  };
  return world;
}

TEST(BootPack, PlacedModelsAndEverythingTheyDrawWithTravelInBundleOrder) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value());
  const ModelWorld world = build_model_world();

  const tools::KeepSet keep = tools::compute_boot_keep_set(world.bundle, 0xA9B4);
  EXPECT_TRUE(keep.contains({"eor/portal", 0x04000002})) << "the texture's palette is kept though absent";
  EXPECT_TRUE(keep.contains({"eor/portal", 0x08000003})) << "the building's missing surface is kept";
  EXPECT_FALSE(keep.contains({"eor/portal", 0x06000001})) << "only the last texture of a surface texture";
  EXPECT_FALSE(keep.contains({"eor/portal", 0x01000099}));

  auto pack = tools::write_boot_pack(world.bundle, 0xA9B4, dir->path());
  ASSERT_TRUE(pack.has_value()) << pack.error().debug_string();
  EXPECT_EQ(pack->url, "boot.qra");
  EXPECT_EQ(pack->covers, world.expected_covers);

  const fs::path boot = dir->path() / "boot.qra";
  auto file = tools_testing::read_file(boot);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(pack->size, file->size());
  EXPECT_EQ(pack->sha256, manifest::sha256_hex(*file));

  // The archive holds exactly the covered records, with the bundle's bodies.
  auto reader = dat::QraReader::open(boot);
  ASSERT_TRUE(reader.has_value()) << reader.error().debug_string();
  ASSERT_EQ(reader->header().entry_count, world.expected_covers.size());
  std::vector<std::string> stored;
  for (uint32_t i = 0; i < reader->header().entry_count; ++i) {
    auto entry = reader->read_entry_at(i);
    ASSERT_TRUE(entry.has_value());
    auto ns = entry->namespace_id();
    ASSERT_TRUE(ns.has_value());
    stored.push_back(manifest::format_shard_key(ns->as_str(), entry->file_id));
    auto body = reader->get_file_in_namespace(ns->as_str(), entry->file_id);
    ASSERT_TRUE(body.has_value());
    const auto it = world.bundle.records.find(std::pair<std::string_view, uint32_t>(ns->as_str(), entry->file_id));
    ASSERT_NE(it, world.bundle.records.end());
    EXPECT_EQ(*body, it->second) << stored.back();
  }
  EXPECT_EQ(stored, world.expected_covers);
}

TEST(BootPack, NothingKeptStillWritesAValidEmptyArchive) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value());
  const tools::InputBundle bundle = bundle_of({{"eor/portal", 0x01000827, bytes_of("model")},
                                               {"eor/cell", 0x0000FFFF, bytes_of("far")}});
  auto pack = tools::write_boot_pack(bundle, 0xA9B4, dir->path());
  ASSERT_TRUE(pack.has_value()) << pack.error().debug_string();
  EXPECT_TRUE(pack->covers.empty());
  EXPECT_EQ(pack->size, 28u);
  auto file = tools_testing::read_file(dir->path() / "boot.qra");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(pack->sha256, manifest::sha256_hex(*file));
  auto reader = dat::QraReader::open(dir->path() / "boot.qra");
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->header().entry_count, 0u);
}

TEST(BootPack, UnwritableBootPathIsQraWriteWithThePath) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value());
  // A directory where boot.qra should go.
  fs::create_directory(dir->path() / "boot.qra");
  const tools::InputBundle bundle;
  auto pack = tools::write_boot_pack(bundle, 0xA9B4, dir->path());
  ASSERT_FALSE(pack.has_value());
  EXPECT_EQ(pack.error().kind(), tools::ToolError::Kind::QraWrite);
  EXPECT_EQ(pack.error().path(), dir->path() / "boot.qra");
  auto direct = dat::QraStreamWriter::create(dir->path() / "boot.qra");
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(pack.error().text(), direct.error().to_string());
}

}  // namespace
