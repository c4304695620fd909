// Hostile inputs for every subcommand: damaged archives and DAT files,
// unsafe namespace labels, output paths that cannot be used and symbolic
// links planted in the output directory. Each run must exit with status 1,
// print exactly one line "dat-shard: error: ..." naming what is wrong, end
// within a second, and leave what an earlier run wrote intact.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>

#include "cli_harness.h"
#include "dat_testing/dat_writer.h"

namespace cli_testing {
namespace {

using Clock = std::chrono::steady_clock;

// ---- crafting inputs ----

void put_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(std::vector<uint8_t>& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get_u32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes.at(at + static_cast<size_t>(i))) << (8 * i);
  return v;
}
uint64_t get_u64(const std::vector<uint8_t>& bytes, size_t at) {
  return get_u32(bytes, at) | (static_cast<uint64_t>(get_u32(bytes, at + 4)) << 32);
}

// Archive offsets: header 24 bytes (entry_count at 8, index_offset at 12,
// metadata_size at 20); the span table (u32 count, then 40-byte spans) ends
// at index_offset; 60-byte index records follow (namespace bytes first).
constexpr size_t kEntryCountAt = 8;
constexpr size_t kIndexOffsetAt = 12;
constexpr size_t kMetadataSizeAt = 20;
constexpr size_t kSpanSize = 40;
constexpr size_t kEntrySize = 60;

size_t span_table_at(const std::vector<uint8_t>& a) { return get_u64(a, kIndexOffsetAt) - get_u32(a, kMetadataSizeAt); }
size_t index_at(const std::vector<uint8_t>& a) { return get_u64(a, kIndexOffsetAt); }

// A valid archive of two namespaces whose first record is a compressible
// body, so that its zstd frame starts at offset 24.
std::vector<uint8_t> base_archive(const fs::path& dir) {
  const fs::path path = dir / "base.qra";
  std::vector<ArchiveRecord> records = {{"eor/portal", 0x0E000002, std::vector<uint8_t>(4096, 'z')}};
  for (const auto& r : fixture_records()) {
    if (r.id != 0x0E000002) records.push_back({r.ns, r.id, to_bytes(r.body)});
  }
  write_archive(path, records);
  return read_bytes(path);
}

std::vector<uint8_t> dat_bytes(const dat_testing::DatImage& image) { return image.bytes(); }

// ---- snapshots of a directory ----

// Every entry below `root`: file bytes, link targets, "dir" for directories.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  if (!fs::exists(fs::symlink_status(root))) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path rel = fs::relative(it->path(), root);
    if (it->is_symlink()) {
      out[rel.string()] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      out[rel.string()] = "dir";
    } else {
      out[rel.string()] = read_text(it->path());
    }
  }
  return out;
}

// ---- the table ----

struct Row {
  std::string name;
  std::vector<std::string> args;
  std::string mentions;  // text the error line must contain
};

void expect_one_clean_failure(const Row& row) {
  SCOPED_TRACE(row.name);
  const auto t0 = Clock::now();
  const RunResult r = dat_shard(row.args);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(r.status, 1) << describe(r);
  const auto err = lines(r.err);
  ASSERT_EQ(err.size(), 1u) << describe(r);
  EXPECT_EQ(err[0].rfind("dat-shard: error: ", 0), 0u) << err[0];
  EXPECT_NE(err[0].find(row.mentions), std::string::npos) << "expected \"" << row.mentions << "\" in: " << err[0];
  EXPECT_LT(seconds, 1.0) << "took " << seconds << " s";
}

class Hostile : public testing::Test {
 protected:
  void SetUp() override {
    base_ = base_archive(tmp_.path());
    // A good distribution of each layout, in the directories the failing
    // shard runs write to.
    ASSERT_NO_FATAL_FAILURE(write_fixture(tmp_ / "good.qra"));
    for (const char* layout : {"flat", "catalog"}) {
      const RunResult r = dat_shard(
          {"shard", "--input", (tmp_ / "good.qra").string(), "--out-dir", dist(layout).string(), "--layout", layout});
      ASSERT_EQ(r.status, 0) << describe(r);
      before_[layout] = snapshot(dist(layout));
    }
  }

