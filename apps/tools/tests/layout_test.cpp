// Both output layouts in detail: exact manifest text, shard and link files,
// reruns, failures before anything is written, timestamps.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <map>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "common/io.h"
#include "dat_shard.h"
#include "verify.h"
#include "dat_testing/dat_writer.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"
#include "tools_testing.h"

namespace {

namespace fs = std::filesystem;
using tools_testing::bytes_of;
using tools_testing::Record;
using tools_testing::TempDir;

constexpr int64_t kClock = 1735689599;  // 2024-12-31T23:59:59Z

std::string sha(std::string_view text) { return manifest::sha256_hex(bytes_of(text)); }

struct ShardRun {
  TempDir dir;
  fs::path out_dir;
  tools::DatShardOptions options;
};

// A temp dir holding `records` as in.qra, and options sharding it into dist.
void prepare(const std::vector<Record>& records, std::optional<ShardRun>& out) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value()) << "tempdir: " << dir.error().debug_string();
  const fs::path input = dir->path() / "in.qra";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(input, records));
  tools::DatShardOptions options;
  options.input = input;
  options.out_dir = dir->path() / "dist";
  options.clock = [] { return kClock; };
  const fs::path out_dir = options.out_dir;
  out.emplace(ShardRun{std::move(*dir), out_dir, std::move(options)});
}

std::string boot_size(const fs::path& out_dir) {
  auto file = tools_testing::read_file(out_dir / "boot.qra");
  return file ? std::to_string(file->size()) : "?";
}
std::string boot_sha(const fs::path& out_dir) {
  auto file = tools_testing::read_file(out_dir / "boot.qra");
  return file ? manifest::sha256_hex(*file) : "?";
}

const std::vector<Record> kTwoRecords = {
    {"eor/portal", 0x0E000002, bytes_of("chargen-stub")},
    {"eor/cell", 0xA9B4FFFF, bytes_of("terrain")},
};

TEST(FlatLayout, ManifestTextIsExact) {
  std::optional<ShardRun> run;
  ASSERT_NO_FATAL_FAILURE(prepare(kTwoRecords, run));
  auto result = tools::shard_bundle(run->options);
  ASSERT_TRUE(result.has_value()) << result.error().debug_string();

  const std::string expected = fmt::format(R"({{
  "version": 1,
  "generated_at": "2024-12-31T23:59:59Z",
  "source": {{
    "portal_dat_iteration": 0,
    "cell_dat_iteration": 0,
    "local_dat_iteration": 0
  }},
  "boot_pack": {{
    "url": "boot.qra",
    "size": {},
    "sha256": "{}",
    "covers": [
      "eor/cell:0xA9B4FFFF",
      "eor/portal:0x0E000002"
    ]
  }},
  "shards": {{
    "eor/cell:0xA9B4FFFF": {{
      "sha256": "{}",
      "size": 7,
      "url": "shards/{}.bin"
    }},
    "eor/portal:0x0E000002": {{
      "sha256": "{}",
      "size": 12,
      "url": "shards/{}.bin"
    }}
  }}
}})",
                                           boot_size(run->out_dir), boot_sha(run->out_dir), sha("terrain"),
                                           sha("terrain"), sha("chargen-stub"), sha("chargen-stub"));
  EXPECT_EQ(tools_testing::read_text(run->out_dir / "manifest.json"), expected);
  EXPECT_EQ(result->generated_at, "2024-12-31T23:59:59Z");

  // The shard directory is flat and holds each body under its digest.
  std::vector<std::string> expected_shards = {sha("terrain") + ".bin F 7:" + sha("terrain"),
                                              sha("chargen-stub") + ".bin F 12:" + sha("chargen-stub")};
  std::sort(expected_shards.begin(), expected_shards.end());
  EXPECT_EQ(tools_testing::tree_snapshot(run->out_dir / "shards"), expected_shards);
}

