#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "dat/database.h"
#include "dat_testing/dat_writer.h"

namespace dat {
namespace {

using Bytes = std::vector<uint8_t>;
using dat_testing::DatImage;

struct Read {
  uint64_t offset;
  size_t size;
  friend bool operator==(const Read&, const Read&) = default;
};

// An in-memory source that records every positional read.
class RecordingSource final : public FileExtPolyfill {
 public:
  RecordingSource(Bytes bytes, std::shared_ptr<std::vector<Read>> log)
      : inner_(std::move(bytes)), log_(std::move(log)) {}
  std::expected<uint64_t, common::IoError> len_compat() const override { return inner_.len_compat(); }
  std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t> buffer,
                                                            uint64_t offset) const override {
    log_->push_back(Read{offset, buffer.size()});
    return inner_.read_exact_at_compat(buffer, offset);
  }

 private:
  MemorySource inner_;
  std::shared_ptr<std::vector<Read>> log_;
};

DatResult<DatDatabase> open_bytes(Bytes bytes) {
  return DatDatabase::from_source(std::make_unique<MemorySource>(std::move(bytes)));
}

struct Recorded {
  DatDatabase db;
  std::shared_ptr<std::vector<Read>> log;
};

Recorded open_recorded(Bytes bytes) {
  auto log = std::make_shared<std::vector<Read>>();
  auto db = DatDatabase::from_source(std::make_unique<RecordingSource>(std::move(bytes), log));
  EXPECT_TRUE(db) << db.error().debug_string();
  return Recorded{std::move(*db), log};
}

DatFileEntry entry(uint32_t id, uint32_t version = 0, uint32_t offset = 0, uint32_t size = 0) {
  DatFileEntry e;
  e.bit_flags = 0x00020000;
  e.id = id;
  e.offset = offset;
  e.size = size;
  e.timestamp = 0x5F000000 + id;
  e.version = version;
  return e;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return out;
}

Bytes concat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---------------------------------------------------------------- header

TEST(DatHeader, EncodesEveryFieldInFileOrder) {
  DatHeader h;
  h.magic = 0x00005442;
  h.block_size = 1024;
  h.file_size = 3;
  h.dataset = 4;
  h.subset = 5;
  h.free_head = 6;
  h.free_tail = 7;
  h.free_count = 8;
  h.root_offset = 9;
  h.new_lru = 10;
  h.old_lru = 11;
  h.use_lru = 12;
  h.master_map_id = 13;
  h.engine_version = 14;
  h.game_version = 15;
  std::iota(h.version_string.begin(), h.version_string.end(), uint8_t{0xA0});
  h.version_minor = 0x01020304;

  common::ByteWriter w;
  h.write(w);
  const Bytes bytes = w.take();
  ASSERT_EQ(bytes.size(), DatHeader::kSize);
  EXPECT_EQ((Bytes(bytes.begin(), bytes.begin() + 8)), (Bytes{0x42, 0x54, 0, 0, 0x00, 0x04, 0, 0}));
  EXPECT_EQ(bytes[32], 9);   // root_offset
  EXPECT_EQ(bytes[48], 13);  // master_map_id
  EXPECT_EQ(bytes[56], 15);  // game_version
  EXPECT_EQ(bytes[60], 0xA0);
  EXPECT_EQ(bytes[75], 0xAF);
  EXPECT_EQ((Bytes(bytes.begin() + 76, bytes.end())), (Bytes{0x04, 0x03, 0x02, 0x01}));

  common::ByteCursor cursor(bytes);
  auto back = DatHeader::read(cursor);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, h);
  EXPECT_EQ(cursor.position(), DatHeader::kSize);

  // Open stores the header as read, without validating the unused fields.
  DatImage image(1024);
  image.header() = h;
  image.header().root_offset = 0;
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  EXPECT_EQ(db->header().magic, h.magic);
  EXPECT_EQ(db->header().version_string, h.version_string);
  EXPECT_EQ(db->header().version_minor, h.version_minor);
  EXPECT_EQ(db->header().file_size, 3u);
}