  fs::path dist(const std::string& layout) const { return tmp_ / ("dist-" + layout); }

  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = tmp_ / name;
    write_bytes(path, bytes);
    return path.string();
  }

  // Rows for every subcommand that reads a packed archive. `key` is the
  // record cat asks for; ls is left out when it does not read what is damaged.
  std::vector<Row> archive_rows(const std::string& name, const std::string& path, const std::string& mentions,
                                bool ls_sees_it = true, const std::string& key = "eor/portal:0x0E000002") {
    std::vector<Row> rows;
    for (const char* layout : {"flat", "catalog"}) {
      rows.push_back({name + ", shard " + layout,
                      {"shard", "--input", path, "--out-dir", dist(layout).string(), "--layout", layout, "-q"},
                      mentions});
    }
    rows.push_back({name + ", pack", {"pack", "--input", path, "--out", (tmp_ / "packed.qra").string(), "-q"},
                    mentions});
    if (ls_sees_it) rows.push_back({name + ", ls", {"ls", path}, mentions});
    rows.push_back({name + ", cat", {"cat", path, key}, mentions});
    return rows;
  }

  // Rows for every subcommand that reads a portal DAT.
  std::vector<Row> dat_rows(const std::string& name, const std::string& path, const std::string& mentions) {
    std::vector<Row> rows;
    for (const char* layout : {"flat", "catalog"}) {
      rows.push_back({name + ", shard " + layout,
                      {"shard", "--eor-portal", path, "--out-dir", dist(layout).string(), "--layout", layout, "-q"},
                      mentions});
    }
    rows.push_back({name + ", pack", {"pack", "--eor-portal", path, "--out", (tmp_ / "packed.qra").string(), "-q"},
                    mentions});
    return rows;
  }

  void run_rows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      expect_one_clean_failure(row);
      // Every failure here happens before anything is written.
      for (const char* layout : {"flat", "catalog"}) {
        EXPECT_EQ(snapshot(dist(layout)), before_[layout]) << row.name << " changed " << dist(layout);
      }
      EXPECT_FALSE(fs::exists(tmp_ / "packed.qra")) << row.name;
    }
  }

  TempDir tmp_;
  std::vector<uint8_t> base_;
  std::map<std::string, std::map<std::string, std::string>> before_;
};

TEST_F(Hostile, DamagedArchives) {
  std::vector<Row> rows;
  const auto add = [&](std::vector<Row> more) { rows.insert(rows.end(), more.begin(), more.end()); };

  const std::string empty = file("empty.qra", {});
  add(archive_rows("empty file", empty, empty + ": "));

  const std::string truncated = file("truncated.qra", std::vector<uint8_t>(base_.begin(), base_.begin() + 10));
  add(archive_rows("truncated header", truncated, truncated + ": "));

  auto magic = base_;
  magic[2] = 'B';
  const std::string wrong_magic = file("magic.qra", magic);
  add(archive_rows("wrong magic", wrong_magic, "Invalid magic"));

  auto past = base_;
  put_u64(past, kIndexOffsetAt, past.size() - 10);
  const std::string index_past = file("index-past.qra", past);
  add(archive_rows("index past the end", index_past, index_past + ": "));

  // The two spans (eor/cell, eor/portal) swapped: namespaces out of order.
  auto swapped = base_;
  {
    const size_t spans = span_table_at(swapped) + 4;
    std::vector<uint8_t> first(swapped.begin() + static_cast<std::ptrdiff_t>(spans),
                               swapped.begin() + static_cast<std::ptrdiff_t>(spans + kSpanSize));
    std::copy_n(swapped.begin() + static_cast<std::ptrdiff_t>(spans + kSpanSize), kSpanSize,
                swapped.begin() + static_cast<std::ptrdiff_t>(spans));
    std::copy(first.begin(), first.end(), swapped.begin() + static_cast<std::ptrdiff_t>(spans + kSpanSize));
  }
  const std::string out_of_order = file("spans.qra", swapped);
  add(archive_rows("spans out of order", out_of_order, out_of_order + ": "));

  // The zstd frame of the first record (offset 24) damaged: only reading
  // the body notices, so ls (which lists the index) succeeds.
  auto body = base_;
  body[24] ^= 0xFF;
  body[25] ^= 0xFF;
  const std::string damaged = file("body.qra", body);
  add(archive_rows("damaged compressed body", damaged, "0E000002", false, "eor/portal:0x0E000002"));

  auto huge = base_;
  put_u32(huge, kEntryCountAt, 0xFFFFFFFF);
  const std::string huge_entries = file("huge-entries.qra", huge);
  add(archive_rows("huge entry count", huge_entries, huge_entries + ": "));

  auto huge_spans = base_;
  put_u32(huge_spans, span_table_at(huge_spans), 0x7FFFFFFF);
  const std::string many_spans = file("huge-spans.qra", huge_spans);
  add(archive_rows("huge span count", many_spans, many_spans + ": "));

  auto huge_span = base_;
  put_u32(huge_span, span_table_at(huge_span) + 4 + 36, 0xFFFFFFF0);
  const std::string long_span = file("huge-span.qra", huge_span);
  add(archive_rows("huge span length", long_span, long_span + ": "));

  // A namespace label that is not UTF-8, in the span table (refused on
  // open) and in one index record only (refused when that record is read).
  auto bad_span = base_;
  bad_span[span_table_at(bad_span) + 4 + 1] = 0xFF;
  const std::string bad_span_label = file("label-span.qra", bad_span);
  add(archive_rows("non-UTF-8 span label", bad_span_label, "utf-8"));

  auto bad_entry = base_;
  bad_entry[index_at(bad_entry) + 1] = 0xC3;  // "e\xC3r/cell": a lead byte without its continuation
  const std::string bad_entry_label = file("label-entry.qra", bad_entry);
  std::vector<Row> entry_rows = archive_rows("non-UTF-8 entry label", bad_entry_label, "utf-8", true);
  // cat finds records through the (intact) span table and never decodes the
  // damaged label.
  entry_rows.pop_back();
  add(entry_rows);

  run_rows(rows);
}

