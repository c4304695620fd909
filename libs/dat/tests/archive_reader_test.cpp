#include <zstd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive_test_support.h"
#include "dat/archive.h"

namespace dat {
namespace {

using test::bytes_of;
using test::ns_bytes;
using test::put_u32_at;
using test::put_u64_at;
using test::read_file;
using test::TempDir;

DatResult<QraReader> open_bytes(std::vector<uint8_t> bytes) {
  return QraReader::from_source(std::make_unique<MemorySource>(std::move(bytes)));
}

// Lays out an archive from explicit parts, for shapes the writer never makes.
std::vector<uint8_t> assemble(const std::vector<uint8_t>& bodies, const std::vector<QraNamespaceIndexEntry>& spans,
                              const std::vector<QraEntry>& index) {
  std::vector<uint8_t> out;
  common::ByteWriter w(out);
  const uint32_t metadata_size = static_cast<uint32_t>(4 + 40 * spans.size());
  QraHeader{{'Q', 'R', 'A', 0}, 2, static_cast<uint32_t>(index.size()), 24 + bodies.size() + metadata_size,
            metadata_size}
      .write(w);
  w.put_bytes(bodies);
  w.put_u32(static_cast<uint32_t>(spans.size()));
  for (const auto& s : spans) s.write(w);
  for (const auto& e : index) e.write(w);
  return out;
}

std::vector<uint8_t> repetitive(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>("0123456789"[i % 10]);
  return out;
}

class QraReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_OK(test::build_fixture(fixture_path_));
    fixture_ = read_file(fixture_path_);
    layout_ = test::decode_raw(fixture_);
  }

  // Byte offset of the index record for `file_id` in the fixture.
  size_t entry_offset(uint32_t file_id) const {
    for (size_t i = 0; i < layout_.index.size(); ++i) {
      if (layout_.index[i].file_id == file_id) return layout_.header.index_offset + 60 * i;
    }
    ADD_FAILURE() << "no entry " << file_id;
    return 0;
  }
  size_t metadata_offset() const { return layout_.header.index_offset - layout_.header.metadata_size; }

  TempDir dir_;
  std::filesystem::path fixture_path_ = dir_ / "fixture.qra";
  std::vector<uint8_t> fixture_;
  test::RawArchive layout_;
};

TEST_F(QraReaderTest, FixtureOpensAndEveryRecordReadsBack) {
  auto reader = QraReader::open(fixture_path_);
  ASSERT_OK(reader);
  EXPECT_EQ(reader->header().entry_count, 7u);
  EXPECT_EQ(reader->file_len(), fixture_.size());
  ASSERT_EQ(reader->namespace_spans().size(), 2u);
  EXPECT_EQ(reader->namespace_spans()[0], (QraNamespaceIndexEntry{ns_bytes("eor/cell"), 0, 4}));
  EXPECT_EQ(reader->namespace_spans()[1], (QraNamespaceIndexEntry{ns_bytes("eor/portal"), 4, 3}));
  auto index = reader->read_index();
  ASSERT_OK(index);
  for (const auto& r : test::kFixtureRecords) {
    auto body = reader->get_file_in_namespace(r.ns, r.file_id);
    ASSERT_OK(body);
    EXPECT_EQ(test::text_of(*body), r.body);
    auto indexed = reader->get_file_in_namespace_indexed(*index, r.ns, r.file_id);
    ASSERT_OK(indexed);
    EXPECT_EQ(*indexed, *body);
  }
}

