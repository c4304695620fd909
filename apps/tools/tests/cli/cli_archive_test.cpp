// pack, ls and cat over the fixture, hand-made archives and the sample set.
#include <gtest/gtest.h>

#include "cli_harness.h"
#include "dat/archive.h"
#include "dat/database.h"
#include "manifest/manifest.h"

namespace cli_testing {
namespace {

TEST(CliArchive, LsListsTheFixtureIndexInIndexOrder) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const RunResult r = dat_shard({"ls", (tmp / "fixture.qra").string()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(r.out,
            "eor/cell:0x0000FFFF\t8\t8\t0x00\n"
            "eor/cell:0xA8B3FFFF\t17\t17\t0x00\n"
            "eor/cell:0xA9B4FFFE\t14\t14\t0x00\n"
            "eor/cell:0xA9B4FFFF\t17\t17\t0x00\n"
            "eor/portal:0x01000827\t20\t20\t0x00\n"
            "eor/portal:0x01000828\t20\t20\t0x00\n"
            "eor/portal:0x0E000002\t12\t12\t0x00\n");
}

TEST(CliArchive, LsShowsCompressedSizesAndFlags) {
  TempDir tmp;
  const auto path = tmp / "mixed.qra";
  write_archive(path, {
                          {"eor/portal", 0x06000001, std::vector<uint8_t>(4096, 0x41)},  // shrinks under zstd
                          {"eor/portal", 0x06000000, {}},                                // empty: stored raw
                          {"x", 0xFFFFFFFF, {1, 2, 3}},
                      });
  const RunResult r = dat_shard({"ls", path.string()});
  ASSERT_EQ(r.status, 0) << describe(r);
  const auto out = lines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0], "eor/portal:0x06000000\t0\t0\t0x00");
  EXPECT_EQ(out[1].rfind("eor/portal:0x06000001\t4096\t", 0), 0u) << out[1];
  EXPECT_EQ(out[1].substr(out[1].size() - 5), "\t0x01") << out[1];
  const auto comp = std::stoul(out[1].substr(std::string("eor/portal:0x06000001\t4096\t").size()));
  EXPECT_LT(comp, 100u) << out[1];
  EXPECT_EQ(out[2], "x:0xFFFFFFFF\t3\t3\t0x00");
}

TEST(CliArchive, LsOfAnEmptyArchivePrintsNothing) {
  TempDir tmp;
  write_archive(tmp / "empty.qra", {});
  const RunResult r = dat_shard({"ls", (tmp / "empty.qra").string()});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(r.out.empty());
}

TEST(CliArchive, CatWritesEachFixtureRecordByteForByte) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  for (const auto& rec : fixture_records()) {
    const std::string key = manifest::format_shard_key(rec.ns, rec.id);
    SCOPED_TRACE(key);
    const RunResult r = dat_shard({"cat", (tmp / "fixture.qra").string(), key});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, rec.body);
    EXPECT_TRUE(r.err.empty());
  }
}

TEST(CliArchive, CatKeepsBinaryBodiesIntact) {
  TempDir tmp;
  std::vector<uint8_t> every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<uint8_t>(i));
  std::vector<uint8_t> large;
  for (uint32_t i = 0; i < 70000; ++i) large.push_back(static_cast<uint8_t>((i * 7) ^ (i >> 9)));
  const std::vector<ArchiveRecord> records = {
      {"eor/portal", 1, every_byte},
      {"eor/portal", 2, {}},
      {"eor/portal", 3, large},  // stored compressed
      {"eor/cell", 1, {0, 0, 0, '\n', '\r', 0}},
  };
  write_archive(tmp / "bin.qra", records);
  for (const auto& rec : records) {
    const std::string key = manifest::format_shard_key(rec.ns, rec.id);
    SCOPED_TRACE(key);
    const RunResult r = dat_shard({"cat", (tmp / "bin.qra").string(), key});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(to_bytes(r.out), rec.body);
  }
  // Key parsing accepts what shard keys allow: short and lower-case ids.
  const RunResult short_key = dat_shard({"cat", (tmp / "bin.qra").string(), "eor/portal:0x3"});
  EXPECT_EQ(to_bytes(short_key.out), large);
}