TEST_F(Hostile, DamagedDats) {
  std::vector<Row> rows;
  const auto add = [&](std::vector<Row> more) { rows.insert(rows.end(), more.begin(), more.end()); };

  const std::string empty = file("empty.dat", {});
  add(dat_rows("empty DAT", empty, empty + ": "));

  dat_testing::DatWriter writer(1024);
  writer.add(0x0E000002, std::vector<uint8_t>(300, 'x'));
  const std::vector<uint8_t> good = writer.build();
  const std::string truncated = file("truncated.dat", std::vector<uint8_t>(good.begin(), good.begin() + 340));
  add(dat_rows("truncated DAT header", truncated, truncated + ": "));

  // A directory node whose branches lead back to itself.
  dat_testing::DatImage loop(1024);
  loop.header().root_offset = 1024;
  const std::vector<dat::DatFileEntry> one = {dat::DatFileEntry{0, 0x0E000002, 3072, 4, 0, 0}};
  const std::vector<uint32_t> to_itself = {1024, 1024};
  loop.put_node(1024, to_itself, one);
  loop.put_block(3072, 0, to_bytes("body"));
  const std::string looped = file("loop.dat", dat_bytes(loop));
  add(dat_rows("directory loop", looped, looped + ": "));

  dat_testing::DatImage tiny(4);
  tiny.header().root_offset = 1024;
  tiny.put_node(1024, {}, one);
  const std::string block4 = file("block4.dat", dat_bytes(tiny));
  add(dat_rows("block size 4", block4, "block size 4"));

  dat_testing::DatImage many(1024);
  many.header().root_offset = 1024;
  many.put_node(1024, {}, one, 0xFFFFFFFF);
  const std::string huge = file("huge.dat", dat_bytes(many));
  add(dat_rows("huge entry count", huge, huge + ": "));

  dat_testing::DatImage beyond(1024);
  beyond.header().root_offset = 0x7FFFF000;
  const std::string past = file("root-past.dat", dat_bytes(beyond));
  add(dat_rows("directory root past the end", past, past + ": "));

  // A record whose stated length runs far past the end of the file. (A
  // damaged compressed DAT body is no failure: the record decoder yields what
  // it decoded up to the fault, by design.)
  dat_testing::DatImage long_record(1024);
  long_record.header().root_offset = 1024;
  long_record.put_node(1024, {}, std::vector<dat::DatFileEntry>{dat::DatFileEntry{0, 0x0E000002, 3072, 0xFFFFFF00, 0, 0}});
  long_record.put_block(3072, 0, to_bytes("short"));
  const std::string overlong = file("long.dat", dat_bytes(long_record));
  add(dat_rows("record size past the end", overlong, "eor/portal/0xe000002"));

  run_rows(rows);
}

