// The input stage: archive and DAT input into the bundle, and BundleSource.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dat/archive.h"
#include "dat/database.h"
#include "dat_shard.h"
#include "dat_testing/dat_writer.h"
#include "tools_testing.h"

namespace {

namespace fs = std::filesystem;
using tools_testing::bytes_of;
using tools_testing::Record;
using tools_testing::TempDir;

TempDir make_temp() {
  auto dir = TempDir::create();
  if (!dir) ADD_FAILURE() << "tempdir: " << dir.error().debug_string();
  return std::move(*dir);
}

bool write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

std::vector<std::pair<std::string, uint32_t>> keys_of(const tools::RecordMap& records) {
  std::vector<std::pair<std::string, uint32_t>> keys;
  for (const auto& [key, body] : records) keys.push_back(key);
  return keys;
}

TEST(InputBundle, FixtureArchiveLoadsEveryRecordInNamespaceThenIdOrder) {
  TempDir dir = make_temp();
  const fs::path fixture = dir.path() / "fixture.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::build_fixture_qra(fixture));

  tools::DatShardOptions options;
  options.input = fixture;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();

  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"eor/cell", 0x0000FFFF},   {"eor/cell", 0xA8B3FFFF},   {"eor/cell", 0xA9B4FFFE},
      {"eor/cell", 0xA9B4FFFF},   {"eor/portal", 0x01000827}, {"eor/portal", 0x01000828},
      {"eor/portal", 0x0E000002},
  };
  EXPECT_EQ(keys_of(bundle->records), expected);
  for (const Record& record : tools_testing::fixture_records()) {
    const auto it = bundle->records.find(std::pair<std::string_view, uint32_t>(record.ns, record.file_id));
    ASSERT_NE(it, bundle->records.end()) << record.ns << " " << record.file_id;
    EXPECT_EQ(it->second, record.body);
  }
  EXPECT_EQ(bundle->portal_dat_iteration, 0u);
  EXPECT_EQ(bundle->cell_dat_iteration, 0u);
  EXPECT_EQ(bundle->local_dat_iteration, 0u);
}

