// The sample data set: what is written reads back through DatDatabase, and
// the set has the structure the demo and benchmarks rely on.
#include <gtest/gtest.h>

#include <set>
#include <unistd.h>

#include "dat/database.h"
#include "dat/file_type/setup_model.h"
#include "dat/file_type/surface.h"
#include "dat/file_type/texture.h"
#include "dat/landblock.h"
#include "dat/walk.h"
#include "dat_testing/asset_encoders.h"
#include "synth.h"

namespace dat_synth {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "synth-test-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(Synth, WrittenFilesReadBackAsGenerated) {
  TempDir tmp;
  const SynthOptions options{1, 7};
  auto summary = write_synth_set(tmp.path(), options);
  ASSERT_TRUE(summary) << summary.error();
  uint64_t records = 0;
  for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local}) {
    const SynthDat expected = generate_dat(kind, options);
    SCOPED_TRACE(expected.file_name);
    auto db = dat::DatDatabase::open(tmp.path() / expected.file_name);
    ASSERT_TRUE(db) << db.error().to_string();
    EXPECT_EQ(db->header().master_map_id, expected.iteration);
    EXPECT_EQ(db->header().block_size, expected.block_size);
    ASSERT_EQ(db->files().size(), expected.records.size());
    for (const auto& [id, record] : expected.records) {
      const auto it = db->files().find(id);
      ASSERT_NE(it, db->files().end()) << std::hex << id;
      EXPECT_EQ(it->second.compressed(), record.compressed) << std::hex << id;
      auto body = db->get_file(id);
      ASSERT_TRUE(body) << body.error().to_string();
      ASSERT_EQ(*body, record.body) << std::hex << id;
    }
    records += expected.records.size();
  }
  EXPECT_EQ(summary->record_count, records);
}

TEST(Synth, GenerationDependsOnlyOnScaleAndSeed) {
  for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local}) {
    const SynthDat a = generate_dat(kind, {1, 5});
    const SynthDat b = generate_dat(kind, {1, 5});
    const SynthDat c = generate_dat(kind, {1, 6});
    ASSERT_EQ(a.records.size(), b.records.size());
    bool all_equal = true;
    bool any_differs_from_c = c.records.size() != a.records.size();
    for (const auto& [id, record] : a.records) {
      all_equal = all_equal && b.records.at(id).body == record.body;
      const auto other = c.records.find(id);
      any_differs_from_c = any_differs_from_c || other == c.records.end() || other->second.body != record.body;
    }
    EXPECT_TRUE(all_equal);
    EXPECT_TRUE(any_differs_from_c);
  }
}

TEST(Synth, ScaleGrowsTheRecordCountRoughlyLinearly) {
  uint64_t one = 0;
  uint64_t four = 0;
  for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local}) {
    one += generate_dat(kind, {1, 1}).records.size();
    four += generate_dat(kind, {4, 1}).records.size();
  }
  EXPECT_GT(one, 1500u);
  EXPECT_LT(one, 5000u);
  EXPECT_GT(four, one * 35 / 10);
  EXPECT_LT(four, one * 45 / 10);
}

TEST(Synth, ScaleOutOfRangeIsRefused) {
  TempDir tmp;
  EXPECT_FALSE(write_synth_set(tmp.path() / "zero", {0, 1}));
  EXPECT_FALSE(write_synth_set(tmp.path() / "big", {kMaxScale + 1, 1}));
  EXPECT_FALSE(fs::exists(tmp.path() / "zero"));
}

TEST(Synth, PortalRecordsDecodeAndReferenceRecordsOfTheSet) {
  const SynthDat portal = generate_dat(DatKind::Portal, {1, 1});
  const auto has = [&](uint32_t id) { return portal.records.contains(id); };
  for (uint32_t id : {0x0E000002u, 0x0E000007u, 0x0E000004u, 0x0E00000Eu, 0x0E000018u, 0x4D4F544Bu}) {
    EXPECT_TRUE(has(id)) << std::hex << id;
  }
  std::set<uint32_t> formats;
  std::set<bool> surface_forms;
  size_t nested_setups = 0;
  for (const auto& [id, record] : portal.records) {
    const uint32_t type = id >> 24;
    if (type == 0x06) {
      auto t = dat::Texture::unpack(record.body);
      ASSERT_TRUE(t) << std::hex << id;
      formats.insert(t->format_raw);
      if (t->default_palette_id) {
        EXPECT_TRUE(has(*t->default_palette_id)) << std::hex << id;
      }
    } else if (type == 0x08) {
      auto s = dat::Surface::unpack(record.body);
      ASSERT_TRUE(s) << std::hex << id;
      surface_forms.insert(s->texture_refs.has_value());
      if (s->texture_refs) {
        EXPECT_TRUE(has(s->texture_refs->orig_texture_id));
        if (s->texture_refs->orig_palette_id != 0) {
          EXPECT_TRUE(has(s->texture_refs->orig_palette_id));
        }
      }
    } else if (type == 0x01) {
      auto surfaces = dat::read_gfx_obj_surfaces(record.body);
      ASSERT_TRUE(surfaces) << std::hex << id;
      EXPECT_FALSE(surfaces->empty());
      for (uint32_t s : *surfaces) EXPECT_TRUE(has(s)) << std::hex << s;
    } else if (type == 0x02) {
      common::ByteCursor cursor(record.body);
      auto m = dat::SetupModel::unpack(cursor);
      ASSERT_TRUE(m) << std::hex << id << ": " << m.error().to_string();
      EXPECT_EQ(m->id, id);
      for (uint32_t part : m->parts) {
        EXPECT_TRUE(has(part)) << std::hex << part;
        if ((part >> 24) == 0x02) ++nested_setups;
      }
    }
  }
  EXPECT_TRUE(formats.contains(41));
  EXPECT_TRUE(formats.contains(101));
  EXPECT_GE(formats.size(), 4u);
  EXPECT_EQ(surface_forms, (std::set<bool>{false, true}));
  EXPECT_GT(nested_setups, 0u);
}