TEST(CatalogLayout, ManifestTextIsExact) {
  std::optional<ShardRun> run;
  ASSERT_NO_FATAL_FAILURE(prepare(kTwoRecords, run));
  auto result = tools::shard_bundle_v2(run->options);
  ASSERT_TRUE(result.has_value()) << result.error().debug_string();

  const std::string expected = fmt::format(R"({{
  "version": 2,
  "generated_at": "2024-12-31T23:59:59Z",
  "source": {{
    "portal_dat_iteration": 0,
    "cell_dat_iteration": 0,
    "local_dat_iteration": 0
  }},
  "boot_pack": {{
    "url": "boot.qra",
    "size": {},
    "sha256": "{}"
  }},
  "catalog_version": 1,
  "namespaces": [
    "eor/cell",
    "eor/portal"
  ],
  "shard_url_template": "shards/{{sha256_prefix2}}/{{sha256}}.bin",
  "catalog_url_template": "manifest/{{namespace_slug}}.bin"
}})",
                                           boot_size(run->out_dir), boot_sha(run->out_dir));
  EXPECT_EQ(tools_testing::read_text(run->out_dir / "manifest.json"), expected);
  EXPECT_EQ(result->record_count, 2u);
  EXPECT_EQ(result->shard_count, 2u);
  EXPECT_EQ(result->namespace_count, 2u);
  EXPECT_EQ(result->boot_record_count, 2u);
  EXPECT_EQ(std::to_string(result->boot_size), boot_size(run->out_dir));
}

std::string prefix_hex(std::string_view text) { return sha(text).substr(0, 32); }

std::array<uint8_t, 16> prefix_bytes(std::string_view text) {
  const auto digest = manifest::sha256_digest(bytes_of(text));
  std::array<uint8_t, 16> out{};
  std::copy_n(digest.begin(), 16, out.begin());
  return out;
}

TEST(CatalogLayout, CatalogsLinksAndShardsDescribeEveryRecord) {
  const std::vector<Record> records = {
      {"eor/portal", 0x0E000002, bytes_of("chargen-stub")},
      {"eor/portal", 0x01000828, bytes_of("model-bytes")},
      {"eor/portal", 0x01000827, bytes_of("model-bytes")},
      {"eor/local", 0x01000827, bytes_of("model-bytes")},  // same body in another namespace
      {"eor/local", 5, {}},                                 // empty body
  };
  std::optional<ShardRun> run;
  ASSERT_NO_FATAL_FAILURE(prepare(records, run));
  auto result = tools::shard_bundle_v2(run->options);
  ASSERT_TRUE(result.has_value()) << result.error().debug_string();
  EXPECT_EQ(result->record_count, 5u);
  EXPECT_EQ(result->shard_count, 3u);
  EXPECT_EQ(result->manifest.namespaces, (std::vector<std::string>{"eor/local", "eor/portal"}));

  struct Expect {
    const char* ns;
    uint32_t id;
    const char* body;
  };
  const std::vector<std::pair<std::string, std::vector<Expect>>> catalogs = {
      {"eor/local", {{"eor/local", 5, ""}, {"eor/local", 0x01000827, "model-bytes"}}},
      {"eor/portal",
       {{"eor/portal", 0x01000827, "model-bytes"},
        {"eor/portal", 0x01000828, "model-bytes"},
        {"eor/portal", 0x0E000002, "chargen-stub"}}},
  };
  for (const auto& [ns, expected] : catalogs) {
    const fs::path path = run->out_dir / "manifest" / (manifest::namespace_slug(ns) + ".bin");
    auto bytes = tools_testing::read_file(path);
    ASSERT_TRUE(bytes.has_value()) << path;
    auto catalog = manifest::NamespaceCatalog::read_from(*bytes, ns);
    ASSERT_TRUE(catalog.has_value()) << catalog.error().to_string();
    std::vector<manifest::CatalogEntry> want;
    for (const Expect& e : expected) want.push_back({prefix_bytes(e.body), std::string_view(e.body).size(), e.id});
    EXPECT_EQ(catalog->entries(), want) << ns;

    for (const Expect& e : expected) {
      const std::string h = prefix_hex(e.body);
      const fs::path link = run->out_dir / "shards" / manifest::namespace_slug(ns) / fmt::format("0x{:08X}.bin", e.id);
      std::error_code ec;
      EXPECT_EQ(fs::read_symlink(link, ec).string(), "../" + h.substr(0, 2) + "/" + h + ".bin") << link;
      // The template path and the link both lead to the body.
      const fs::path shard = run->out_dir / "shards" / h.substr(0, 2) / (h + ".bin");
      EXPECT_EQ(tools_testing::read_text(shard), e.body);
      EXPECT_EQ(tools_testing::read_text(link), e.body);
    }
  }
  // Exactly one file per distinct body under the prefix directories.
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(run->out_dir / "shards")) {
    if (entry.is_regular_file() && !entry.is_symlink()) ++files;
  }
  EXPECT_EQ(files, 3u);
}