TEST(InputBundle, ArchiveWinsOverDatPathsThatNeedNotExist) {
  TempDir dir = make_temp();
  const fs::path archive = dir.path() / "in.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(archive, {{"eor/local", 7, bytes_of("x")}}));

  tools::DatShardOptions options;
  options.input = archive;
  options.eor_portal = dir.path() / "no-such-portal.dat";
  options.eor_cell = dir.path() / "no-such-cell.dat";
  auto bundle = tools::read_input_bundle(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_EQ(keys_of(bundle->records), (std::vector<std::pair<std::string, uint32_t>>{{"eor/local", 7}}));
}

TEST(InputBundle, WithoutArchiveOrPortalDatIsRejectedBeforeOpeningAnything) {
  TempDir dir = make_temp();
  tools::DatShardOptions options;
  options.eor_cell = dir.path() / "cell.dat";  // neither exists nor is looked at
  options.eor_local = dir.path() / "local.dat";
  for (auto* read : {&tools::read_input_bundle, &tools::read_from_canonical_dats}) {
    auto bundle = read(options);
    ASSERT_FALSE(bundle.has_value());
    EXPECT_EQ(bundle.error().kind(), tools::ToolError::Kind::Validation);
    EXPECT_EQ(bundle.error().debug_string(), "Validation(\"--eor-portal or --input required\")");
  }
}

TEST(InputBundle, UnopenableArchiveIsDatOpenWithTheGivenPath) {
  TempDir dir = make_temp();
  const fs::path missing = dir.path() / "missing.qra";
  const fs::path not_archive = dir.path() / "not-an-archive.qra";
  ASSERT_TRUE(write_bytes(not_archive, std::vector<uint8_t>(64, 0x5A)));

  for (const fs::path& path : {missing, not_archive}) {
    SCOPED_TRACE(path.string());
    tools::DatShardOptions options;
    options.input = path;
    auto bundle = tools::read_input_bundle(options);
    ASSERT_FALSE(bundle.has_value());
    ASSERT_EQ(bundle.error().kind(), tools::ToolError::Kind::DatOpen);
    EXPECT_EQ(bundle.error().path(), path);
    auto direct = dat::QraReader::open(path);
    ASSERT_FALSE(direct.has_value());
    EXPECT_EQ(bundle.error().text(), direct.error().to_string());
    EXPECT_EQ(bundle.error().message(), path.string() + ": " + direct.error().to_string());
  }
  tools::DatShardOptions options;
  options.input = not_archive;
  EXPECT_EQ(tools::read_input_bundle(options).error().text(), "Invalid magic for format: QRA");
}

TEST(InputBundle, EmptyArchiveGivesEmptyBundle) {
  TempDir dir = make_temp();
  const fs::path archive = dir.path() / "empty.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(archive, {}));
  tools::DatShardOptions options;
  options.input = archive;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_TRUE(bundle->records.empty());
}

TEST(InputBundle, EntriesCarryingTheMarkerBitAreLeftOut) {
  TempDir dir = make_temp();
  const fs::path archive = dir.path() / "marked.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(
      archive, {{"eor/portal", 1, bytes_of("one")}, {"eor/portal", 2, bytes_of("two")}, {"eor/portal", 3, bytes_of("three")}}));

  // Set flags bit 2 on the index record of id 2 (index position 1).
  uint64_t flags_offset = 0;
  {
    auto reader = dat::QraReader::open(archive);
    ASSERT_TRUE(reader.has_value()) << reader.error().debug_string();
    auto entry = reader->read_entry_at(1);
    ASSERT_TRUE(entry.has_value());
    ASSERT_EQ(entry->file_id, 2u);
    flags_offset = reader->header().index_offset + 60 * 1 + 56;
  }
  auto bytes = tools_testing::read_file(archive);
  ASSERT_TRUE(bytes.has_value());
  (*bytes)[flags_offset] |= dat::QraEntry::kFlagMarker;
  ASSERT_TRUE(write_bytes(archive, *bytes));

  auto reader = dat::QraReader::open(archive);
  ASSERT_TRUE(reader.has_value());
  ASSERT_TRUE(reader->get_file_in_namespace("eor/portal", 2).has_value()) << "the body itself stays readable";

  tools::DatShardOptions options;
  options.input = archive;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_EQ(keys_of(bundle->records),
            (std::vector<std::pair<std::string, uint32_t>>{{"eor/portal", 1}, {"eor/portal", 3}}));
}

TEST(InputBundle, ArchiveBodyThatCannotBeReadNamesTheRecord) {
  TempDir dir = make_temp();
  const fs::path archive = dir.path() / "cut.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(archive, {{"eor/portal", 0x1000827, bytes_of("body-bytes")}}));
  // Point the body offset beyond the end of the file.
  uint64_t offset_field = 0;
  {
    auto reader = dat::QraReader::open(archive);
    ASSERT_TRUE(reader.has_value());
    offset_field = reader->header().index_offset + 40;
  }
  auto bytes = tools_testing::read_file(archive);
  ASSERT_TRUE(bytes.has_value());
  (*bytes)[offset_field + 3] = 0x7F;
  ASSERT_TRUE(write_bytes(archive, *bytes));
  auto reader = dat::QraReader::open(archive);
  ASSERT_TRUE(reader.has_value());
  auto direct = reader->get_file_in_namespace("eor/portal", 0x1000827);
  ASSERT_FALSE(direct.has_value());

  tools::DatShardOptions options;
  options.input = archive;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_FALSE(bundle.has_value());
  EXPECT_EQ(bundle.error().kind(), tools::ToolError::Kind::Validation);
  EXPECT_EQ(bundle.error().message(), "read eor/portal/0x1000827: " + direct.error().to_string());
}