TEST_F(QraReaderTest, MissesAndBadLabelsGiveTheSameErrorsBothWays) {
  auto reader = QraReader::open(fixture_path_);
  ASSERT_OK(reader);
  auto index = reader->read_index();
  ASSERT_OK(index);
  const std::tuple<std::string, uint32_t, std::string> cases[] = {
      {"eor/portal", 0xA9B4FFFF, "File ID A9B4FFFF not found in provider"},  // id of the other namespace
      {"eor/cell", 0, "File ID 00000000 not found in provider"},             // below the span
      {"eor/cell", 0xFFFFFFFF, "File ID FFFFFFFF not found in provider"},    // above the span
      {"eor/cell", 0xA9B4FFF0, "File ID A9B4FFF0 not found in provider"},    // between ids
      {"eor/portal", 0x01000829, "File ID 01000829 not found in provider"},
      {"eor/local", 0x0000FFFF, "File ID 0000FFFF not found in provider"},   // absent namespace
      {"eor", 0x0000FFFF, "File ID 0000FFFF not found in provider"},         // prefix of both labels
      {"eor/cellar", 0x0000FFFF, "File ID 0000FFFF not found in provider"},
      {"a", 0x0000FFFF, "File ID 0000FFFF not found in provider"},           // before every span
      {"z", 0x0000FFFF, "File ID 0000FFFF not found in provider"},           // after every span
      {"", 1, "Invalid namespace: namespace label cannot be empty"},
      {std::string(33, 'x'), 1, "Invalid namespace: namespace label '" + std::string(33, 'x') + "' exceeds 32 bytes"},
  };
  for (const auto& [ns, id, message] : cases) {
    auto direct = reader->get_file_in_namespace(ns, id);
    ASSERT_FALSE(direct) << ns;
    EXPECT_EQ(direct.error().to_string(), message);
    auto indexed = reader->get_file_in_namespace_indexed(*index, ns, id);
    ASSERT_FALSE(indexed) << ns;
    EXPECT_EQ(indexed.error().to_string(), message);
  }
  // The reader stays usable after failed lookups.
  EXPECT_TRUE(reader->get_file_in_namespace("eor/cell", 0xA9B4FFFF));
}

TEST_F(QraReaderTest, ReadIndexMatchesReadEntryAt) {
  auto reader = QraReader::open(fixture_path_);
  ASSERT_OK(reader);
  auto index = reader->read_index();
  ASSERT_OK(index);
  ASSERT_EQ(index->size(), 7u);
  for (uint32_t i = 0; i < 7; ++i) {
    auto entry = reader->read_entry_at(i);
    ASSERT_OK(entry);
    EXPECT_EQ(*entry, (*index)[i]);
    EXPECT_EQ(*entry, layout_.index[i]);
  }
  auto ns = (*index)[4].namespace_id();
  ASSERT_OK(ns);
  EXPECT_EQ(ns->as_str(), "eor/portal");
}

TEST_F(QraReaderTest, EntryPositionBeyondTheFileIsUnexpectedEnd) {
  auto reader = QraReader::open(fixture_path_);
  ASSERT_OK(reader);
  for (uint32_t i : {7u, 1000u, 0xFFFFFFFFu}) {
    auto entry = reader->read_entry_at(i);
    ASSERT_FALSE(entry) << i;
    EXPECT_EQ(entry.error().kind(), DatError::Kind::Io);
    EXPECT_EQ(entry.error().to_string(), "IO error: failed to fill whole buffer");
  }
  // A position beyond entry_count but inside the file reads what lies there.
  auto trailing = fixture_;
  trailing.insert(trailing.end(), fixture_.end() - 60, fixture_.end());
  auto padded = open_bytes(trailing);
  ASSERT_OK(padded);
  auto extra = padded->read_entry_at(7);
  ASSERT_OK(extra);
  EXPECT_EQ(*extra, layout_.index[6]);
}

TEST_F(QraReaderTest, EmptyArchiveOpensAndFindsNothing) {
  const auto path = dir_ / "empty.qra";
  {
    auto writer = QraStreamWriter::create(path);
    ASSERT_OK(writer);
    ASSERT_OK(std::move(*writer).finish());
  }
  auto reader = QraReader::open(path);
  ASSERT_OK(reader);
  EXPECT_EQ(reader->header().entry_count, 0u);
  EXPECT_TRUE(reader->namespace_spans().empty());
  auto index = reader->read_index();
  ASSERT_OK(index);
  EXPECT_TRUE(index->empty());
  for (const char* ns : {"eor/cell", "eor/portal"}) {
    auto body = reader->get_file_in_namespace(ns, 0x0E000002);
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().to_string(), "File ID 0E000002 not found in provider");
  }
  // An empty span table (metadata_size 0) is allowed without records.
  auto bytes = read_file(path);
  put_u32_at(bytes, 20, 0);
  EXPECT_TRUE(open_bytes(bytes));
}

TEST_F(QraReaderTest, TrailingBytesAfterTheIndexAreAccepted) {
  auto bytes = fixture_;
  bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
  auto reader = open_bytes(bytes);
  ASSERT_OK(reader);
  EXPECT_EQ(reader->file_len(), fixture_.size() + 5);
  auto body = reader->get_file_in_namespace("eor/cell", 0x0000FFFF);
  ASSERT_OK(body);
  EXPECT_EQ(test::text_of(*body), "cell-far");
}