TEST(FlatLayout, EmptyBodyAndEmptyBundle) {
  {
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare({{"eor/portal", 9, {}}}, run));
    auto result = tools::shard_bundle(run->options);
    ASSERT_TRUE(result.has_value()) << result.error().debug_string();
    const manifest::ShardEntry& entry = result->shards.at("eor/portal:0x00000009");
    EXPECT_EQ(entry.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(entry.size, 0u);
    std::error_code ec;
    EXPECT_EQ(fs::file_size(run->out_dir / entry.url, ec), 0u);
    EXPECT_FALSE(ec) << ec.message();
  }
  {
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare({}, run));
    auto result = tools::shard_bundle(run->options);
    ASSERT_TRUE(result.has_value()) << result.error().debug_string();
    EXPECT_TRUE(result->shards.empty());
    EXPECT_TRUE(fs::is_directory(run->out_dir / "shards"));
    EXPECT_TRUE(fs::is_empty(run->out_dir / "shards"));
    EXPECT_EQ(result->boot_pack.size, 28u);
    EXPECT_NE(tools_testing::read_text(run->out_dir / "manifest.json").find("\"shards\": {}\n}"), std::string::npos);
  }
}

TEST(CatalogLayout, EmptyBundleListsNoNamespaces) {
  std::optional<ShardRun> run;
  ASSERT_NO_FATAL_FAILURE(prepare({}, run));
  auto result = tools::shard_bundle_v2(run->options);
  ASSERT_TRUE(result.has_value()) << result.error().debug_string();
  EXPECT_TRUE(result->manifest.namespaces.empty());
  EXPECT_EQ(result->shard_count, 0u);
  EXPECT_EQ(result->namespace_count, 0u);
  EXPECT_TRUE(fs::is_empty(run->out_dir / "manifest"));
  EXPECT_TRUE(fs::is_empty(run->out_dir / "shards"));
}

TEST(Layouts, SecondRunIntoTheSameDirectoryLeavesTheSameTree) {
  const std::vector<Record> records = tools_testing::fixture_records();
  for (bool catalog : {false, true}) {
    SCOPED_TRACE(catalog ? "catalog layout" : "flat layout");
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare(records, run));
    const auto shard = [&]() -> std::optional<std::string> {
      if (catalog) {
        auto r = tools::shard_bundle_v2(run->options);
        if (!r) return r.error().debug_string();
      } else {
        auto r = tools::shard_bundle(run->options);
        if (!r) return r.error().debug_string();
      }
      return std::nullopt;
    };
    ASSERT_EQ(shard(), std::nullopt);
    const auto first = tools_testing::tree_snapshot(run->out_dir);
    // An unrelated file survives; the rerun overwrites and replaces links.
    ASSERT_TRUE(tools_testing::read_file(run->options.input.value()).has_value());
    fs::copy_file(*run->options.input, run->out_dir / "unrelated.bin");
    ASSERT_EQ(shard(), std::nullopt);
    auto second = tools_testing::tree_snapshot(run->out_dir);
    auto unrelated = std::find_if(second.begin(), second.end(),
                                  [](const std::string& s) { return s.rfind("unrelated.bin ", 0) == 0; });
    ASSERT_NE(unrelated, second.end());
    second.erase(unrelated);
    EXPECT_EQ(second, first);
    EXPECT_GT(first.size(), 8u);
  }
}