TEST(DatDatabaseOpen, ShortFileNamesTheFirstMissingHeaderField) {
  const struct {
    size_t size;
    const char* field;
  } cases[] = {
      {0, "magic"},          {100, "magic"},          {320, "magic"},
      {323, "magic"},        {324, "block_size"},     {352, "root_offset"},
      {379, "game_version"}, {380, "version_string"}, {395, "version_string"}, {396, "version_minor"},
      {399, "version_minor"},
  };
  DatImage image(1024);
  const Bytes full = image.bytes();
  for (const auto& c : cases) {
    auto db = open_bytes(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.size)));
    ASSERT_FALSE(db) << c.size;
    ASSERT_EQ(db.error().kind(), DatError::Kind::BinRead) << c.size;
    const common::ReadError* read = db.error().read_error();
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->kind(), common::ReadError::Kind::EndOfData);
    ASSERT_EQ(read->context().size(), 1u);
    EXPECT_EQ(read->context()[0].message, std::string("While parsing field '") + c.field + "' in DatHeader")
        << c.size;
    EXPECT_EQ(read->context()[0].location, "libs/dat/src/db");
    EXPECT_EQ(db.error().to_string(), std::string("Binary read error: failed to fill whole buffer (While parsing field '") +
                                          c.field + "' in DatHeader at libs/dat/src/db)");
  }
  // 400 bytes hold the whole header.
  EXPECT_TRUE(open_bytes(full));
}

// Reports its length but fails every read with an operating-system error.
class FailingSource final : public FileExtPolyfill {
 public:
  std::expected<uint64_t, common::IoError> len_compat() const override { return 4096; }
  std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t>, uint64_t) const override {
    return std::unexpected(common::IoError::from_errno(EIO));
  }
};

TEST(DatDatabaseOpen, HeaderReadFailureIsACodecErrorCarryingTheIoFailure) {
  auto db = DatDatabase::from_source(std::make_unique<FailingSource>());
  ASSERT_FALSE(db);
  ASSERT_EQ(db.error().kind(), DatError::Kind::BinRead) << db.error().debug_string();
  const common::ReadError* read = db.error().read_error();
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->kind(), common::ReadError::Kind::Io);
  EXPECT_EQ(read->io_error(), common::IoError::from_errno(EIO));
  EXPECT_EQ(db.error().to_string(), "Binary read error: " + common::os_error_text(EIO) +
                                        " (While parsing field 'magic' in DatHeader at libs/dat/src/db)");
}

TEST(DatDatabaseOpen, RejectsBlockSizesWithoutPayload) {
  for (uint32_t block_size : {0u, 1u, 3u, 4u}) {
    DatImage image(block_size);
    auto db = open_bytes(image.bytes());
    ASSERT_FALSE(db) << block_size;
    EXPECT_EQ(db.error().kind(), DatError::Kind::Corruption);
    EXPECT_EQ(db.error().to_string(), "Corruption detected: DAT block size " + std::to_string(block_size) +
                                          " leaves no room for payload (must exceed 4)");
  }
}

TEST(DatDatabaseOpen, OneBytePayloadStillReadsWholeChains) {
  // block_size 5: one payload byte per block; a chain of four blocks.
  DatImage image(5);
  image.put_block(400, 420, Bytes{'a'});
  image.put_block(420, 410, Bytes{'b'});
  image.put_block(410, 430, Bytes{'c'});
  image.put_block(430, 0, Bytes{'d', 'e'});
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  EXPECT_EQ(db->read_file_data(400, 5).value(), (Bytes{'a', 'b', 'c', 'd', 'e'}));
}

TEST(DatDatabaseOpen, RootOffsetZeroGivesAnEmptyDirectory) {
  auto [db, log] = open_recorded(DatImage(1024).bytes());
  EXPECT_TRUE(db.files().empty());
  // Only the header was read.
  EXPECT_EQ(*log, (std::vector<Read>{{320, 80}}));
}

TEST(DatDatabaseOpen, MissingPathIsAPathError) {
  const std::string path = "/nonexistent-dir-for-dat-tests/client_portal.dat";
  auto db = DatDatabase::open(path);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().kind(), DatError::Kind::PathError);
  EXPECT_EQ(db.error().to_string(),
            "Failed to open file at " + path + ": No such file or directory (os error 2)");
}

