// DatWriter -> DatDatabase round trips, and the shape of the writer's B-tree.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/cursor.h"
#include "dat/database.h"
#include "dat_testing/dat_writer.h"

namespace dat {
namespace {

using Bytes = std::vector<uint8_t>;
using dat_testing::DatWriter;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dat-db-test-XXXXXX").string();
    const char* made = ::mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

enum class Mode { Raw, Compressed, Mixed };

const char* mode_name(Mode m) {
  switch (m) {
    case Mode::Raw: return "raw";
    case Mode::Compressed: return "compressed";
    case Mode::Mixed: return "mixed";
  }
  return "?";
}

struct Original {
  Bytes body;
  bool compressed = false;
  uint32_t timestamp = 0;
  uint32_t version = 0;
};

// Random records with sizes around the block payload boundaries and bodies
// that are noise, runs, or a mixture.
std::map<uint32_t, Original> random_records(std::mt19937& rng, size_t count, uint32_t block_size, Mode mode) {
  const size_t payload = block_size - 4;
  const std::vector<size_t> edge_sizes = {0, 1, payload - 1, payload, payload + 1, 2 * payload, 2 * payload + 1};
  std::uniform_int_distribution<uint32_t> any_id;
  std::uniform_int_distribution<size_t> size_pick(0, 9);
  std::uniform_int_distribution<size_t> free_size(0, 5000);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> coin(0, 1);

  std::map<uint32_t, Original> out;
  if (count > 0) out[0] = {};
  if (count > 1) out[0xFFFFFFFF] = {};
  while (out.size() < count) out[any_id(rng)] = {};
  size_t i = 0;
  for (auto& [id, rec] : out) {
    const size_t pick = size_pick(rng);
    const size_t n = pick < edge_sizes.size() ? edge_sizes[pick] : free_size(rng);
    rec.body.resize(n);
    const bool runs = (i++ % 3) == 0;
    for (size_t k = 0; k < n; ++k) {
      rec.body[k] = runs ? static_cast<uint8_t>((k / 37) * 13 + (id & 0xFF)) : static_cast<uint8_t>(byte(rng));
    }
    rec.compressed = mode == Mode::Compressed || (mode == Mode::Mixed && coin(rng) == 1);
    rec.timestamp = any_id(rng);
    rec.version = any_id(rng) & 0xFFFF;
  }
  return out;
}

DatWriter writer_for(const std::map<uint32_t, Original>& records, uint32_t block_size, uint64_t scatter) {
  DatWriter writer(block_size);
  writer.set_master_map_id(0x12345678);
  writer.header().magic = 0x00005442;
  writer.header().game_version = 44;
  writer.set_scatter_seed(scatter);
  for (const auto& [id, rec] : records) {
    if (rec.compressed) {
      // Compressed records go through add(); raw ones carry their own metadata.
      writer.add(id, rec.body, true);
    } else {
      writer.add_stored(id, rec.body, 0x00020000, rec.timestamp, rec.version);
    }
  }
  return writer;
}

void expect_same_records(const DatDatabase& db, const std::map<uint32_t, Original>& records,
                         const std::string& where) {
  ASSERT_EQ(db.files().size(), records.size()) << where;
  for (const auto& [id, rec] : records) {
    const auto it = db.files().find(id);
    ASSERT_NE(it, db.files().end()) << where << " id " << id;
    EXPECT_EQ(it->second.id, id);
    EXPECT_EQ(it->second.compressed(), rec.compressed) << where << " id " << id;
    if (!rec.compressed) {
      EXPECT_EQ(it->second.bit_flags, 0x00020000u);
      EXPECT_EQ(it->second.timestamp, rec.timestamp);
      EXPECT_EQ(it->second.version, rec.version);
      EXPECT_EQ(it->second.size, rec.body.size());
    }
    auto body = db.get_file(id);
    ASSERT_TRUE(body) << where << " id " << id << ": " << body.error().debug_string();
    EXPECT_EQ(*body, rec.body) << where << " id " << id;
  }
}

TEST(DatRoundTrip, EveryRecordComesBackFromMemoryAndFromAFile) {
  TempDir dir;
  uint32_t seed = 1;
  for (uint32_t block_size : {8u, 64u, 256u, 1024u, 4096u}) {
    for (Mode mode : {Mode::Raw, Mode::Compressed, Mode::Mixed}) {
      // Small block sizes make long chains; keep those sets smaller.
      for (size_t count : {size_t{0}, size_t{1}, size_t{61}, size_t{62}, block_size >= 256 ? size_t{700} : size_t{130}}) {
        const std::string where = "block " + std::to_string(block_size) + " " + mode_name(mode) + " count " +
                                  std::to_string(count);
        std::mt19937 rng(seed++);
        const auto records = random_records(rng, count, block_size, mode);
        const DatWriter writer = writer_for(records, block_size, seed % 2 == 0 ? seed : 0);

        const Bytes image = writer.build();
        auto from_memory = DatDatabase::from_source(std::make_unique<MemorySource>(image));
        ASSERT_TRUE(from_memory) << where << ": " << from_memory.error().debug_string();
        EXPECT_EQ(from_memory->header().block_size, block_size);
        EXPECT_EQ(from_memory->header().file_size, image.size());
        EXPECT_EQ(from_memory->header().master_map_id, 0x12345678u);
        EXPECT_EQ(from_memory->header().magic, 0x00005442u);
        EXPECT_EQ(from_memory->header().game_version, 44u);
        expect_same_records(*from_memory, records, where + " (memory)");

        const auto path = dir.path() / ("db-" + std::to_string(seed) + ".dat");
        ASSERT_TRUE(writer.write_to(path)) << where;
        auto from_file = DatDatabase::open(path);
        ASSERT_TRUE(from_file) << where << ": " << from_file.error().debug_string();
        expect_same_records(*from_file, records, where + " (file)");
      }
    }
  }
}

TEST(DatRoundTrip, CompressedRecordsAreStoredSmaller) {
  DatWriter writer(1024);
  const Bytes runs(20000, 0x5A);
  writer.add(1, runs, true);
  writer.add(2, runs, false);
  auto db = DatDatabase::from_source(std::make_unique<MemorySource>(writer.build()));
  ASSERT_TRUE(db);
  EXPECT_LT(db->files().at(1).size, 4000u);
  EXPECT_EQ(db->files().at(2).size, 20000u);
  EXPECT_EQ(db->get_file(1).value(), runs);
  EXPECT_EQ(db->get_file(2).value(), runs);
}

TEST(DatRoundTrip, AddReplacesAnEarlierRecordWithTheSameId) {
  DatWriter writer(64);
  writer.add(5, Bytes{1, 2, 3});
  writer.add(5, Bytes{9}, true);
  auto db = DatDatabase::from_source(std::make_unique<MemorySource>(writer.build()));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 1u);
  EXPECT_EQ(db->get_file(5).value(), Bytes{9});
}

// Checks the writer's directory against the B-tree rules by reading every node
// back through read_file_data.
struct TreeShape {
  std::vector<uint32_t> in_order;
  std::vector<size_t> leaf_depths;
  size_t nodes = 0;
};

void walk_shape(const DatDatabase& db, uint32_t offset, size_t depth, TreeShape& shape) {
  auto raw = db.read_file_data(offset, static_cast<uint32_t>(kDatNodeSize));
  ASSERT_TRUE(raw);
  ++shape.nodes;
  common::ByteCursor cursor(*raw);
  std::vector<uint32_t> branches(kDatNodeBranches);
  for (auto& b : branches) b = cursor.read_u32().value();
  const uint32_t n = cursor.read_u32().value();
  ASSERT_GE(n, 1u);
  ASSERT_LE(n, kDatNodeMaxEntries);
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < n; ++i) ids.push_back(DatFileEntry::read(cursor).value().id);
  if (branches[0] == 0) {
    EXPECT_TRUE(std::all_of(branches.begin(), branches.end(), [](uint32_t b) { return b == 0; }));
    shape.in_order.insert(shape.in_order.end(), ids.begin(), ids.end());
    shape.leaf_depths.push_back(depth);
    return;
  }
  for (size_t i = 0; i < kDatNodeBranches; ++i) {
    EXPECT_EQ(branches[i] != 0, i <= n) << "branch " << i << " of a node with " << n << " entries";
  }
  for (uint32_t i = 0; i <= n; ++i) {
    walk_shape(db, branches[i], depth + 1, shape);
    if (i < n) shape.in_order.push_back(ids[i]);
  }
}