ino_t inode_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Every name below `root` that looks like one of the tool's temporary files.
std::vector<std::string> leftovers(const fs::path& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename().string().find(".tmp-") != std::string::npos) found.push_back(entry.path().string());
  }
  return found;
}

TEST(Layouts, RerunKeepsIdenticalFilesAndRepairsDamagedOnes) {
  const std::vector<Record> records = tools_testing::fixture_records();
  const std::string far = fmt::format("shards/{}.bin", sha("cell-far"));
  const std::string stub = fmt::format("shards/{}.bin", sha("chargen-stub"));
  const std::string far_v2 = fmt::format("shards/{0}/{1}.bin", sha("cell-far").substr(0, 2), sha("cell-far").substr(0, 32));
  const std::string stub_v2 =
      fmt::format("shards/{0}/{1}.bin", sha("chargen-stub").substr(0, 2), sha("chargen-stub").substr(0, 32));
  for (bool catalog : {false, true}) {
    SCOPED_TRACE(catalog ? "catalog layout" : "flat layout");
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare(records, run));
    const auto shard = [&] {
      if (catalog) {
        auto r = tools::shard_bundle_v2(run->options);
        ASSERT_TRUE(r.has_value()) << r.error().debug_string();
      } else {
        auto r = tools::shard_bundle(run->options);
        ASSERT_TRUE(r.has_value()) << r.error().debug_string();
      }
    };
    ASSERT_NO_FATAL_FAILURE(shard());
    const fs::path dist = run->out_dir;
    const fs::path kept = dist / (catalog ? far_v2 : far);
    const fs::path cut = dist / (catalog ? stub_v2 : stub);
    const ino_t kept_inode = inode_of(kept);
    const ino_t boot_inode = inode_of(dist / "boot.qra");
    const ino_t catalog_inode = inode_of(dist / "manifest" / "eor-cell.bin");
    const ino_t link_inode = inode_of(dist / "shards" / "eor-cell" / "0x0000FFFF.bin");
    // What an interrupted earlier write or a stray edit leaves behind.
    fs::resize_file(cut, 3);
    if (catalog) {
      fs::remove(dist / "shards" / "eor-portal" / "0x0E000002.bin");
      fs::create_symlink("../00/wrong.bin", dist / "shards" / "eor-portal" / "0x0E000002.bin");
    }

    ASSERT_NO_FATAL_FAILURE(shard());
    EXPECT_EQ(inode_of(kept), kept_inode) << "an identical shard is left in place";
    EXPECT_EQ(inode_of(dist / "boot.qra"), boot_inode) << "an identical boot.qra is left in place";
    EXPECT_EQ(tools_testing::read_text(cut), "chargen-stub") << "a damaged shard is replaced";
    if (catalog) {
      EXPECT_EQ(inode_of(dist / "manifest" / "eor-cell.bin"), catalog_inode);
      EXPECT_EQ(inode_of(dist / "shards" / "eor-cell" / "0x0000FFFF.bin"), link_inode);
      EXPECT_EQ(fs::read_symlink(dist / "shards" / "eor-portal" / "0x0E000002.bin").string(),
                "../" + stub_v2.substr(7, 2) + "/" + stub_v2.substr(10));
    }
    EXPECT_EQ(leftovers(dist), std::vector<std::string>{});
    const tools::VerifyReport report = tools::verify_distribution(dist);
    EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0].path + ": " + report.problems[0].what);
  }
}