TEST(Synth, CellRecordsCoverTheSpawnNeighbourhoodAndPlaceExistingModels) {
  const SynthDat portal = generate_dat(DatKind::Portal, {1, 1});
  const SynthDat cell = generate_dat(DatKind::Cell, {1, 1});
  for (uint32_t x = 0xA8; x <= 0xAA; ++x) {
    for (uint32_t y = 0xB3; y <= 0xB5; ++y) {
      const uint32_t lb = (x << 8) | y;
      EXPECT_TRUE(cell.records.contains((lb << 16) | 0xFFFF)) << std::hex << lb;
      EXPECT_TRUE(cell.records.contains((lb << 16) | 0xFFFE)) << std::hex << lb;
    }
  }
  size_t infos = 0;
  size_t portals = 0;
  size_t restriction_tables = 0;
  for (const auto& [id, record] : cell.records) {
    if ((id & 0xFFFF) != 0xFFFE) continue;
    ++infos;
    auto info = dat::LandblockInfo::unpack(record.body);
    ASSERT_TRUE(info) << std::hex << id << ": " << info.error().to_string();
    EXPECT_EQ(info->id, id);
    for (const auto& stab : info->objects) EXPECT_TRUE(portal.records.contains(stab.id)) << std::hex << stab.id;
    for (const auto& building : info->buildings) {
      EXPECT_TRUE(portal.records.contains(building.model_id));
      for (const auto& p : building.portals) {
        ++portals;
        EXPECT_TRUE(cell.records.contains((id & 0xFFFF0000u) | p.other_cell_id)) << std::hex << id;
      }
    }
    if (info->restriction_tables) ++restriction_tables;
  }
  EXPECT_GT(infos, 9u);
  EXPECT_GT(portals, 0u);
  EXPECT_GT(restriction_tables, 0u);
}

TEST(Synth, SpawnWalkReachesEveryRecordTypeOfTheChain) {
  const SynthDat portal = generate_dat(DatKind::Portal, {1, 1});
  const SynthDat cell = generate_dat(DatKind::Cell, {1, 1});
  dat_testing::MemoryResourceSource source;
  for (const auto& [id, record] : portal.records) source.add_portal(id, record.body);
  auto info = dat::LandblockInfo::unpack(cell.records.at((kSpawnLandblock << 16) | 0xFFFE).body);
  ASSERT_TRUE(info);
  dat::KeepSet keep;
  for (const auto& stab : info->objects) dat::walk_model(source, stab.id, keep, 0);
  for (const auto& building : info->buildings) dat::walk_model(source, building.model_id, keep, 0);
  std::set<uint32_t> types;
  for (const auto& key : keep) {
    if (portal.records.contains(key.file_id)) types.insert(key.file_id >> 24);
  }
  EXPECT_EQ(types, (std::set<uint32_t>{0x01, 0x02, 0x04, 0x05, 0x06, 0x08}));
}

TEST(Synth, CompressionDuplicatesAndSizeSpreadLookLikeGameData) {
  size_t records = 0;
  size_t compressed = 0;
  size_t smallest = SIZE_MAX;
  size_t largest = 0;
  for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local}) {
    const SynthDat dat = generate_dat(kind, {1, 1});
    std::set<std::vector<uint8_t>> distinct;
    for (const auto& [id, record] : dat.records) {
      ++records;
      compressed += record.compressed ? 1 : 0;
      smallest = std::min(smallest, record.body.size());
      largest = std::max(largest, record.body.size());
      distinct.insert(record.body);
    }
    if (kind != DatKind::Local) {
      EXPECT_LT(distinct.size(), dat.records.size()) << dat.file_name;
    }
  }
  EXPECT_GT(compressed * 100, records * 10);
  EXPECT_LT(compressed * 100, records * 30);
  EXPECT_LT(smallest, 100u);
  EXPECT_GT(largest, 20000u);
}

}  // namespace
}  // namespace dat_synth