TEST(DatWriterTree, IsABalancedSearchTree) {
  const struct {
    size_t count;
    size_t depth;
  } cases[] = {{1, 1}, {61, 1}, {62, 2}, {123, 2}, {3843, 2}, {3844, 3}, {9000, 3}};
  std::mt19937 rng(99);
  std::uniform_int_distribution<uint32_t> any_id;
  for (const auto& c : cases) {
    DatWriter writer(256);
    writer.set_scatter_seed(c.count);
    std::vector<uint32_t> ids;
    while (writer.record_count() < c.count) {
      const uint32_t id = any_id(rng);
      writer.add(id, Bytes{static_cast<uint8_t>(id)});
      ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    const auto layout = writer.build_with_layout();
    EXPECT_EQ(layout.depth, c.depth) << c.count;
    auto db = DatDatabase::from_source(std::make_unique<MemorySource>(layout.bytes));
    ASSERT_TRUE(db) << c.count;
    EXPECT_EQ(db->files().size(), c.count);

    TreeShape shape;
    walk_shape(*db, db->header().root_offset, 1, shape);
    EXPECT_EQ(shape.in_order, ids) << c.count;
    EXPECT_EQ(shape.nodes, layout.node_offsets.size());
    EXPECT_EQ(layout.node_offsets.front(), db->header().root_offset);
    ASSERT_FALSE(shape.leaf_depths.empty());
    EXPECT_TRUE(std::all_of(shape.leaf_depths.begin(), shape.leaf_depths.end(),
                            [&](size_t d) { return d == c.depth; }))
        << c.count;
  }
}

TEST(DatWriterTree, EmptyWriterHasNoDirectory) {
  DatWriter writer(1024);
  const auto layout = writer.build_with_layout();
  EXPECT_EQ(layout.depth, 0u);
  EXPECT_TRUE(layout.node_offsets.empty());
  auto db = DatDatabase::from_source(std::make_unique<MemorySource>(layout.bytes));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->header().root_offset, 0u);
  EXPECT_TRUE(db->files().empty());
}

TEST(DatWriterTree, DamagedLinkInAWrittenChainIsAnIoError) {
  // The layout tells where a record lives; cut its chain by pointing the first
  // block's link past the end.
  DatWriter writer(64);
  writer.add(7, Bytes(500, 0x11));
  auto layout = writer.build_with_layout();
  const uint32_t first = layout.entries.at(0).offset;
  const uint32_t past = static_cast<uint32_t>(layout.bytes.size() + 64);
  for (size_t k = 0; k < 4; ++k) layout.bytes[first + k] = static_cast<uint8_t>(past >> (8 * k));
  auto db = DatDatabase::from_source(std::make_unique<MemorySource>(layout.bytes));
  ASSERT_TRUE(db);
  auto body = db->get_file(7);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().kind(), DatError::Kind::Io);
}

}  // namespace
}  // namespace dat