// ---------------------------------------------------------------- block chains

struct ChainCase {
  const char* name;
  uint32_t count;
  Bytes expected;
  std::vector<Read> reads;  // after the header
};

TEST(DatReadFileData, FollowsChainsAsLaidOut) {
  // block_size 1024: payload 1020. Three linked blocks at 1024, 2048 and 3072,
  // and a second chain at 5120 whose next block (6144) is its last, holding
  // 1480 bytes contiguously past its own end.
  const Bytes p1 = pattern(1020, 1), p2 = pattern(1020, 2), p3 = pattern(1020, 3);
  const Bytes long_tail = pattern(1480, 4);
  DatImage image(1024);
  image.put_block(1024, 2048, p1);
  image.put_block(2048, 3072, p2);
  image.put_block(3072, 0, p3);
  image.put_block(5120, 6144, p1);
  image.put_block(6144, 0, long_tail);
  image.resize(8192);
  auto [db, log] = open_recorded(image.bytes());

  const std::vector<std::pair<uint32_t, ChainCase>> cases = {
      {1024,
       {"three blocks", 2500, concat({p1, p2, std::span(p3).first(460)}),
        {{1024, 4}, {1028, 1020}, {2048, 4}, {2052, 1020}, {3072, 4}, {3076, 460}}}},
      {5120,
       {"last block read contiguously", 2500, concat({p1, long_tail}),
        {{5120, 4}, {5124, 1020}, {6144, 4}, {6148, 1480}}}},
      {1024, {"fits the first block", 100, Bytes(p1.begin(), p1.begin() + 100), {{1024, 4}, {1028, 100}}}},
      {1024, {"exactly one payload", 1020, p1, {{1024, 4}, {1028, 1020}}}},
      {1024, {"one byte into the second block", 1021, concat({p1, std::span(p2).first(1)}),
              {{1024, 4}, {1028, 1020}, {2048, 4}, {2052, 1}}}},
      {1024, {"zero bytes", 0, {}, {}}},
  };
  for (const auto& [offset, c] : cases) {
    log->clear();
    auto data = db.read_file_data(offset, c.count);
    ASSERT_TRUE(data) << c.name << ": " << data.error().debug_string();
    EXPECT_EQ(*data, c.expected) << c.name;
    EXPECT_EQ(*log, c.reads) << c.name;
  }
}

TEST(DatReadFileData, CountInsideTheFirstBlockIgnoresItsLink) {
  DatImage image(1024);
  const Bytes p = pattern(1020, 9);
  image.put_block(1024, 0xFFFFFF00, p);  // link far past the end of the file
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db);
  EXPECT_EQ(db->read_file_data(1024, 1020).value(), p);
  auto past = db->read_file_data(1024, 1021);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().kind(), DatError::Kind::Io);
}

TEST(DatReadFileData, UnreadableChainsFailWithIo) {
  DatImage image(1024);
  image.put_block(1024, 0x00100000, pattern(1020, 1));  // link past the end
  image.put_block(2048, 0, pattern(100, 2));           // last block, file ends 104 bytes in
  const struct {
    const char* name;
    uint32_t offset;
    uint32_t count;
  } cases[] = {
      {"link past the end of the file", 1024, 1500},
      {"last block runs past the end", 2048, 200},
      {"first block past the end", 0x00200000, 10},
      {"link cut by the end of the file", 2150, 1},
      {"offset near the top of the address space", 0xFFFFFFFE, 1},
  };
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db);
  for (const auto& c : cases) {
    auto data = db->read_file_data(c.offset, c.count);
    ASSERT_FALSE(data) << c.name;
    EXPECT_EQ(data.error().kind(), DatError::Kind::Io) << c.name;
    EXPECT_EQ(data.error().to_string(), "IO error: failed to fill whole buffer") << c.name;
  }
}