TEST_F(QraReaderTest, OpenFailuresNameThePath) {
  const auto missing = dir_ / "missing.qra";
  auto reader = QraReader::open(missing);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().kind(), DatError::Kind::PathError);
  EXPECT_EQ(reader.error().to_string(),
            "Failed to open file at " + missing.string() + ": No such file or directory (os error 2)");
  // A directory opens; reading its header is what fails.
  auto dir = QraReader::open(dir_.path());
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().kind(), DatError::Kind::Io);
  EXPECT_EQ(dir.error().to_string(), "IO error: Is a directory (os error 21)");
  auto null = QraReader::from_source(nullptr);
  ASSERT_FALSE(null);
  EXPECT_EQ(null.error().kind(), DatError::Kind::Other);
}

struct OpenCase {
  const char* name;
  bool from_empty;  // start from the 28-byte empty archive instead of the fixture
  std::function<void(std::vector<uint8_t>&, size_t metadata, size_t index)> patch;
  DatError::Kind kind;
  std::string message;
};

TEST_F(QraReaderTest, EveryOpenCheckReportsItsOwnError) {
  using K = DatError::Kind;
  std::vector<uint8_t> empty;
  {
    const auto path = dir_ / "empty.qra";
    auto writer = QraStreamWriter::create(path);
    ASSERT_OK(writer);
    ASSERT_OK(std::move(*writer).finish());
    empty = read_file(path);
  }
  const std::string size = std::to_string(fixture_.size());
  const OpenCase cases[] = {
      {"source shorter than a header", false, [](auto& b, size_t, size_t) { b.resize(23); }, K::Io,
       "IO error: failed to fill whole buffer"},
      {"magic letter", false, [](auto& b, size_t, size_t) { b[0] = 'X'; }, K::InvalidMagic,
       "Invalid magic for format: QRA"},
      {"magic zero byte", false, [](auto& b, size_t, size_t) { b[3] = 1; }, K::InvalidMagic,
       "Invalid magic for format: QRA"},
      {"version 1", false, [](auto& b, size_t, size_t) { put_u32_at(b, 4, 1); }, K::UnsupportedVersion,
       "Unsupported version: 1"},
      {"version 3", false, [](auto& b, size_t, size_t) { put_u32_at(b, 4, 3); }, K::UnsupportedVersion,
       "Unsupported version: 3"},
      {"index size overflows 32 bits", false, [](auto& b, size_t, size_t) { put_u32_at(b, 8, 71582789); },
       K::Corruption, "Corruption detected: QRA index size overflow"},
      {"largest index size that fits", false, [](auto& b, size_t, size_t) { put_u32_at(b, 8, 71582788); },
       K::Corruption,
       "Corruption detected: QRA index extends beyond file size (" + std::to_string(layout_.header.index_offset + 4294967280ull) +
           " > " + size + ")"},
      {"index range overflows 64 bits", false,
       [](auto& b, size_t, size_t) { put_u64_at(b, 12, UINT64_MAX - 100); }, K::Corruption,
       "Corruption detected: QRA index range overflow"},
      {"truncated by one byte", false, [](auto& b, size_t, size_t) { b.pop_back(); }, K::Corruption,
       "Corruption detected: QRA index extends beyond file size (" + size + " > " +
           std::to_string(fixture_.size() - 1) + ")"},
      {"metadata larger than index offset", false,
       [](auto& b, size_t, size_t index) { put_u32_at(b, 20, static_cast<uint32_t>(index + 1)); }, K::Corruption,
       "Corruption detected: QRA metadata offset underflow"},
      {"metadata starts inside the header", false,
       [](auto& b, size_t, size_t index) { put_u32_at(b, 20, static_cast<uint32_t>(index - 23)); },
       K::Corruption, "Corruption detected: QRA metadata offset 23 is within header area"},
      {"metadata starts right after the header", false,
       [](auto& b, size_t, size_t index) { put_u32_at(b, 20, static_cast<uint32_t>(index - 24)); },
       K::Corruption,
       "Corruption detected: QRA metadata size mismatch: header says " +
           std::to_string(layout_.header.index_offset - 24) + ", metadata contents require " +
           // the first body's bytes ("char") are then taken as the span count
           std::to_string(4 + 40 * uint64_t{test::u32_at(fixture_, 24)})},
      {"records without metadata", false, [](auto& b, size_t, size_t) { put_u32_at(b, 20, 0); }, K::Corruption,
       "Corruption detected: QRA v2 archives with entries must include namespace metadata"},
      {"span table shorter than its count", true,
       [](auto& b, size_t, size_t) { put_u32_at(b, 20, 2); }, K::BinRead,
       "Binary read error: failed to fill whole buffer"},
      {"span count too high", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m, 3); }, K::Corruption,
       "Corruption detected: QRA metadata size mismatch: header says 84, metadata contents require 124"},
      {"span count at the u32 limit", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m, 0xFFFFFFFF); },
       K::Corruption,
       "Corruption detected: QRA metadata size mismatch: header says 84, metadata contents require 171798691804"},
      {"span namespace not zero-filled", false, [](auto& b, size_t m, size_t) { b[m + 4 + 31] = 1; },
       K::InvalidNamespace,
       "Invalid namespace: namespace bytes must be zero-padded without embedded trailing data"},
      {"span namespace empty", false,
       [](auto& b, size_t m, size_t) { std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(m + 4), 32, 0); },
       K::InvalidNamespace, "Invalid namespace: namespace label cannot be empty"},
      {"span namespace not UTF-8", false, [](auto& b, size_t m, size_t) { b[m + 44] = 0xFF; }, K::InvalidNamespace,
       "Invalid namespace: namespace bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"equal span namespaces", false,
       [](auto& b, size_t m, size_t) {
         std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(m + 4), 32, b.begin() + static_cast<std::ptrdiff_t>(m + 44));
       },
       K::Corruption, "Corruption detected: QRA namespace metadata is not strictly sorted"},
      {"descending span namespaces", false,
       [](auto& b, size_t m, size_t) {
         std::swap_ranges(b.begin() + static_cast<std::ptrdiff_t>(m + 4), b.begin() + static_cast<std::ptrdiff_t>(m + 36),
                          b.begin() + static_cast<std::ptrdiff_t>(m + 44));
       },
       K::Corruption, "Corruption detected: QRA namespace metadata is not strictly sorted"},
      {"first span not at 0", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m + 4 + 32, 1); },
       K::Corruption, "Corruption detected: QRA namespace metadata is not contiguous: expected start 0, found 1"},
      {"gap before second span", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m + 44 + 32, 3); },
       K::Corruption, "Corruption detected: QRA namespace metadata is not contiguous: expected start 4, found 3"},
      {"span end overflows 32 bits", false,
       [](auto& b, size_t m, size_t) { put_u32_at(b, m + 44 + 36, 0xFFFFFFFC); }, K::Corruption,
       "Corruption detected: QRA namespace span overflow"},
      {"span end at the u32 limit", false,
       [](auto& b, size_t m, size_t) { put_u32_at(b, m + 44 + 36, 0xFFFFFFFB); }, K::Corruption,
       "Corruption detected: QRA namespace span exceeds total entry count (4294967295 > 7)"},
      {"span past the records", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m + 44 + 36, 4); },
       K::Corruption, "Corruption detected: QRA namespace span exceeds total entry count (8 > 7)"},
      {"spans cover too few records", false, [](auto& b, size_t m, size_t) { put_u32_at(b, m + 44 + 36, 2); },
       K::Corruption, "Corruption detected: QRA namespace metadata covered 6 entries but header declares 7"},
  };
  for (const auto& c : cases) {
    auto bytes = c.from_empty ? empty : fixture_;
    const size_t index = static_cast<size_t>(test::u64_at(bytes, 12));
    c.patch(bytes, index - test::u32_at(bytes, 20), index);
    auto reader = open_bytes(bytes);
    ASSERT_FALSE(reader) << c.name;
    EXPECT_EQ(reader.error().kind(), c.kind) << c.name;
    EXPECT_EQ(reader.error().to_string(), c.message) << c.name;
  }
}