TEST(BundleSource, ServesCopiesAndNamesMissingKeysWithEightDigits) {
  tools::RecordMap records;
  records.emplace(tools::RecordKey{"eor/portal", 0x0E000002}, bytes_of("chargen-stub"));
  records.emplace(tools::RecordKey{"eor/cell", 0xA9B4FFFF}, bytes_of("terrain"));
  const tools::BundleSource source(records);

  auto found = source.get_file_by_key({"eor/portal", 0x0E000002});
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, bytes_of("chargen-stub"));
  // A separate copy: changing it leaves the bundle alone.
  (*found)[0] = 'X';
  EXPECT_EQ(records.find(std::pair<std::string_view, uint32_t>("eor/portal", 0x0E000002))->second,
            bytes_of("chargen-stub"));

  struct Case {
    dat::ResourceKey key;
    const char* text;
  };
  const Case cases[] = {
      {{"eor/local", 0x0E000002}, "Other error: BundleSource: missing eor/local:0x0E000002"},
      {{"eor/cell", 0x0000FFFF}, "Other error: BundleSource: missing eor/cell:0x0000FFFF"},
      {{"eor/portal", 0}, "Other error: BundleSource: missing eor/portal:0x00000000"},
      // Same id, other namespace; and a label that is a prefix of a present one.
      {{"eor/cel", 0xA9B4FFFF}, "Other error: BundleSource: missing eor/cel:0xA9B4FFFF"},
  };
  for (const Case& c : cases) {
    auto missing = source.get_file_by_key(c.key);
    ASSERT_FALSE(missing.has_value()) << c.text;
    EXPECT_EQ(missing.error().kind(), dat::DatError::Kind::Other);
    EXPECT_EQ(missing.error().to_string(), c.text);
  }
}

// ---- canonical DAT input ----

struct DatSet {
  std::vector<Record> records;  // what the DATs hold, with their namespaces
  fs::path portal, cell, local;
};

// Portal, cell and local DATs sharing one file id across namespaces, some
// records stored compressed, one empty.
void write_dat_set(const fs::path& dir, DatSet& set) {
  dat_testing::DatWriter portal(256), cell(512), local(256);
  portal.set_master_map_id(0x11);
  cell.set_master_map_id(0x22);
  local.set_master_map_id(0x33);
  const auto add = [&](dat_testing::DatWriter& w, const char* ns, uint32_t id, std::vector<uint8_t> body, bool compress) {
    set.records.push_back({ns, id, body});
    w.add(id, std::move(body), compress);
  };
  add(portal, "eor/portal", 0x0E000002, bytes_of("chargen-stub"), false);
  add(portal, "eor/portal", 0x01000827, std::vector<uint8_t>(3000, 'm'), true);
  add(portal, "eor/portal", 0x01000828, std::vector<uint8_t>(3000, 'm'), false);
  add(portal, "eor/portal", 0x06000001, {}, false);
  for (uint32_t i = 0; i < 130; ++i) {  // enough for an inner directory node
    add(portal, "eor/portal", 0x08000000 + i * 3, bytes_of("surface-" + std::to_string(i)), i % 2 == 0);
  }
  add(cell, "eor/cell", 0xA9B4FFFF, bytes_of("cell-a9b4-terrain"), false);
  add(cell, "eor/cell", 0xA9B4FFFE, bytes_of("cell-a9b4-info"), true);
  add(cell, "eor/cell", 0x0E000002, bytes_of("same id, other namespace"), false);
  add(local, "eor/local", 0x0E000002, bytes_of("local-table"), false);
  set.portal = dir / "portal.dat";
  set.cell = dir / "cell.dat";
  set.local = dir / "local.dat";
  ASSERT_TRUE(portal.write_to(set.portal));
  ASSERT_TRUE(cell.write_to(set.cell));
  ASSERT_TRUE(local.write_to(set.local));
}

TEST(DatInput, ThreeDatsGiveEveryRecordUnderItsLabelWithIterations) {
  TempDir dir = make_temp();
  DatSet set;
  ASSERT_NO_FATAL_FAILURE(write_dat_set(dir.path(), set));

  tools::DatShardOptions options;
  options.eor_portal = set.portal;
  options.eor_cell = set.cell;
  options.eor_local = set.local;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_EQ(bundle->portal_dat_iteration, 0x11u);
  EXPECT_EQ(bundle->cell_dat_iteration, 0x22u);
  EXPECT_EQ(bundle->local_dat_iteration, 0x33u);

  tools::RecordMap expected;
  for (const Record& r : set.records) expected.emplace(tools::RecordKey{r.ns, r.file_id}, r.body);
  EXPECT_EQ(keys_of(bundle->records), keys_of(expected));
  EXPECT_TRUE(bundle->records == expected) << "bodies must come back decompressed and unchanged";
}

