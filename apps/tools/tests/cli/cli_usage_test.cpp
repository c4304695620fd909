// The command line itself: usage errors (exit 2), help, version, and the
// number forms options accept.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_harness.h"

namespace cli_testing {
namespace {

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  const char* fragment;  // must appear in the error line
};

TEST(CliUsage, WrongCommandLinesExitWithStatusTwoAndAHint) {
  const std::vector<UsageCase> cases = {
      {"no subcommand", {}, "subcommand"},
      {"unknown subcommand", {"frobnicate"}, "frobnicate"},
      {"unknown flag", {"shard", "--input", "x.qra", "--out-dir", "d", "--bogus"}, "--bogus"},
      {"unknown flag and a missing required one", {"shard", "--bogus"}, "--bogus"},
      {"missing --out-dir", {"shard", "--input", "x.qra"}, "--out-dir"},
      {"--out-dir without its value", {"shard", "--input", "x.qra", "--out-dir"}, "--out-dir"},
      {"unknown layout", {"shard", "--input", "x.qra", "--out-dir", "d", "--layout", "tree"}, "--layout"},
      {"letters as spawn", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "zz"}, "bad number"},
      {"bare 0x", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "0x"}, "bad number"},
      {"trailing junk", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "12abc"}, "bad number"},
      {"hex digits in decimal", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "A9B4"}, "bad number"},
      {"hex above 32 bits", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "0x100000000"}, "bad number"},
      {"decimal above 32 bits", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", "4294967296"}, "bad number"},
      {"empty number", {"shard", "--input", "x.qra", "--out-dir", "d", "--spawn-landblock", ""}, "bad number"},
      {"verify without a directory", {"verify"}, "DIR"},
      {"verify with two directories", {"verify", "a", "b"}, "b"},
      {"verify with an unknown flag", {"verify", "a", "--fast"}, "--fast"},
      {"pack without --out", {"pack", "--input", "x.qra"}, "--out"},
      {"ls without a file", {"ls"}, "FILE"},
      {"cat without a key", {"cat", "x.qra"}, "KEY"},
      {"cat with a key without colon", {"cat", "x.qra", "nokey"}, "nokey"},
      {"cat with a key whose id is not hex", {"cat", "x.qra", "eor/portal:0xZZ"}, "eor/portal:0xZZ"},
      {"cat with a key without 0x", {"cat", "x.qra", "eor/portal:1234"}, "eor/portal:1234"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = dat_shard(c.args);
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_TRUE(r.out.empty()) << describe(r);
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 2u) << describe(r);
    EXPECT_EQ(err[0].rfind("dat-shard: error: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find(c.fragment), std::string::npos) << err[0];
    EXPECT_NE(err[1].find("--help"), std::string::npos) << err[1];
  }
}

TEST(CliUsage, UsageHintNamesTheSubcommand) {
  const RunResult r = dat_shard({"verify"});
  EXPECT_NE(r.err.find("Run 'dat-shard verify --help'"), std::string::npos) << describe(r);
}

TEST(CliUsage, HelpOnEveryLevelGoesToStdoutAndSucceeds) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"}, {"-h"}, {"shard", "--help"}, {"verify", "--help"}, {"pack", "--help"},
      {"ls", "--help"}, {"cat", "--help"}, {"shard", "-h"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    const RunResult r = dat_shard(args);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(r.err.empty()) << describe(r);
    EXPECT_NE(r.out.find("Usage: dat-shard"), std::string::npos) << describe(r);
    if (args.size() > 1) {
      EXPECT_NE(r.out.find("dat-shard " + args[0]), std::string::npos) << describe(r);
    }
  }
}

TEST(CliUsage, TopLevelHelpListsEverySubcommandAndShardHelpEveryOption) {
  const RunResult top = dat_shard({"--help"});
  for (const char* sub : {"shard", "verify", "pack", "ls", "cat"}) {
    EXPECT_NE(top.out.find(sub), std::string::npos) << sub << "\n" << top.out;
  }
  const RunResult shard = dat_shard({"shard", "--help"});
  for (const char* opt : {"--input", "--eor-portal", "--eor-cell", "--eor-local", "--out-dir", "--layout",
                          "--spawn-landblock", "--json", "--quiet"}) {
    EXPECT_NE(shard.out.find(opt), std::string::npos) << opt << "\n" << shard.out;
  }
}

TEST(CliUsage, VersionPrintsNameAndVersion) {
  const RunResult r = dat_shard({"--version"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(r.err.empty());
  const auto out = lines(r.out);
  ASSERT_EQ(out.size(), 1u) << r.out;
  EXPECT_EQ(out[0].rfind("dat-shard ", 0), 0u) << out[0];
  EXPECT_NE(out[0].find_first_of("0123456789"), std::string::npos) << out[0];
}

// The covers of a flat-layout run over the fixture with the given spawn text.
std::vector<std::string> covers_for_spawn(const std::string& spawn) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const RunResult r = dat_shard({"shard", "--input", (tmp / "fixture.qra").string(), "--out-dir",
                                 (tmp / "dist").string(), "--layout", "flat", "--spawn-landblock", spawn});
  EXPECT_EQ(r.status, 0) << describe(r);
  const auto doc = nlohmann::json::parse(read_text(tmp / "dist" / "manifest.json"));
  return doc.at("boot_pack").at("covers").get<std::vector<std::string>>();
}

TEST(CliUsage, SpawnLandblockAcceptsDecimalAndHexForms) {
  const std::vector<std::string> around_a9b4 = {"eor/cell:0xA8B3FFFF", "eor/cell:0xA9B4FFFE", "eor/cell:0xA9B4FFFF",
                                                "eor/portal:0x0E000002"};
  for (const char* spawn : {"0xA9B4", "0XA9B4", "0xa9b4", "43444", "0x0000A9B4", "0x1A9B4"}) {
    SCOPED_TRACE(spawn);
    EXPECT_EQ(covers_for_spawn(spawn), around_a9b4);
  }
  // Landblock 0 has the fixture's far terrain record as a neighbour of itself.
  const std::vector<std::string> around_zero = {"eor/cell:0x0000FFFF", "eor/portal:0x0E000002"};
  EXPECT_EQ(covers_for_spawn("0"), around_zero);
  EXPECT_EQ(covers_for_spawn("0x0"), around_zero);
}

}  // namespace
}  // namespace cli_testing