TEST_F(QraReaderTest, TruncatedFileFailsAtOpenThroughTheFile) {
  // Cutting the file cuts the index first, for every length down to 24 bytes.
  for (size_t keep = fixture_.size() - 1; keep >= 24; keep -= 37) {
    std::vector<uint8_t> bytes(fixture_.begin(), fixture_.begin() + static_cast<std::ptrdiff_t>(keep));
    test::write_file(dir_ / "cut.qra", bytes);
    auto reader = QraReader::open(dir_ / "cut.qra");
    ASSERT_FALSE(reader) << keep;
    EXPECT_EQ(reader.error().to_string(), "Corruption detected: QRA index extends beyond file size (" +
                                              std::to_string(fixture_.size()) + " > " + std::to_string(keep) + ")");
  }
}

TEST_F(QraReaderTest, EntryRangeFaultsAreReportedOnLookup) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&, size_t entry)> patch;
    std::string message;
  };
  const uint64_t terrain_offset = test::u64_at(fixture_, entry_offset(0xA9B4FFFF) + 40);
  const std::string len = std::to_string(fixture_.size());
  const Case cases[] = {
      {"comp_size past the end", [](auto& b, size_t e) { put_u32_at(b, e + 52, 5000); },
       "Corruption detected: Entry range out of bounds for 0xA9B4FFFF: offset " + std::to_string(terrain_offset) +
           " + comp_size 5000 > file_len " + len},
      {"offset past the end", [](auto& b, size_t e) { put_u64_at(b, e + 40, 1u << 20); },
       "Corruption detected: Entry range out of bounds for 0xA9B4FFFF: offset 1048576 + comp_size 17 > file_len " +
           len},
      {"offset overflows", [](auto& b, size_t e) { put_u64_at(b, e + 40, UINT64_MAX); },
       "Corruption detected: Entry offset overflow for 0xA9B4FFFF: offset 18446744073709551615 + comp_size 17"},
  };
  for (const auto& c : cases) {
    auto bytes = fixture_;
    c.patch(bytes, entry_offset(0xA9B4FFFF));
    auto reader = open_bytes(bytes);
    ASSERT_OK(reader);
    auto body = reader->get_file_in_namespace("eor/cell", 0xA9B4FFFF);
    ASSERT_FALSE(body) << c.name;
    EXPECT_EQ(body.error().kind(), DatError::Kind::Corruption) << c.name;
    EXPECT_EQ(body.error().to_string(), c.message) << c.name;
    // Other records are unaffected.
    EXPECT_TRUE(reader->get_file_in_namespace("eor/cell", 0xA9B4FFFE)) << c.name;
  }
  // A body ending exactly at the end of the file is in range.
  auto bytes = fixture_;
  put_u64_at(bytes, entry_offset(0xA9B4FFFF) + 40, fixture_.size() - 17);
  auto reader = open_bytes(bytes);
  ASSERT_OK(reader);
  auto tail = reader->get_file_in_namespace("eor/cell", 0xA9B4FFFF);
  ASSERT_OK(tail);
  EXPECT_EQ(*tail, std::vector<uint8_t>(fixture_.end() - 17, fixture_.end()));
}