TEST(DatReadFileData, LoopingChainVisitsOnlyTheBlocksTheCountNeeds) {
  // 1024 -> 2048 -> 1024 -> ... never reaches a link of 0.
  DatImage image(1024);
  const Bytes a = pattern(1020, 1), b = pattern(1020, 2);
  image.put_block(1024, 2048, a);
  image.put_block(2048, 1024, b);
  image.resize(4096);
  auto [db, log] = open_recorded(image.bytes());

  log->clear();
  auto data = db.read_file_data(1024, 3500);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data, concat({a, b, a, std::span(b).first(440)}));
  EXPECT_EQ(log->size(), 8u);  // four links and four payloads

  // A count the file cannot hold is refused before anything is allocated or
  // read, so a damaged size cannot spin around the loop for 4 GiB.
  log->clear();
  auto huge = db.read_file_data(1024, 0xFFFFFFFF);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind(), DatError::Kind::Io);
  EXPECT_TRUE(log->empty());
}

// ---------------------------------------------------------------- directory

TEST(DatDirectory, RootLeafWithThreeEntries) {
  DatImage image(1024);
  image.header().root_offset = 1024;
  const std::vector<DatFileEntry> entries = {entry(0x01000001, 1, 4096, 10), entry(0x01000002, 2, 5120, 20),
                                             entry(0x0E000002, 3, 6144, 30)};
  image.put_node(1024, {}, entries);
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  ASSERT_EQ(db->files().size(), 3u);
  for (const auto& e : entries) {
    ASSERT_TRUE(db->files().contains(e.id));
    EXPECT_EQ(db->files().at(e.id), e);
  }
}

TEST(DatDirectory, FullLeafOf61Entries) {
  DatImage image(1024);
  image.header().root_offset = 1024;
  std::vector<DatFileEntry> entries;
  for (uint32_t i = 0; i < 61; ++i) entries.push_back(entry(100 + i));
  image.put_node(1024, {}, entries);
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  EXPECT_EQ(db->files().size(), 61u);
  EXPECT_TRUE(db->files().contains(160));
}

TEST(DatDirectory, EntryCountBeyondTheNodeFailsAtThe62ndEntry) {
  for (uint32_t count : {62u, 1000u, 0xFFFFFFFFu}) {
    DatImage image(1024);
    image.header().root_offset = 1024;
    std::vector<DatFileEntry> entries;
    for (uint32_t i = 0; i < 61; ++i) entries.push_back(entry(i + 1));
    image.put_node(1024, {}, entries, count);
    image.resize(8192);  // bytes after the node do not count as entries
    auto db = open_bytes(image.bytes());
    ASSERT_FALSE(db) << count;
    ASSERT_EQ(db.error().kind(), DatError::Kind::BinRead);
    const auto& context = db.error().read_error()->context();
    ASSERT_EQ(context.size(), 1u);
    EXPECT_EQ(context[0].message, "While parsing field 'bit_flags' in DatFileEntry") << count;
  }
}

TEST(DatDirectory, RootEntriesLoadBeforeLeftThenRightSubtree) {
  // Root at 1024 with one entry and branches to 4096 (left) and 8192 (right).
  DatImage image(1024);
  image.header().root_offset = 1024;
  image.put_node(1024, std::vector<uint32_t>{4096, 8192}, std::vector{entry(50)});
  image.put_node(4096, {}, std::vector{entry(10), entry(20)});
  image.put_node(8192, {}, std::vector{entry(60)});
  auto [db, log] = open_recorded(image.bytes());

  std::vector<uint64_t> node_reads;
  for (const Read& r : *log) {
    if (r.size == kDatNodeSize) node_reads.push_back(r.offset - 4);
  }
  EXPECT_EQ(node_reads, (std::vector<uint64_t>{1024, 4096, 8192}));
  EXPECT_EQ(db.files().size(), 4u);
}

TEST(DatDirectory, DuplicateIdVisitedLastWins) {
  // Walk order: root, left, right. Id 1 is in all three nodes, id 2 in root
  // and left, id 3 in left and right, id 4 twice in the right leaf; the
  // version tells which copy survived.
  DatImage image(1024);
  image.header().root_offset = 1024;
  image.put_node(1024, std::vector<uint32_t>{4096, 8192}, std::vector{entry(1, 10), entry(2, 10)});
  image.put_node(4096, {}, std::vector{entry(2, 20), entry(1, 20), entry(3, 20)});
  image.put_node(8192, {}, std::vector{entry(3, 30), entry(4, 31), entry(1, 30), entry(4, 32)});
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  ASSERT_EQ(db->files().size(), 4u);
  EXPECT_EQ(db->files().at(1).version, 30u);
  EXPECT_EQ(db->files().at(2).version, 20u);
  EXPECT_EQ(db->files().at(3).version, 30u);
  EXPECT_EQ(db->files().at(4).version, 32u);
}