// A rerun of the same content never takes the earlier manifest away; a rerun
// that changes a file the earlier manifest describes withdraws it first, so
// at no moment of the run does a manifest describe half-replaced files.
TEST(Layouts, ChangedContentWithdrawsTheEarlierManifestBeforeReplacingAnything) {
  const std::vector<Record> first = tools_testing::fixture_records();
  std::vector<Record> second = first;
  second[0].body = bytes_of("chargen-stub, second edition");  // a boot record: boot.qra changes
  for (bool catalog : {false, true}) {
    for (bool changed : {false, true}) {
      SCOPED_TRACE(fmt::format("{} layout, {} content", catalog ? "catalog" : "flat", changed ? "changed" : "same"));
      std::optional<ShardRun> run;
      ASSERT_NO_FATAL_FAILURE(prepare(first, run));
      auto initial = catalog ? tools::shard_bundle_v2(run->options).has_value()
                             : tools::shard_bundle(run->options).has_value();
      ASSERT_TRUE(initial);
      if (changed) {
        ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(*run->options.input, second));
      }

      // The manifest as seen at every progress report of the rerun.
      const fs::path manifest_path = run->out_dir / "manifest.json";
      const std::string before = tools_testing::read_text(manifest_path);
      std::map<std::string, std::pair<int, int>> seen;  // phase -> (reports with, without a manifest)
      run->options.progress = [&](const tools::Progress& p) {
        auto& [with, without] = seen[p.phase];
        if (fs::exists(manifest_path)) {
          ++with;
          EXPECT_EQ(tools_testing::read_text(manifest_path), before) << p.phase;
        } else {
          ++without;
        }
      };
      auto rerun = catalog ? tools::shard_bundle_v2(run->options).has_value()
                           : tools::shard_bundle(run->options).has_value();
      ASSERT_TRUE(rerun);
      // Ingest and shards come before any replacement; the boot pack is
      // where changed content first replaces a described file.
      for (const char* phase : {tools::kPhaseIngest, tools::kPhaseShards}) {
        EXPECT_EQ(seen[phase].second, 0) << phase;
      }
      if (catalog) {
        EXPECT_EQ(seen[tools::kPhaseLinks].first == 0, changed);
        EXPECT_EQ(seen[tools::kPhaseCatalogs].first == 0, changed);
      } else {
        EXPECT_EQ(seen[tools::kPhaseBoot].second, 0) << "boot.qra is replaced after its last record is added";
      }
      if (!changed) {
        for (const auto& [phase, counts] : seen) {
          EXPECT_EQ(counts.second, 0) << phase;
        }
      }
      EXPECT_TRUE(tools::verify_distribution(run->out_dir).ok());
    }
  }
}

TEST(Layouts, OutputDirUnderARegularFileFailsBeforeInputIsRead) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value());
  const fs::path file = dir->path() / "plain-file";
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(file, {}));
  tools::DatShardOptions options;
  options.out_dir = file / "dist";
  options.input = dir->path() / "does-not-exist.qra";  // reading it would give DatOpen
  const std::string expected =
      "create output dir " + common::debug_quoted(options.out_dir.string()) + ": " + common::os_error_text(ENOTDIR);

  auto flat = tools::shard_bundle(options);
  ASSERT_FALSE(flat.has_value());
  EXPECT_EQ(flat.error().kind(), tools::ToolError::Kind::Validation);
  EXPECT_EQ(flat.error().message(), expected);
  auto v2 = tools::shard_bundle_v2(options);
  ASSERT_FALSE(v2.has_value());
  EXPECT_EQ(v2.error().message(), expected);
}

TEST(Layouts, ShardsPathTakenByAFileIsReported) {
  for (bool catalog : {false, true}) {
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare(kTwoRecords, run));
    fs::create_directories(run->out_dir);
    ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(run->out_dir / "shards", {}));
    const std::string message = catalog ? tools::shard_bundle_v2(run->options).error().message()
                                        : tools::shard_bundle(run->options).error().message();
    EXPECT_EQ(message, "create shards dir " + common::debug_quoted((run->out_dir / "shards").string()) + ": " +
                           common::os_error_text(EEXIST));
    EXPECT_FALSE(fs::exists(run->out_dir / "manifest.json"));
  }
}