TEST_F(QraReaderTest, RawBodyIgnoresSizeFieldAndMarkerFlag) {
  auto bytes = fixture_;
  const size_t e = entry_offset(0x0000FFFF);
  put_u32_at(bytes, e + 48, 999);  // size disagrees with comp_size
  bytes[e + 56] = QraEntry::kFlagMarker;
  auto reader = open_bytes(bytes);
  ASSERT_OK(reader);
  auto body = reader->get_file_in_namespace("eor/cell", 0x0000FFFF);
  ASSERT_OK(body);
  EXPECT_EQ(test::text_of(*body), "cell-far");
}

TEST_F(QraReaderTest, SpanDecidesTheNamespaceNotTheEntry) {
  auto bytes = fixture_;
  const size_t e = entry_offset(0x0000FFFF);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(e), 32, 0xFF);
  auto reader = open_bytes(bytes);
  ASSERT_OK(reader);
  auto body = reader->get_file_in_namespace("eor/cell", 0x0000FFFF);
  ASSERT_OK(body);
  EXPECT_EQ(test::text_of(*body), "cell-far");
  auto entry = reader->read_entry_at(0);
  ASSERT_OK(entry);
  auto ns = entry->namespace_id();
  ASSERT_FALSE(ns);
  EXPECT_EQ(ns.error().to_string(),
            "Invalid namespace: namespace bytes are not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0");
}