TEST(DatDirectory, BranchRulesDecideWhichChildrenAreVisited) {
  // kBad lies past the end of the file: visiting it would fail the open.
  constexpr uint32_t kBad = 0x00F00000;
  const struct {
    const char* name;
    std::vector<uint32_t> branches;
    std::vector<DatFileEntry> root_entries;
    std::vector<uint32_t> expected_ids;
  } cases[] = {
      {"only branches 0..n of an inner node count", {4096, 8192, kBad, kBad}, {entry(50)}, {10, 50, 60}},
      {"a leaf ignores later branches", {0, kBad}, {entry(50)}, {50}},
      {"zero branches in the middle are skipped", {4096, 0, 8192}, {entry(50), entry(55)}, {10, 50, 55, 60}},
  };
  for (const auto& c : cases) {
    DatImage image(1024);
    image.header().root_offset = 1024;
    image.put_node(1024, c.branches, c.root_entries);
    image.put_node(4096, {}, std::vector{entry(10)});
    image.put_node(8192, {}, std::vector{entry(60)});
    auto db = open_bytes(image.bytes());
    ASSERT_TRUE(db) << c.name << ": " << db.error().debug_string();
    std::vector<uint32_t> ids;
    for (const auto& [id, e] : db->files()) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, c.expected_ids) << c.name;
  }
}

TEST(DatDirectory, AllSixtyTwoBranchesOfAFullNodeAreVisited) {
  // 61 separators and 62 children: the walk stops after position 61.
  constexpr uint32_t kStride = 2048;
  DatImage image(1024);
  image.header().root_offset = 1024;
  std::vector<uint32_t> branches;
  std::vector<DatFileEntry> separators;
  for (uint32_t i = 0; i < 62; ++i) {
    const uint32_t child = 4096 + i * kStride;
    branches.push_back(child);
    image.put_node(child, {}, std::vector{entry(1000 + i)});
    if (i < 61) separators.push_back(entry(i));
  }
  image.put_node(1024, branches, separators);
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();
  EXPECT_EQ(db->files().size(), 61u + 62u);
  EXPECT_TRUE(db->files().contains(1061));
}

TEST(DatDirectory, UnreadableNodeFailsWithIo) {
  DatImage image(1024);
  image.header().root_offset = 1024;
  image.put_node(1024, std::vector<uint32_t>{4096, 0x00F00000}, std::vector{entry(1)});
  image.put_node(4096, {}, std::vector{entry(2)});
  auto db = open_bytes(image.bytes());
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().kind(), DatError::Kind::Io);
}

TEST(DatDirectory, BranchesBackIntoTheTreeAreRejected) {
  const struct {
    const char* name;
    std::vector<uint32_t> root_branches;
    std::vector<uint32_t> child_branches;
    uint32_t repeated;
  } cases[] = {
      {"root points at itself", {1024, 4096}, {}, 1024},
      {"child points back at the root", {4096, 8192}, {1024, 1024}, 1024},
      {"two branches share one child", {4096, 4096}, {}, 4096},
  };
  for (const auto& c : cases) {
    DatImage image(1024);
    image.header().root_offset = 1024;
    image.put_node(1024, c.root_branches, std::vector{entry(1)});
    image.put_node(4096, c.child_branches, std::vector{entry(2)});
    image.put_node(8192, {}, std::vector{entry(3)});
    auto db = open_bytes(image.bytes());
    ASSERT_FALSE(db) << c.name;
    EXPECT_EQ(db.error().kind(), DatError::Kind::Corruption) << c.name;
    char expected[96];
    std::snprintf(expected, sizeof expected, "Corruption detected: DAT directory node at offset 0x%08X is reached twice",
                  c.repeated);
    EXPECT_EQ(db.error().to_string(), expected) << c.name;
  }
}