TEST(CatalogLayout, FailureMidwayIsReportedAndNoManifestIsWritten) {
  // Each case puts something in the way of one step; the run stops there.
  const std::string h = prefix_hex("terrain");
  struct Case {
    std::string blocker;  // relative to dist
    bool as_directory;
    std::string message_prefix;
    int error;
  };
  const Case cases[] = {
      {"shards/" + h.substr(0, 2), false, "create shard prefix dir ", EEXIST},
      {"boot.qra", true, "", 0},  // QraWrite, checked by kind
      {"shards/eor-cell", false, "create symlink ns dir ", EEXIST},
      {"manifest", false, "create manifest dir ", EEXIST},
      {"manifest/eor-portal.bin", true, "create catalog ", EISDIR},
      {"manifest.json", true, "write ", EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocker);
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare(kTwoRecords, run));
    const fs::path blocker = run->out_dir / c.blocker;
    fs::create_directories(blocker.parent_path());
    if (c.as_directory) {
      fs::create_directories(blocker);
    } else {
      ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(blocker, {}));
    }
    auto result = tools::shard_bundle_v2(run->options);
    ASSERT_FALSE(result.has_value());
    if (c.error == 0) {
      EXPECT_EQ(result.error().kind(), tools::ToolError::Kind::QraWrite) << result.error().debug_string();
    } else {
      EXPECT_EQ(result.error().message(),
                c.message_prefix + common::debug_quoted(blocker.string()) + ": " + common::os_error_text(c.error));
    }
    if (c.blocker != "manifest.json") {
      EXPECT_FALSE(fs::exists(run->out_dir / "manifest.json"));
    }
  }
}

// A catalog whose file can be created but not written is reported as a write
// failure, apart from one that cannot be created at all.
TEST(CatalogLayout, CatalogThatCannotBeWrittenIsReportedAsAWriteFailure) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value()) << "tempdir: " << dir.error().debug_string();
  const fs::path out_dir = dir->path() / "dist";
  fs::create_directories(out_dir);
  tools::NamespaceEntries entries;
  for (uint32_t id = 1; id <= 3; ++id) {
    manifest::CatalogEntry entry{};
    entry.file_id = id;
    entry.size = 100;
    entries["eor/portal"].push_back(entry);
  }

  // A file size limit below the catalog's length: creating the file works,
  // writing its bytes fails with EFBIG (SIGXFSZ ignored).
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 16;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto written = tools::write_namespace_catalogs(entries, out_dir);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(written.has_value());
  const fs::path catalog = out_dir / "manifest" / "eor-portal.bin";
  EXPECT_EQ(written.error().kind(), tools::ToolError::Kind::Validation);
  EXPECT_EQ(written.error().message(),
            "write catalog " + common::debug_quoted(catalog.string()) + ": " + common::os_error_text(EFBIG));
  EXPECT_FALSE(fs::exists(catalog));
}

TEST(CatalogLayout, UnsafeNamespaceLabelsAreRejected) {
  struct Case {
    std::vector<std::string> labels;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {{"eor/portal", "eor/cell", "eor/local"}, nullptr},
      {{"/"}, nullptr},
      {{"a", "abc", "a.b", "..."}, nullptr},
      {{"abc", "g0"}, nullptr},
      {{"a/b", "a-b"}, R"(namespace labels "a-b" and "a/b" share the slug "a-b")"},
      {{"x/y/z", "x-y/z"}, R"(namespace labels "x-y/z" and "x/y/z" share the slug "x-y-z")"},
      {{"."}, R"(namespace label "." has the slug ".", which is not a usable directory name)"},
      {{".."}, R"(namespace label ".." has the slug "..", which is not a usable directory name)"},
      {{"ab"}, R"(namespace label "ab" has the slug "ab", which names a shard prefix directory)"},
      {{"0F"}, R"(namespace label "0F" has the slug "0F", which names a shard prefix directory)"},
  };
  for (const Case& c : cases) {
    auto checked = tools::check_namespace_slugs(c.labels);
    if (c.error == nullptr) {
      EXPECT_TRUE(checked.has_value()) << c.labels.front() << ": " << checked.error().debug_string();
    } else {
      ASSERT_FALSE(checked.has_value()) << c.error;
      EXPECT_EQ(checked.error().kind(), tools::ToolError::Kind::Validation);
      EXPECT_EQ(checked.error().message(), c.error);
    }
  }
}