class CompressedRecordTest : public QraReaderTest {
 protected:
  void SetUp() override {
    QraReaderTest::SetUp();
    auto writer = QraStreamWriter::create(path_);
    ASSERT_OK(writer);
    ASSERT_OK(writer->add("eor/portal", 0x42, 0, data_));
    ASSERT_OK(writer->add("eor/portal", 0x43, 0, bytes_of("tail")));
    ASSERT_OK(std::move(*writer).finish());
    bytes_ = read_file(path_);
    const auto raw = test::decode_raw(bytes_);
    ASSERT_EQ(raw.index.at(0).flags, QraEntry::kFlagCompressed);
    body_ = raw.index[0].offset;
    comp_size_ = raw.index[0].comp_size;
    entry_ = raw.header.index_offset;
  }

  std::string lookup_error(const std::vector<uint8_t>& bytes) {
    auto reader = open_bytes(bytes);
    if (!reader) return "open failed: " + reader.error().to_string();
    auto body = reader->get_file_in_namespace("eor/portal", 0x42);
    if (body) return "no error";
    return body.error().to_string();
  }

  std::filesystem::path path_ = dir_ / "compressed.qra";
  std::vector<uint8_t> data_ = repetitive(4096);
  std::vector<uint8_t> bytes_;
  size_t body_ = 0, comp_size_ = 0, entry_ = 0;
};

TEST_F(CompressedRecordTest, ReadsBackDecompressed) {
  auto reader = QraReader::open(path_);
  ASSERT_OK(reader);
  auto body = reader->get_file_in_namespace("eor/portal", 0x42);
  ASSERT_OK(body);
  EXPECT_EQ(*body, data_);
}

TEST_F(CompressedRecordTest, DamagedFramesFailDecompression) {
  auto bad_magic = bytes_;
  bad_magic[body_] ^= 0xFF;
  EXPECT_EQ(lookup_error(bad_magic), "Failed to recover compressed file 00000042");

  auto cut = bytes_;  // the stored frame loses its last byte
  put_u32_at(cut, entry_ + 52, static_cast<uint32_t>(comp_size_ - 1));
  EXPECT_EQ(lookup_error(cut), "Failed to recover compressed file 00000042");

  auto smaller = bytes_;  // the frame holds more than the stated size
  put_u32_at(smaller, entry_ + 48, 4095);
  EXPECT_EQ(lookup_error(smaller), "Failed to recover compressed file 00000042");

  auto larger = bytes_;
  put_u32_at(larger, entry_ + 48, 5000);
  EXPECT_EQ(lookup_error(larger), "Corruption detected: Decompressed size mismatch for 0x00000042: expected 5000, got 4096");

  // A compressed entry with no stored bytes decompresses to nothing: that is
  // the record when its size is 0, a size mismatch otherwise.
  auto nothing = bytes_;
  put_u32_at(nothing, entry_ + 52, 0);
  EXPECT_EQ(lookup_error(nothing), "Corruption detected: Decompressed size mismatch for 0x00000042: expected 4096, got 0");
  put_u32_at(nothing, entry_ + 48, 0);
  {
    auto reader = open_bytes(nothing);
    ASSERT_OK(reader);
    auto body = reader->get_file_in_namespace("eor/portal", 0x42);
    ASSERT_OK(body);
    EXPECT_TRUE(body->empty());
  }

  // A raw flag on the compressed body returns the stored frame unchanged.
  auto raw = bytes_;
  raw[entry_ + 56] = 0;
  auto reader = open_bytes(raw);
  ASSERT_OK(reader);
  auto body = reader->get_file_in_namespace("eor/portal", 0x42);
  ASSERT_OK(body);
  EXPECT_EQ(*body, std::vector<uint8_t>(bytes_.begin() + static_cast<std::ptrdiff_t>(body_),
                                        bytes_.begin() + static_cast<std::ptrdiff_t>(body_ + comp_size_)));
}