TEST(DatInput, PortalOnlyLeavesOtherIterationsZero) {
  TempDir dir = make_temp();
  DatSet set;
  ASSERT_NO_FATAL_FAILURE(write_dat_set(dir.path(), set));
  tools::DatShardOptions options;
  options.eor_portal = set.portal;
  auto bundle = tools::read_from_canonical_dats(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_EQ(bundle->portal_dat_iteration, 0x11u);
  EXPECT_EQ(bundle->cell_dat_iteration, 0u);
  EXPECT_EQ(bundle->local_dat_iteration, 0u);
  for (const auto& [key, body] : bundle->records) EXPECT_EQ(key.first, "eor/portal");
  EXPECT_EQ(bundle->records.size(), 134u);
}

TEST(DatInput, EmptyDirectoryAddsNothingButSetsTheIteration) {
  TempDir dir = make_temp();
  DatSet set;
  ASSERT_NO_FATAL_FAILURE(write_dat_set(dir.path(), set));
  dat_testing::DatWriter empty(256);
  empty.set_master_map_id(99);
  ASSERT_TRUE(empty.write_to(dir.path() / "empty.dat"));
  tools::DatShardOptions options;
  options.eor_portal = set.portal;
  options.eor_local = dir.path() / "empty.dat";
  auto bundle = tools::read_from_canonical_dats(options);
  ASSERT_TRUE(bundle.has_value()) << bundle.error().debug_string();
  EXPECT_EQ(bundle->local_dat_iteration, 99u);
  EXPECT_EQ(bundle->records.size(), 134u);
}

TEST(DatInput, MissingCellDatIsDatOpenWithTheCellPath) {
  TempDir dir = make_temp();
  DatSet set;
  ASSERT_NO_FATAL_FAILURE(write_dat_set(dir.path(), set));
  tools::DatShardOptions options;
  options.eor_portal = set.portal;
  options.eor_cell = dir.path() / "no-cell.dat";
  options.eor_local = set.local;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_FALSE(bundle.has_value());
  ASSERT_EQ(bundle.error().kind(), tools::ToolError::Kind::DatOpen) << bundle.error().debug_string();
  EXPECT_EQ(bundle.error().path(), *options.eor_cell);
  auto direct = dat::DatDatabase::open(*options.eor_cell);
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(bundle.error().text(), direct.error().to_string());
  EXPECT_EQ(bundle.error().text().rfind("Failed to open file at " + options.eor_cell->string() + ": ", 0), 0u)
      << bundle.error().text();

  options.eor_cell.reset();
  options.eor_portal = dir.path() / "no-portal.dat";
  auto no_portal = tools::read_input_bundle(options);
  ASSERT_FALSE(no_portal.has_value());
  EXPECT_EQ(no_portal.error().kind(), tools::ToolError::Kind::DatOpen);
  EXPECT_EQ(no_portal.error().path(), *options.eor_portal);
}

TEST(DatInput, UnreadableRecordIsValidationNamingNamespaceAndId) {
  TempDir dir = make_temp();
  // A directory with one entry whose block chain lies beyond the end of the file.
  dat_testing::DatImage image(256);
  image.header().root_offset = 1024;
  const dat::DatFileEntry entry{0, 0x0E000002, 0x00100000, 10, 0, 0};
  image.put_node(1024, {}, std::span<const dat::DatFileEntry>(&entry, 1));
  const fs::path path = dir.path() / "broken.dat";
  ASSERT_TRUE(write_bytes(path, image.bytes()));

  auto database = dat::DatDatabase::open(path);
  ASSERT_TRUE(database.has_value()) << database.error().debug_string();
  auto direct = database->get_file(0x0E000002);
  ASSERT_FALSE(direct.has_value());

  tools::DatShardOptions options;
  options.eor_portal = path;
  auto bundle = tools::read_input_bundle(options);
  ASSERT_FALSE(bundle.has_value());
  EXPECT_EQ(bundle.error().kind(), tools::ToolError::Kind::Validation);
  EXPECT_EQ(bundle.error().message(), "read eor/portal/0xe000002: " + direct.error().to_string());
}

}  // namespace