TEST(CatalogLayout, CollidingLabelsWriteNothing) {
  for (const std::vector<Record>& records :
       {std::vector<Record>{{"a/b", 1, bytes_of("one")}, {"a-b", 2, bytes_of("two")}},
        std::vector<Record>{{"eor/portal", 1, bytes_of("one")}, {"..", 2, bytes_of("two")}},
        std::vector<Record>{{"eor/portal", 1, bytes_of("one")}, {"7e", 2, bytes_of("two")}}}) {
    std::optional<ShardRun> run;
    ASSERT_NO_FATAL_FAILURE(prepare(records, run));
    auto result = tools::shard_bundle_v2(run->options);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), tools::ToolError::Kind::Validation) << result.error().debug_string();
    EXPECT_EQ(tools_testing::tree_snapshot(run->out_dir), std::vector<std::string>{}) << records[1].ns;
  }
}

TEST(Layouts, DatInputDistributesLikeAnArchiveOfTheSameRecords) {
  auto dir = TempDir::create();
  ASSERT_TRUE(dir.has_value());
  dat_testing::DatWriter portal(256), cell(256);
  portal.set_master_map_id(7);
  cell.set_master_map_id(8);
  std::vector<Record> records;
  for (const Record& r : tools_testing::fixture_records()) {
    records.push_back(r);
    (r.ns == "eor/portal" ? portal : cell).add(r.file_id, r.body, r.file_id % 2 == 0);
  }
  for (uint32_t i = 0; i < 80; ++i) {
    Record r{"eor/portal", 0x06000000 + i, std::vector<uint8_t>(100 + i, static_cast<uint8_t>(i))};
    portal.add(r.file_id, r.body, i % 3 == 0);
    records.push_back(std::move(r));
  }
  ASSERT_TRUE(portal.write_to(dir->path() / "portal.dat"));
  ASSERT_TRUE(cell.write_to(dir->path() / "cell.dat"));
  ASSERT_NO_FATAL_FAILURE(tools_testing::write_archive(dir->path() / "same.qra", records));

  for (bool catalog : {false, true}) {
    SCOPED_TRACE(catalog ? "catalog layout" : "flat layout");
    tools::DatShardOptions from_dats;
    from_dats.eor_portal = dir->path() / "portal.dat";
    from_dats.eor_cell = dir->path() / "cell.dat";
    from_dats.out_dir = dir->path() / (catalog ? "v2-dats" : "flat-dats");
    from_dats.clock = [] { return kClock; };
    tools::DatShardOptions from_archive;
    from_archive.input = dir->path() / "same.qra";
    from_archive.out_dir = dir->path() / (catalog ? "v2-archive" : "flat-archive");
    from_archive.clock = [] { return kClock; };

    std::string dats_json;
    std::string archive_json;
    if (catalog) {
      auto a = tools::shard_bundle_v2(from_dats);
      auto b = tools::shard_bundle_v2(from_archive);
      ASSERT_TRUE(a.has_value()) << a.error().debug_string();
      ASSERT_TRUE(b.has_value()) << b.error().debug_string();
      EXPECT_EQ(a->manifest.source, (manifest::SourceMeta{7, 8, 0}));
      EXPECT_EQ(b->manifest.source, (manifest::SourceMeta{0, 0, 0}));
      a->manifest.source = b->manifest.source;
      EXPECT_EQ(a->manifest, b->manifest);
      EXPECT_EQ(a->shard_count, b->shard_count);
    } else {
      auto a = tools::shard_bundle(from_dats);
      auto b = tools::shard_bundle(from_archive);
      ASSERT_TRUE(a.has_value()) << a.error().debug_string();
      ASSERT_TRUE(b.has_value()) << b.error().debug_string();
      EXPECT_EQ(a->source, (manifest::SourceMeta{7, 8, 0}));
      a->source = b->source;
      EXPECT_EQ(*a, *b);
    }
    // Everything but the manifest's source block is byte-identical.
    auto snapshot_a = tools_testing::tree_snapshot(from_dats.out_dir);
    auto snapshot_b = tools_testing::tree_snapshot(from_archive.out_dir);
    std::erase_if(snapshot_a, [](const std::string& s) { return s.rfind("manifest.json ", 0) == 0; });
    std::erase_if(snapshot_b, [](const std::string& s) { return s.rfind("manifest.json ", 0) == 0; });
    EXPECT_EQ(snapshot_a, snapshot_b);
  }
}