TEST(CliArchive, PackOfTheFixtureHoldsTheSameRecords) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const auto packed = tmp / "packed.qra";
  const RunResult p = dat_shard({"pack", "--input", (tmp / "fixture.qra").string(), "--out", packed.string()});
  ASSERT_EQ(p.status, 0) << describe(p);
  EXPECT_EQ(p.out, "packed 7 records into " + packed.string() + " (" + std::to_string(fs::file_size(packed)) +
                       " bytes)\n");
  const RunResult a = dat_shard({"ls", (tmp / "fixture.qra").string()});
  const RunResult b = dat_shard({"ls", packed.string()});
  EXPECT_EQ(a.out, b.out);
  for (const auto& rec : fixture_records()) {
    const RunResult c = dat_shard({"cat", packed.string(), manifest::format_shard_key(rec.ns, rec.id)});
    EXPECT_EQ(c.out, rec.body);
  }
}

TEST(CliArchive, PackOfTheSampleSetMatchesTheDatsAndShardsLikeThem) {
  TempDir tmp;
  write_synth(tmp / "dats");
  const auto packed = tmp / "sample.qra";
  std::vector<std::string> args = {"pack", "--out", packed.string()};
  const auto inputs = synth_inputs(tmp / "dats");
  args.insert(args.end(), inputs.begin(), inputs.end());
  const RunResult p = dat_shard(args);
  ASSERT_EQ(p.status, 0) << describe(p);

  auto reader = dat::QraReader::open(packed);
  ASSERT_TRUE(reader) << reader.error().to_string();
  size_t total = 0;
  std::vector<std::pair<std::string, uint32_t>> compressed_in_dat;
  for (const auto& [file, ns] : std::vector<std::pair<std::string, std::string>>{
           {"portal.dat", "eor/portal"}, {"cell.dat", "eor/cell"}, {"local.dat", "eor/local"}}) {
    auto db = dat::DatDatabase::open(tmp / "dats" / file);
    ASSERT_TRUE(db) << db.error().to_string();
    for (const auto& [id, entry] : db->files()) {
      ++total;
      auto expected = db->get_file(id);
      ASSERT_TRUE(expected);
      auto body = reader->get_file_in_namespace(ns, id);
      ASSERT_TRUE(body) << ns << " " << id << ": " << body.error().to_string();
      ASSERT_EQ(*body, *expected) << ns << " " << id;
      if (entry.compressed() && compressed_in_dat.size() < 3) compressed_in_dat.emplace_back(ns, id);
    }
  }
  EXPECT_EQ(reader->header().entry_count, total);
  EXPECT_EQ(lines(dat_shard({"ls", packed.string()}).out).size(), total);

  // Records the DAT stores LRS-compressed come out of cat decompressed.
  ASSERT_FALSE(compressed_in_dat.empty());
  for (const auto& [ns, id] : compressed_in_dat) {
    const RunResult c = dat_shard({"cat", packed.string(), manifest::format_shard_key(ns, id)});
    EXPECT_EQ(c.status, 0) << describe(c);
    EXPECT_EQ(to_bytes(c.out), *reader->get_file_in_namespace(ns, id));
  }

  // Sharding the packed archive gives the counts of sharding the DATs.
  std::vector<std::string> from_dats = {"shard", "--json", "--out-dir", (tmp / "a").string()};
  from_dats.insert(from_dats.end(), inputs.begin(), inputs.end());
  const RunResult a = dat_shard(from_dats);
  const RunResult b = dat_shard({"shard", "--json", "--out-dir", (tmp / "b").string(), "--input", packed.string()});
  ASSERT_EQ(a.status, 0) << describe(a);
  EXPECT_EQ(a.out, b.out);
}

}  // namespace
}  // namespace cli_testing
