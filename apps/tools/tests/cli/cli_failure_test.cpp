// Operations that fail: exit status 1 and exactly one line on stderr,
// "dat-shard: error: " followed by the library's message.
#include <gtest/gtest.h>

#include "cli_harness.h"

namespace cli_testing {
namespace {

struct FailureCase {
  std::string name;
  std::vector<std::string> args;
  std::string message;  // the exact text after "dat-shard: error: "
};

void expect_failure(const FailureCase& c) {
  SCOPED_TRACE(c.name);
  const RunResult r = dat_shard(c.args);
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(r.out.empty()) << describe(r);
  EXPECT_EQ(r.err, "dat-shard: error: " + c.message + "\n") << describe(r);
}

TEST(CliFailure, NeitherInputIsTheLibrarysMessage) {
  TempDir tmp;
  const std::string out = (tmp / "dist").string();
  const std::string cell = (tmp / "cell.dat").string();
  const std::string message = "--eor-portal or --input required";
  for (const FailureCase& c : std::vector<FailureCase>{
           {"shard, catalog layout", {"shard", "--out-dir", out}, message},
           {"shard, flat layout", {"shard", "--out-dir", out, "--layout", "flat"}, message},
           {"shard with only a cell DAT", {"shard", "--out-dir", out, "--eor-cell", cell}, message},
           {"pack", {"pack", "--out", (tmp / "x.qra").string()}, message},
           {"pack with only a local DAT", {"pack", "--out", (tmp / "x.qra").string(), "--eor-local", cell}, message},
       }) {
    expect_failure(c);
  }
}

TEST(CliFailure, MissingInputNamesThePathTwice) {
  TempDir tmp;
  const std::string missing = (tmp / "absent.qra").string();
  const std::string missing_dat = (tmp / "absent.dat").string();
  const std::string out = (tmp / "dist").string();
  const auto open_failure = [](const std::string& path) {
    return path + ": Failed to open file at " + path + ": No such file or directory (os error 2)";
  };
  for (const FailureCase& c : std::vector<FailureCase>{
           {"shard --input", {"shard", "--input", missing, "--out-dir", out}, open_failure(missing)},
           {"shard --input, flat", {"shard", "--input", missing, "--out-dir", out, "--layout", "flat"},
            open_failure(missing)},
           {"shard --eor-portal", {"shard", "--eor-portal", missing_dat, "--out-dir", out}, open_failure(missing_dat)},
           {"pack --input", {"pack", "--input", missing, "--out", (tmp / "p.qra").string()}, open_failure(missing)},
           {"ls", {"ls", missing}, open_failure(missing)},
           {"cat", {"cat", missing, "eor/portal:0x0E000002"}, open_failure(missing)},
       }) {
    expect_failure(c);
  }
}

TEST(CliFailure, NonArchiveInputIsInvalidMagic) {
  TempDir tmp;
  const auto text = tmp / "notes.qra";
  write_text(text, "these are plain notes, not a packed archive at all\n");
  const std::string p = text.string();
  const std::string out = (tmp / "dist").string();
  const std::string message = p + ": Invalid magic for format: QRA";
  for (const FailureCase& c : std::vector<FailureCase>{
           {"shard, catalog layout", {"shard", "--input", p, "--out-dir", out}, message},
           {"shard, flat layout", {"shard", "--input", p, "--out-dir", out, "--layout", "flat"}, message},
           {"pack", {"pack", "--input", p, "--out", (tmp / "p.qra").string()}, message},
           {"ls", {"ls", p}, message},
           {"cat", {"cat", p, "eor/portal:0x0E000002"}, message},
       }) {
    expect_failure(c);
  }
}

TEST(CliFailure, InputWinsOverDatPathsThatDoNotExist) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const RunResult r = dat_shard({"shard", "--input", (tmp / "fixture.qra").string(), "--eor-portal",
                                 (tmp / "absent.dat").string(), "--out-dir", (tmp / "dist").string(), "--json"});
  EXPECT_EQ(r.status, 0) << describe(r);
}

TEST(CliFailure, CatOfAnAbsentKeySaysNotFound) {
  TempDir tmp;
  const auto fixture = tmp / "fixture.qra";
  write_fixture(fixture);
  // The fixture's terrain id exists in eor/cell only.
  const RunResult r = dat_shard({"cat", fixture.string(), "eor/portal:0xA9B4FFFF"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.err, "dat-shard: error: " + fixture.string() +
                       ": eor/portal:0xA9B4FFFF: File ID A9B4FFFF not found in provider\n");
}

TEST(CliFailure, UncreatableOutputDirectory) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  write_text(tmp / "plain", "a regular file");
  const RunResult r = dat_shard({"shard", "--input", (tmp / "fixture.qra").string(), "--out-dir",
                                 (tmp / "plain" / "dist").string()});
  EXPECT_EQ(r.status, 1) << describe(r);
  ASSERT_EQ(lines(r.err).size(), 1u) << describe(r);
  EXPECT_EQ(r.err.rfind("dat-shard: error: create output dir ", 0), 0u) << r.err;
}

TEST(CliFailure, PackIntoAnUnwritablePathNamesIt) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const auto out = tmp / "no-such-dir" / "out.qra";
  const RunResult r = dat_shard({"pack", "--input", (tmp / "fixture.qra").string(), "--out", out.string()});
  EXPECT_EQ(r.status, 1) << describe(r);
  ASSERT_EQ(lines(r.err).size(), 1u) << describe(r);
  EXPECT_EQ(r.err.rfind("dat-shard: error: " + out.string() + ": ", 0), 0u) << r.err;
}

}  // namespace
}  // namespace cli_testing