TEST(Layouts, ProgressReportsEachPhase) {
  std::optional<ShardRun> run;
  ASSERT_NO_FATAL_FAILURE(prepare(tools_testing::fixture_records(), run));
  std::map<std::string, tools::Progress> last;
  run->options.progress = [&](const tools::Progress& p) { last[p.phase] = p; };
  auto result = tools::shard_bundle_v2(run->options);
  ASSERT_TRUE(result.has_value()) << result.error().debug_string();
  ASSERT_TRUE(last.contains(tools::kPhaseIngest));
  EXPECT_EQ(last[tools::kPhaseIngest].records_done, 7u);
  EXPECT_EQ(last[tools::kPhaseIngest].records_total, 7u);
  EXPECT_EQ(last[tools::kPhaseIngest].bytes_done, 12u + 20 + 20 + 17 + 14 + 17 + 8);
  EXPECT_EQ(last[tools::kPhaseShards].records_done, 7u);
  EXPECT_EQ(last[tools::kPhaseShards].bytes_done, 12u + 20 + 17 + 14 + 17 + 8) << "duplicates are written once";
  EXPECT_EQ(last[tools::kPhaseBoot].records_done, 4u);
  EXPECT_EQ(last[tools::kPhaseLinks].records_done, 7u);
  EXPECT_EQ(last[tools::kPhaseCatalogs].records_done, 2u);
}

TEST(Timestamp, CalendarRules) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1970-01-01T00:00:00Z"},  // a clock before 1970 counts as 0
      {-86400LL * 365 * 30, "1970-01-01T00:00:00Z"},
      {59, "1970-01-01T00:00:59Z"},
      {86399, "1970-01-01T23:59:59Z"},
      {946684799, "1999-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},  // divisible by 400: leap
      {951868799, "2000-02-29T23:59:59Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1709210096, "2024-02-29T12:34:56Z"},
      {1735689599, "2024-12-31T23:59:59Z"},  // day 366 of a leap year
      {4107542399, "2100-02-28T23:59:59Z"},  // divisible by 100: not leap
      {4107542400, "2100-03-01T00:00:00Z"},
      {253402300800, "10000-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(tools::iso_8601_from_unix(c.seconds), c.text) << c.seconds;

  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  const std::string now = tools::iso_8601_now();
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_TRUE(now == tools::iso_8601_from_unix(before) || now == tools::iso_8601_from_unix(after)) << now;
}

TEST(ToolError, MessageAndDiagnosticForms) {
  using tools::ToolError;
  struct Case {
    ToolError error;
    const char* message;
    const char* debug;
  };
  const Case cases[] = {
      {ToolError::validation("--eor-portal or --input required"), "--eor-portal or --input required",
       R"(Validation("--eor-portal or --input required"))"},
      {ToolError::dat_open("in/x.qra", "Invalid magic for format: QRA"), "in/x.qra: Invalid magic for format: QRA",
       R"(DatOpen { path: "in/x.qra", message: "Invalid magic for format: QRA" })"},
      {ToolError::qra_write("dist/boot.qra", "IO error: Permission denied (os error 13)"),
       "dist/boot.qra: IO error: Permission denied (os error 13)",
       R"x(QraWrite { path: "dist/boot.qra", message: "IO error: Permission denied (os error 13)" })x"},
      {ToolError::dat_read(0x1000827, dat::DatError::not_found(0x1000827)),
       "read 0x1000827: File ID 01000827 not found in provider", "DatRead { id: 16779303, source: NotFound(16779303) }"},
      {ToolError::progress_template("bad {"), "bad {", R"(ProgressTemplate("bad {"))"},
      {ToolError::asset_derivation("say \"hi\""), "say \"hi\"", R"(AssetDerivation("say \"hi\""))"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
  const ToolError io = ToolError::io(common::IoError::from_errno(ENOENT));
  EXPECT_EQ(io.kind(), ToolError::Kind::Io);
  EXPECT_EQ(io.message(), common::os_error_text(ENOENT));
  EXPECT_EQ(io.debug_string(), "Io(" + common::IoError::from_errno(ENOENT).debug_string() + ")");
}

}  // namespace