TEST(DatDirectory, DepthIsBoundedAt32Levels) {
  // A chain of single-child nodes, each a distinct offset.
  const auto chain = [](size_t levels) {
    DatImage image(1024);
    image.header().root_offset = 2048;
    for (size_t i = 0; i < levels; ++i) {
      const uint32_t at = static_cast<uint32_t>(2048 * (i + 1));
      const uint32_t next = i + 1 < levels ? at + 2048 : 0;
      image.put_node(at, std::vector<uint32_t>{next}, std::vector{entry(static_cast<uint32_t>(i))});
    }
    return open_bytes(image.bytes());
  };
  auto deepest = chain(kDatMaxDirectoryDepth);
  ASSERT_TRUE(deepest) << deepest.error().debug_string();
  EXPECT_EQ(deepest->files().size(), kDatMaxDirectoryDepth);

  auto too_deep = chain(kDatMaxDirectoryDepth + 1);
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error().kind(), DatError::Kind::Corruption);
  EXPECT_EQ(too_deep.error().to_string(),
            "Corruption detected: DAT directory deeper than 32 levels at node offset 0x00010800");
}

// ---------------------------------------------------------------- get_file

TEST(DatGetFile, ServesRawAndCompressedRecords) {
  const Bytes packed = {0x06, 0, 0, 0, 0x20, 0x61, 0x62, 0x02, 0x02};
  DatImage image(1024);
  image.header().root_offset = 1024;
  DatFileEntry compressed = entry(1, 0, 4096, static_cast<uint32_t>(packed.size()));
  compressed.bit_flags = 0x1;
  DatFileEntry other_bits = entry(2, 0, 4096, static_cast<uint32_t>(packed.size()));
  other_bits.bit_flags = 0xFFFFFFFE;  // every bit but the compression flag
  DatFileEntry raw_multi_block = entry(3, 0, 5120, 1500);
  DatFileEntry empty = entry(4, 0, 0xFFFFFF00, 0);  // empty: its offset is never read
  image.put_node(1024, {}, std::vector{compressed, other_bits, raw_multi_block, empty});
  image.put_block(4096, 0, packed);
  const Bytes body = pattern(1500, 5);
  image.put_block(5120, 7168, std::span(body).first(1020));
  image.put_block(7168, 0, std::span(body).subspan(1020));
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << db.error().debug_string();

  EXPECT_EQ(db->get_file(1).value(), (Bytes{'a', 'b', 'a', 'b', 'a', 'b'}));
  EXPECT_EQ(db->get_file(2).value(), packed);
  EXPECT_EQ(db->get_file(3).value(), body);
  EXPECT_EQ(db->get_file(4).value(), Bytes{});
}

TEST(DatGetFile, ErrorsNameTheIdOrTheReadFailure) {
  DatImage image(1024);
  image.header().root_offset = 1024;
  image.put_node(1024, {}, std::vector{entry(7, 0, 0x00F00000, 10), entry(8, 0, 4096, 0xFFFFFFFF)});
  image.put_block(4096, 0, pattern(16, 1));
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db);

  auto missing = db->get_file(0x0E000002);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), DatError::Kind::NotFound);
  EXPECT_EQ(missing.error().to_string(), "File ID 0E000002 not found in provider");
  EXPECT_EQ(db->get_file(0xFFFF).error().to_string(), "File ID 0000FFFF not found in provider");

  auto broken = db->get_file(7);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().kind(), DatError::Kind::Io);
  auto oversized = db->get_file(8);
  ASSERT_FALSE(oversized);
  EXPECT_EQ(oversized.error().kind(), DatError::Kind::Io);
}

TEST(DatDatabase, IsMovable) {
  DatImage image(1024);
  image.header().root_offset = 1024;
  image.put_node(1024, {}, std::vector{entry(1, 0, 4096, 3)});
  image.put_block(4096, 0, Bytes{1, 2, 3});
  auto opened = open_bytes(image.bytes());
  ASSERT_TRUE(opened);
  DatDatabase moved = std::move(*opened);
  DatDatabase assigned = std::move(moved);
  EXPECT_EQ(assigned.get_file(1).value(), (Bytes{1, 2, 3}));
  static_assert(!std::is_copy_constructible_v<DatDatabase>);
}

}  // namespace
}  // namespace dat