TEST_F(Hostile, UnsafeAndCollidingLabelsInTheCatalogLayout) {
  std::vector<Row> rows;
  const std::vector<std::pair<std::string, std::vector<ArchiveRecord>>> inputs = {
      {"a/b and a-b share a slug", {{"a/b", 1, to_bytes("one")}, {"a-b", 2, to_bytes("two")}}},
      {"label ..", {{"eor/portal", 1, to_bytes("one")}, {"..", 2, to_bytes("two")}}},
      {"label .", {{".", 2, to_bytes("two")}}},
      {"label naming a prefix directory", {{"eor/portal", 1, to_bytes("one")}, {"7e", 2, to_bytes("two")}}},
  };
  int n = 0;
  for (const auto& [name, records] : inputs) {
    const fs::path path = tmp_ / ("labels-" + std::to_string(n++) + ".qra");
    ASSERT_NO_FATAL_FAILURE(write_archive(path, records));
    rows.push_back({name,
                    {"shard", "--input", path.string(), "--out-dir", dist("catalog").string(), "--layout", "catalog"},
                    "slug"});
  }
  run_rows(rows);
}

TEST_F(Hostile, UnusableOutputPaths) {
  write_text(tmp_ / "plain", "a regular file");
  const std::string plain = (tmp_ / "plain").string();
  const std::string good = (tmp_ / "good.qra").string();
  std::vector<Row> rows = {
      {"out dir is a file, flat", {"shard", "--input", good, "--out-dir", plain, "--layout", "flat"}, plain},
      {"out dir is a file, catalog", {"shard", "--input", good, "--out-dir", plain}, plain},
      {"out dir under a file", {"shard", "--input", good, "--out-dir", plain + "/dist"}, plain + "/dist"},
      {"pack into a directory", {"pack", "--input", good, "--out", tmp_.path().string()}, tmp_.path().string()},
      {"pack under a file", {"pack", "--input", good, "--out", plain + "/x.qra"}, plain + "/x.qra"},
      {"verify a file", {"verify", plain}, plain},
      {"verify a missing directory", {"verify", (tmp_ / "absent").string()}, "manifest.json"},
  };
  run_rows(rows);
  EXPECT_EQ(read_text(tmp_ / "plain"), "a regular file");
}

TEST_F(Hostile, ReadOnlyOutputDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  for (const char* layout : {"flat", "catalog"}) {
    const fs::path dir = dist(layout);
    fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    // The rerun has to change something to need the directory: a new record.
    const fs::path input = tmp_ / "more.qra";
    std::vector<ArchiveRecord> records;
    for (const auto& r : fixture_records()) records.push_back({r.ns, r.id, to_bytes(r.body)});
    records.push_back({"eor/local", 7, to_bytes("a record the first run did not have")});
    ASSERT_NO_FATAL_FAILURE(write_archive(input, records));
    expect_one_clean_failure(
        {std::string("read-only ") + layout,
         {"shard", "--input", input.string(), "--out-dir", dir.string(), "--layout", layout}, dir.string()});
    fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(dat_shard({"verify", dir.string(), "-q"}).status, 0);
  }
}