std::vector<uint8_t> zstd_frame(const std::vector<uint8_t>& data, bool record_size) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, record_size ? 1 : 0);
  std::vector<uint8_t> out(ZSTD_compressBound(data.size()));
  // Streaming without a pledged size leaves the content size out of the frame.
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  ZSTD_outBuffer dst{out.data(), out.size(), 0};
  if (!record_size) ZSTD_compressStream2(cctx, &dst, &in, ZSTD_e_continue);
  while (ZSTD_compressStream2(cctx, &dst, &in, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(cctx);
  out.resize(dst.pos);
  return out;
}

TEST(DecompressZstd, BoundedByTheExpectedSize) {
  const auto small = repetitive(1000);
  const auto big = repetitive(300 * 1024);  // larger than the initial output grant
  const auto sized = zstd_frame(small, true);
  ASSERT_NE(ZSTD_getFrameContentSize(sized.data(), sized.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  const auto unsized = zstd_frame(big, false);
  ASSERT_EQ(ZSTD_getFrameContentSize(unsized.data(), unsized.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  auto two_frames = sized;
  two_frames.insert(two_frames.end(), sized.begin(), sized.end());
  auto small_twice = small;
  small_twice.insert(small_twice.end(), small.begin(), small.end());
  const auto empty_frame = zstd_frame({}, true);

  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    size_t expected;
    std::optional<std::vector<uint8_t>> result;
  };
  const Case cases[] = {
      {"exact size", sized, 1000, small},
      {"room to spare returns the shorter output", sized, 5000, small},
      {"one byte short", sized, 999, std::nullopt},
      {"no content size, exact", unsized, big.size(), big},
      {"no content size, room to spare", unsized, big.size() + 100000, big},
      {"no content size, one byte short", unsized, big.size() - 1, std::nullopt},
      {"two frames", two_frames, 2000, small_twice},
      {"two frames, one byte short", two_frames, 1999, std::nullopt},
      {"empty frame", empty_frame, 0, std::vector<uint8_t>{}},
      {"no input gives no output", {}, 10, std::vector<uint8_t>{}},
      {"no input, nothing expected", {}, 0, std::vector<uint8_t>{}},
      {"not zstd", bytes_of("plain text, not a frame"), 100, std::nullopt},
      {"truncated frame", std::vector<uint8_t>(unsized.begin(), unsized.end() - 1), big.size(), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decompress_zstd(c.input, c.expected), c.result) << c.name;
  }
}

// Counts positional reads, to check that lookups read only what they need.
class CountingSource final : public FileExtPolyfill {
 public:
  explicit CountingSource(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
  std::expected<uint64_t, common::IoError> len_compat() const override { return inner_.len_compat(); }
  std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t> buffer, uint64_t offset) const override {
    reads.fetch_add(1);
    return inner_.read_exact_at_compat(buffer, offset);
  }
  mutable std::atomic<int> reads{0};

 private:
  MemorySource inner_;
};

TEST_F(QraReaderTest, BinarySearchOverManyRecordsAndEmptySpans) {
  // Namespaces "a" (empty span), "m" (1000 ids, stride 3), "m/x" (one id),
  // "z" (empty span). Bodies are the ids' decimal texts.
  std::vector<uint8_t> bodies;
  std::vector<QraEntry> index;
  auto add = [&](const char* ns, uint32_t id) {
    const auto body = bytes_of(std::to_string(id));
    index.push_back(QraEntry{ns_bytes(ns), id, 0, 24 + bodies.size(), static_cast<uint32_t>(body.size()),
                             static_cast<uint32_t>(body.size()), 0, 0, 0});
    bodies.insert(bodies.end(), body.begin(), body.end());
  };
  for (uint32_t i = 0; i < 1000; ++i) add("m", 3 * i + 1);
  add("m/x", 7);
  const std::vector<QraNamespaceIndexEntry> spans = {
      {ns_bytes("a"), 0, 0}, {ns_bytes("m"), 0, 1000}, {ns_bytes("m/x"), 1000, 1}, {ns_bytes("z"), 1001, 0}};
  auto source = std::make_unique<CountingSource>(assemble(bodies, spans, index));
  CountingSource* counter = source.get();
  auto reader = QraReader::from_source(std::move(source));
  ASSERT_OK(reader);
  ASSERT_EQ(reader->namespace_spans().size(), 4u);
  auto loaded = reader->read_index();
  ASSERT_OK(loaded);

  int most_reads = 0;
  for (uint32_t i = 0; i < 1000; ++i) {
    const uint32_t id = 3 * i + 1;
    counter->reads = 0;
    auto body = reader->get_file_in_namespace("m", id);
    ASSERT_OK(body);
    most_reads = std::max(most_reads, counter->reads.load());
    EXPECT_EQ(test::text_of(*body), std::to_string(id));
    auto indexed = reader->get_file_in_namespace_indexed(*loaded, "m", id);
    ASSERT_OK(indexed);
    EXPECT_EQ(*indexed, *body);
    for (uint32_t miss : {id - 1, id + 1}) {
      EXPECT_EQ(reader->get_file_in_namespace("m", miss).error().kind(), DatError::Kind::NotFound) << miss;
      EXPECT_EQ(reader->get_file_in_namespace_indexed(*loaded, "m", miss).error().kind(), DatError::Kind::NotFound);
    }
  }
  EXPECT_LE(most_reads, 10 + 1 + 1) << "about log2(1000) + 1 index reads and one body read";
  EXPECT_EQ(test::text_of(*reader->get_file_in_namespace("m/x", 7)), "7");
  for (const char* empty_ns : {"a", "z"}) {
    auto body = reader->get_file_in_namespace(empty_ns, 7);
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().to_string(), "File ID 00000007 not found in provider");
  }
  // A loaded index shorter than the spans claim fails like a read past the end.
  auto cut = reader->get_file_in_namespace_indexed(std::span<const QraEntry>(*loaded).first(10), "m", 3 * 999 + 1);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().to_string(), "IO error: failed to fill whole buffer");
}

TEST_F(QraReaderTest, ConcurrentLookupsOnOneReader) {
  auto reader = QraReader::open(fixture_path_);
  ASSERT_OK(reader);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 100; ++round) {
        for (const auto& r : test::kFixtureRecords) {
          auto body = reader->get_file_in_namespace(r.ns, r.file_id);
          if (!body || test::text_of(*body) != r.body) ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(QraRecords, RoundTripAtFieldExtremes) {
  const QraHeader header{{'Q', 'R', 'A', 0}, 0xFFFFFFFF, 0x80000001, UINT64_MAX, 0x12345678};
  const QraEntry entry{ns_bytes("eor/portal"), 0xFFFFFFFF, 0x80000000, 0x0102030405060708, 0xFFFFFFFF, 1, 0xFF, 0x7F,
                       0xBEEF};
  const QraNamespaceIndexEntry span{ns_bytes(std::string(32, 'q')), 0xFFFFFFFF, 0x01020304};
  std::vector<uint8_t> bytes;
  common::ByteWriter w(bytes);
  header.write(w);
  entry.write(w);
  span.write(w);
  ASSERT_EQ(bytes.size(), QraHeader::kSize + QraEntry::kSize + QraNamespaceIndexEntry::kSize);
  common::ByteCursor cursor(bytes);
  EXPECT_EQ(QraHeader::read(cursor), header);
  EXPECT_EQ(QraEntry::read(cursor), entry);
  EXPECT_EQ(QraNamespaceIndexEntry::read(cursor), span);
  // Little-endian and unpadded: reserved is the entry's last two bytes.
  EXPECT_EQ(bytes[24 + 58], 0xEF);
  EXPECT_EQ(bytes[24 + 59], 0xBE);
}

TEST(QraRecords, ShortBufferNamesTheFieldAndRewinds) {
  const std::vector<uint8_t> zeros(100, 0);
  struct Case {
    size_t available;
    std::function<std::optional<common::ReadError>(common::ByteCursor&)> decode;
    std::string context;
  };
  auto error_of = [](auto result) -> std::optional<common::ReadError> {
    if (result) return std::nullopt;
    return result.error();
  };
  const Case cases[] = {
      {0, [&](auto& c) { return error_of(QraHeader::read(c)); }, "While parsing field 'magic' in QraHeader"},
      {23, [&](auto& c) { return error_of(QraHeader::read(c)); }, "While parsing field 'metadata_size' in QraHeader"},
      {45, [&](auto& c) { return error_of(QraEntry::read(c)); }, "While parsing field 'offset' in QraEntry"},
      {59, [&](auto& c) { return error_of(QraEntry::read(c)); }, "While parsing field 'reserved' in QraEntry"},
      {31, [&](auto& c) { return error_of(QraNamespaceIndexEntry::read(c)); },
       "While parsing field 'namespace' in QraNamespaceIndexEntry"},
      {39, [&](auto& c) { return error_of(QraNamespaceIndexEntry::read(c)); },
       "While parsing field 'entry_count' in QraNamespaceIndexEntry"},
  };
  for (const auto& c : cases) {
    common::ByteCursor cursor(std::span<const uint8_t>(zeros).first(c.available));
    auto error = c.decode(cursor);
    ASSERT_TRUE(error.has_value()) << c.context;
    EXPECT_EQ(cursor.position(), 0u) << c.context;
    EXPECT_EQ(DatError(*error).to_string(),
              "Binary read error: failed to fill whole buffer (" + c.context + " at libs/dat/src/archive)");
  }
}

}  // namespace
}  // namespace dat
