// dat-synth from the command line, the boot pack of the sample set, and the
// progress display on a terminal.
#include <gtest/gtest.h>

#include <set>

#include "cli_harness.h"
#include "dat/archive.h"

namespace cli_testing {
namespace {

TEST(CliSynth, UsageErrorsExitWithStatusTwo) {
  TempDir tmp;
  const std::string out = (tmp / "d").string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--scale", "2"},
      {"--out-dir", out, "--scale", "0"},
      {"--out-dir", out, "--scale", "401"},
      {"--out-dir", out, "--scale", "two"},
      {"--out-dir", out, "--seed", "0xZ"},
      {"--out-dir", out, "--bogus"},
  };
  for (const auto& args : cases) {
    const RunResult r = dat_synth(args);
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(r.err.rfind("dat-synth: error: ", 0), 0u) << describe(r);
  }
  EXPECT_FALSE(fs::exists(tmp / "d"));
  const RunResult help = dat_synth({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--scale"), std::string::npos);
}

TEST(CliSynth, SameSeedSameBytesOtherSeedOtherBytes) {
  TempDir tmp;
  ASSERT_EQ(dat_synth({"--out-dir", (tmp / "a").string()}).status, 0);
  ASSERT_EQ(dat_synth({"--out-dir", (tmp / "b").string(), "--seed", "1"}).status, 0);
  ASSERT_EQ(dat_synth({"--out-dir", (tmp / "c").string(), "--seed", "0x2"}).status, 0);
  for (const char* file : {"portal.dat", "cell.dat", "local.dat"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(read_bytes(tmp / "a" / file), read_bytes(tmp / "b" / file));
    EXPECT_NE(read_bytes(tmp / "a" / file), read_bytes(tmp / "c" / file));
  }
}

TEST(CliSynth, BootPackOfTheSampleSetHoldsEveryRecordTypeOfTheWalk) {
  TempDir tmp;
  write_synth(tmp / "dats");
  std::vector<std::string> args = {"shard", "--out-dir", (tmp / "dist").string()};
  const auto inputs = synth_inputs(tmp / "dats");
  args.insert(args.end(), inputs.begin(), inputs.end());
  const RunResult r = dat_shard(args);
  ASSERT_EQ(r.status, 0) << describe(r);

  auto reader = dat::QraReader::open(tmp / "dist" / "boot.qra");
  ASSERT_TRUE(reader) << reader.error().to_string();
  auto index = reader->read_index();
  ASSERT_TRUE(index);
  std::set<uint32_t> portal_types;
  std::set<uint32_t> portal_ids;
  std::set<uint32_t> cell_ids;
  for (const auto& entry : *index) {
    const auto ns = entry.namespace_id();
    ASSERT_TRUE(ns);
    if (ns->as_str() == "eor/portal") {
      portal_types.insert(entry.file_id >> 24);
      portal_ids.insert(entry.file_id);
    } else if (ns->as_str() == "eor/cell") {
      cell_ids.insert(entry.file_id);
    } else {
      ADD_FAILURE() << "unexpected namespace " << ns->as_str();
    }
  }
  // Graphics objects, setup models, palettes, surface textures, textures, surfaces.
  for (uint32_t type : {0x01u, 0x02u, 0x04u, 0x05u, 0x06u, 0x08u}) {
    EXPECT_TRUE(portal_types.contains(type)) << std::hex << type;
  }
  for (uint32_t essential : {0x0E000002u, 0x0E000007u, 0x0E000004u, 0x0E00000Eu, 0x0E000018u, 0x4D4F544Bu}) {
    EXPECT_TRUE(portal_ids.contains(essential)) << std::hex << essential;
  }
  std::set<uint32_t> neighbourhood;
  for (uint32_t x : {0xA8u, 0xA9u, 0xAAu}) {
    for (uint32_t y : {0xB3u, 0xB4u, 0xB5u}) {
      neighbourhood.insert(((x << 8 | y) << 16) | 0xFFFF);
      neighbourhood.insert(((x << 8 | y) << 16) | 0xFFFE);
    }
  }
  EXPECT_EQ(cell_ids, neighbourhood);
}

TEST(CliProgress, ShownOnATerminalUnlessQuiet) {
  TempDir tmp;
  write_synth(tmp / "dats");
  const auto inputs = synth_inputs(tmp / "dats");
  std::vector<std::string> args = {"shard", "--out-dir", (tmp / "dist").string()};
  args.insert(args.end(), inputs.begin(), inputs.end());

  const RunResult shown = dat_shard(args, Stderr::Terminal);
  ASSERT_EQ(shown.status, 0) << describe(shown);
  EXPECT_NE(shown.err.find(" records, "), std::string::npos) << describe(shown);
  EXPECT_NE(shown.err.find('\r'), std::string::npos) << describe(shown);
  EXPECT_EQ(shown.out.rfind("catalog layout written to ", 0), 0u) << describe(shown);

  args.push_back("--quiet");
  const RunResult quiet = dat_shard(args, Stderr::Terminal);
  ASSERT_EQ(quiet.status, 0) << describe(quiet);
  EXPECT_TRUE(quiet.err.empty()) << describe(quiet);

  const RunResult verify = dat_shard({"verify", (tmp / "dist").string()}, Stderr::Terminal);
  EXPECT_EQ(verify.status, 0) << describe(verify);
  EXPECT_NE(verify.err.find("verify: "), std::string::npos) << describe(verify);
}

}  // namespace
}  // namespace cli_testing