TEST_F(Hostile, DamagedDistributionsFailVerify) {
  struct Damage {
    std::string name;
    std::string layout;
    std::string path;  // relative to the distribution
    std::optional<std::vector<uint8_t>> bytes;  // nothing: remove the file
    std::string mentions;
  };
  std::vector<uint8_t> huge_catalog = read_bytes(dist("catalog") / "manifest" / "eor-portal.bin");
  const std::vector<Damage> damages = {
      {"empty manifest", "flat", "manifest.json", std::vector<uint8_t>{}, "manifest.json"},
      {"truncated manifest", "catalog", "manifest.json", to_bytes("{\"version\": 2, \"generated_at"), "manifest.json"},
      {"manifest of an unknown version", "flat", "manifest.json", to_bytes("{\"version\": 99}"), "version 99"},
      {"manifest version too large", "flat", "manifest.json", to_bytes("{\"version\": 18446744073709551616}"),
       "manifest.json"},
      {"manifest not an object", "catalog", "manifest.json", to_bytes("[1,2,3]"), "manifest.json"},
      {"empty catalog", "catalog", "manifest/eor-portal.bin", std::vector<uint8_t>{}, "eor-portal.bin"},
      {"catalog with a wrong magic", "catalog", "manifest/eor-cell.bin", to_bytes("XXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"),
       "eor-cell.bin"},
      {"missing catalog", "catalog", "manifest/eor-cell.bin", std::nullopt, "eor-cell.bin"},
      {"empty boot pack", "flat", "boot.qra", std::vector<uint8_t>{}, "boot.qra"},
      {"boot pack with a wrong magic", "catalog", "boot.qra", to_bytes("QRB"), "boot.qra"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    TempDir copy;
    const fs::path dir = copy / "dist";
    fs::copy(dist(d.layout), dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    if (d.bytes) {
      write_bytes(dir / d.path, *d.bytes);
    } else {
      fs::remove(dir / d.path);
    }
    const auto damaged = snapshot(dir);
    expect_one_clean_failure({d.name, {"verify", dir.string()}, d.mentions});
    EXPECT_EQ(snapshot(dir), damaged) << "verify changed the directory";
  }
}

// Symbolic links planted where the tool would create an entry: refused, with
// nothing written through them.
TEST_F(Hostile, SymbolicLinksInsideTheOutputDirectoryAreRefused) {
  const fs::path outside = tmp_ / "outside";
  fs::create_directories(outside);
  write_text(tmp_ / "outside-file", "not ours");
  const std::string good = (tmp_ / "good.qra").string();
  struct Plant {
    std::string layout;
    std::string at;  // relative to a fresh output directory
    bool to_directory;
  };
  // A prefix directory the fixture uses: the first two hex digits of the
  // SHA-256 of one of its bodies, read back from a good flat run.
  std::string prefix;
  for (const auto& entry : fs::directory_iterator(dist("catalog") / "shards")) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 2) prefix = name;
  }
  ASSERT_EQ(prefix.size(), 2u);
  const std::vector<Plant> plants = {
      {"flat", "shards", true},           {"catalog", "shards", true},
      {"flat", "manifest.json", false},   {"catalog", "manifest.json", false},
      {"flat", "boot.qra", false},        {"catalog", "boot.qra", false},
      {"catalog", "shards/" + prefix, true}, {"catalog", "shards/eor-cell", true},
      {"catalog", "manifest", true},      {"catalog", "manifest/eor-portal.bin", false},
  };
  int n = 0;
  for (const Plant& p : plants) {
    const fs::path out = tmp_ / ("planted-" + std::to_string(n++));
    fs::create_directories((out / p.at).parent_path());
    fs::create_symlink(p.to_directory ? outside : tmp_ / "outside-file", out / p.at);
    expect_one_clean_failure({p.layout + " " + p.at,
                              {"shard", "--input", good, "--out-dir", out.string(), "--layout", p.layout},
                              "symbolic link \"" + (out / p.at).string() + "\""});
    EXPECT_TRUE(fs::is_empty(outside)) << p.at;
    EXPECT_EQ(read_text(tmp_ / "outside-file"), "not ours") << p.at;
    EXPECT_TRUE(fs::is_symlink(out / p.at)) << p.at;
    if (p.at != "manifest.json") {
      EXPECT_FALSE(fs::exists(fs::symlink_status(out / "manifest.json"))) << p.at;
    }
  }
}

// A link planted at a directory that only a new record needs: the rerun
// fails part-way, and the earlier distribution still verifies.
TEST_F(Hostile, RefusalPartWayLeavesTheEarlierDistributionValid) {
  const fs::path outside = tmp_ / "outside";
  fs::create_directories(outside);
  std::vector<ArchiveRecord> records;
  for (const auto& r : fixture_records()) records.push_back({r.ns, r.id, to_bytes(r.body)});
  records.push_back({"eor/local", 7, to_bytes("a record in a namespace the first run did not have")});
  const fs::path input = tmp_ / "more.qra";
  ASSERT_NO_FATAL_FAILURE(write_archive(input, records));
  const fs::path dir = dist("catalog");
  fs::create_symlink(outside, dir / "shards" / "eor-local");
  expect_one_clean_failure({"planted namespace directory",
                            {"shard", "--input", input.string(), "--out-dir", dir.string()},
                            (dir / "shards" / "eor-local").string()});
  EXPECT_TRUE(fs::is_empty(outside));
  const RunResult verify = dat_shard({"verify", dir.string()});
  EXPECT_EQ(verify.status, 0) << describe(verify);
}

}  // namespace
}  // namespace cli_testing
