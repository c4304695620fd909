// shard and verify: both layouts on the fixture and on a small sample set,
// and verify's named problems after each kind of damage.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "cli_harness.h"
#include "dat/database.h"
#include "manifest/manifest.h"

namespace cli_testing {
namespace {

using json = nlohmann::ordered_json;

struct Dist {
  TempDir tmp;
  fs::path dir;
};

// Shards the fixture into tmp/dist with the given layout.
void shard_fixture(Dist& d, const std::string& layout) {
  write_fixture(d.tmp / "fixture.qra");
  d.dir = d.tmp / "dist";
  const RunResult r = dat_shard({"shard", "--input", (d.tmp / "fixture.qra").string(), "--out-dir", d.dir.string(),
                                 "--layout", layout});
  ASSERT_EQ(r.status, 0) << describe(r);
}

json shard_json(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"shard", "--json"};
  all.insert(all.end(), args.begin(), args.end());
  const RunResult r = dat_shard(all);
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(r.err.empty()) << describe(r);  // stderr is not a terminal: no progress
  return json::parse(r.out);
}

TEST(CliShard, JsonSummaryOfTheFixtureInBothLayouts) {
  for (const char* layout : {"flat", "catalog"}) {
    SCOPED_TRACE(layout);
    TempDir tmp;
    write_fixture(tmp / "fixture.qra");
    const json doc = shard_json({"--input", (tmp / "fixture.qra").string(), "--out-dir", (tmp / "dist").string(),
                                 "--layout", layout});
    std::vector<std::string> keys;
    for (const auto& [key, value] : doc.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"layout", "record_count", "shard_count", "namespace_count",
                                              "boot_record_count", "boot_size"}));
    EXPECT_EQ(doc["layout"], layout);
    EXPECT_EQ(doc["record_count"], 7);
    EXPECT_EQ(doc["shard_count"], 6);  // two records share one body
    EXPECT_EQ(doc["namespace_count"], 2);
    EXPECT_EQ(doc["boot_record_count"], 4);
    EXPECT_EQ(doc["boot_size"].get<uint64_t>(), fs::file_size(tmp / "dist" / "boot.qra"));
  }
}

TEST(CliShard, DefaultLayoutIsCatalogAndHumanSummaryNamesTheCounts) {
  TempDir tmp;
  write_fixture(tmp / "fixture.qra");
  const auto dist = tmp / "dist";
  const RunResult r = dat_shard({"shard", "--input", (tmp / "fixture.qra").string(), "--out-dir", dist.string()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(r.err.empty()) << describe(r);
  const auto out = lines(r.out);
  ASSERT_EQ(out.size(), 5u) << r.out;
  EXPECT_EQ(out[0], "catalog layout written to " + dist.string());
  EXPECT_EQ(out[1], "  records     7");
  EXPECT_EQ(out[2], "  shards      6");
  EXPECT_EQ(out[3], "  namespaces  2");
  EXPECT_EQ(out[4], "  boot pack   4 records, " + std::to_string(fs::file_size(dist / "boot.qra")) + " bytes (" +
                        (dist / "boot.qra").string() + ")");
  EXPECT_EQ(json::parse(read_text(dist / "manifest.json"))["version"], 2);
  EXPECT_TRUE(fs::is_symlink(dist / "shards" / "eor-portal" / "0x0E000002.bin"));
}

TEST(CliVerify, PassesAfterShardInBothLayouts) {
  for (const char* layout : {"flat", "catalog"}) {
    SCOPED_TRACE(layout);
    Dist d;
    shard_fixture(d, layout);
    const RunResult r = dat_shard({"verify", d.dir.string()});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(r.err.empty()) << describe(r);
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1u) << r.out;
    EXPECT_EQ(out[0].rfind("ok: " + d.dir.string() + ": " + layout + " layout, 7 records, 6 shards, 2 namespaces", 0),
              0u)
        << out[0];

    const RunResult j = dat_shard({"verify", d.dir.string(), "--json"});
    EXPECT_EQ(j.status, 0) << describe(j);
    const json doc = json::parse(j.out);
    EXPECT_EQ(doc["ok"], true);
    EXPECT_EQ(doc["layout"], layout);
    EXPECT_EQ(doc["record_count"], 7);
    EXPECT_EQ(doc["boot_record_count"], 4);
    EXPECT_TRUE(doc["problems"].empty());
  }
}

TEST(CliShard, SampleSetInBothLayoutsThenVerify) {
  TempDir tmp;
  write_synth(tmp / "dats");
  uint64_t records = 0;
  for (const char* file : {"portal.dat", "cell.dat", "local.dat"}) {
    auto db = dat::DatDatabase::open(tmp / "dats" / file);
    ASSERT_TRUE(db) << db.error().to_string();
    records += db->files().size();
  }
  for (const char* layout : {"flat", "catalog"}) {
    SCOPED_TRACE(layout);
    const auto dist = tmp / (std::string("dist-") + layout);
    std::vector<std::string> args = synth_inputs(tmp / "dats");
    args.insert(args.end(), {"--out-dir", dist.string(), "--layout", layout});
    const json doc = shard_json(args);
    EXPECT_EQ(doc["record_count"].get<uint64_t>(), records);
    EXPECT_EQ(doc["namespace_count"], 3);
    EXPECT_LT(doc["shard_count"].get<uint64_t>(), records);  // the set has byte-identical bodies
    EXPECT_GT(doc["boot_record_count"].get<uint64_t>(), 24u);

    const RunResult v = dat_shard({"verify", dist.string(), "--json"});
    EXPECT_EQ(v.status, 0) << describe(v);
    const json report = json::parse(v.out);
    EXPECT_EQ(report["ok"], true) << v.out.substr(0, 2000);
    EXPECT_EQ(report["record_count"].get<uint64_t>(), records);
    EXPECT_EQ(report["shard_count"], doc["shard_count"]);
  }
}

// ---- damage ----

// The shard path of a body in each layout.
std::string flat_shard(const std::string& body) { return "shards/" + manifest::sha256_hex(to_bytes(body)) + ".bin"; }
std::string catalog_hash(const std::string& body) {
  const auto digest = manifest::sha256_digest(to_bytes(body));
  return manifest::hex_lower(std::span(digest).first<16>());
}
std::string catalog_shard(const std::string& body) {
  const std::string h = catalog_hash(body);
  return "shards/" + h.substr(0, 2) + "/" + h + ".bin";
}

struct Damage {
  const char* name;
  std::function<void(const fs::path& dist)> apply;
  std::string path;   // the problem's path, relative to the distribution
  const char* what;   // a fragment of what is wrong
};

void expect_named_problem(const fs::path& dist, const Damage& damage) {
  const RunResult r = dat_shard({"verify", dist.string()});
  EXPECT_EQ(r.status, 1) << describe(r);
  const std::string prefix = (dist / damage.path).string() + ": ";
  bool found = false;
  for (const auto& line : lines(r.out)) {
    if (line.rfind(prefix, 0) == 0 && line.find(damage.what) != std::string::npos) found = true;
  }
  EXPECT_TRUE(found) << "expected a line starting " << prefix << " mentioning '" << damage.what << "'\n"
                     << describe(r);
  const auto err = lines(r.err);
  ASSERT_EQ(err.size(), 1u) << describe(r);
  EXPECT_EQ(err[0].rfind("dat-shard: error: " + dist.string() + ": ", 0), 0u) << err[0];
  EXPECT_NE(err[0].find("problem"), std::string::npos) << err[0];
}

void replace_link(const fs::path& link, const std::string& target) {
  fs::remove(link);
  fs::create_symlink(target, link);
}

TEST(CliVerify, NamesTheProblemAfterEachDamageToTheCatalogLayout) {
  const std::string chargen = catalog_shard("chargen-stub");
  const std::string model = catalog_hash("model-a-bytes-XXXXXX");
  const std::string chargen_link = "shards/eor-portal/0x0E000002.bin";
  const std::vector<Damage> cases = {
      {"flipped byte in a shard", [&](const fs::path& d) { flip_byte(d / chargen, 3); }, chargen, "SHA-256"},
      {"truncated shard", [&](const fs::path& d) { fs::resize_file(d / chargen, 5); }, chargen, "size 5, catalog says 12"},
      {"deleted shard", [&](const fs::path& d) { fs::remove(d / chargen); }, chargen, "missing"},
      {"deleted shard leaves a dangling link", [&](const fs::path& d) { fs::remove(d / chargen); }, chargen_link,
       "dangling link"},
      {"retargeted link",
       [&](const fs::path& d) { replace_link(d / chargen_link, "../" + model.substr(0, 2) + "/" + model + ".bin"); },
       chargen_link, "link target"},
      {"link to nowhere", [&](const fs::path& d) { replace_link(d / chargen_link, "../00/nothing.bin"); }, chargen_link,
       "link target \"../00/nothing.bin\""},
      {"deleted link", [&](const fs::path& d) { fs::remove(d / chargen_link); }, chargen_link, "link missing"},
      {"link replaced by a copy",
       [&](const fs::path& d) {
         fs::remove(d / chargen_link);
         write_text(d / chargen_link, "chargen-stub");
       },
       chargen_link, "not a symbolic link"},
      {"damaged catalog byte", [](const fs::path& d) { flip_byte(d / "manifest/eor-cell.bin", 20); },
       "manifest/eor-cell.bin", "crc32 mismatch"},
      {"damaged catalog trailer", [](const fs::path& d) { flip_byte(d / "manifest/eor-portal.bin", -1); },
       "manifest/eor-portal.bin", "bad trailing magic"},
      {"deleted catalog", [](const fs::path& d) { fs::remove(d / "manifest/eor-portal.bin"); },
       "manifest/eor-portal.bin", "missing"},
      {"changed boot.qra", [](const fs::path& d) { flip_byte(d / "boot.qra", 30); }, "boot.qra", "SHA-256"},
      {"grown boot.qra",
       [](const fs::path& d) {
         auto bytes = read_bytes(d / "boot.qra");
         bytes.push_back(0);
         write_bytes(d / "boot.qra", bytes);
       },
       "boot.qra", "size"},
      {"boot.qra replaced by text", [](const fs::path& d) { write_text(d / "boot.qra", "no archive here, only text"); },
       "boot.qra", "Invalid magic for format: QRA"},
      {"manifest.json deleted", [](const fs::path& d) { fs::remove(d / "manifest.json"); }, "manifest.json", "missing"},
      {"manifest.json not JSON", [](const fs::path& d) { write_text(d / "manifest.json", "{\"version\": 2,"); },
       "manifest.json", "not valid JSON"},
      {"manifest.json unknown version",
       [](const fs::path& d) {
         auto doc = json::parse(read_text(d / "manifest.json"));
         doc["version"] = 7;
         write_text(d / "manifest.json", doc.dump(2));
       },
       "manifest.json", "unsupported manifest version 7"},
      {"manifest.json without catalog_version",
       [](const fs::path& d) {
         auto doc = json::parse(read_text(d / "manifest.json"));
         doc.erase("catalog_version");
         write_text(d / "manifest.json", doc.dump(2));
       },
       "manifest.json", "catalog_version"},
      {"shard template leading outside",
       [](const fs::path& d) {
         auto doc = json::parse(read_text(d / "manifest.json"));
         doc["shard_url_template"] = "../{sha256}.bin";
         write_text(d / "manifest.json", doc.dump(2));
       },
       "manifest.json", "leads outside"},
  };
  for (const auto& damage : cases) {
    SCOPED_TRACE(damage.name);
    Dist d;
    shard_fixture(d, "catalog");
    damage.apply(d.dir);
    expect_named_problem(d.dir, damage);
  }
}

TEST(CliVerify, NamesTheProblemAfterEachDamageToTheFlatLayout) {
  const std::string chargen = flat_shard("chargen-stub");
  const std::string model = flat_shard("model-a-bytes-XXXXXX");
  const auto edit_manifest = [](const fs::path& d, const std::function<void(json&)>& edit) {
    auto doc = json::parse(read_text(d / "manifest.json"));
    edit(doc);
    write_text(d / "manifest.json", doc.dump(2));
  };
  const std::vector<Damage> cases = {
      {"flipped byte in a shard", [&](const fs::path& d) { flip_byte(d / chargen, 0); }, chargen, "SHA-256"},
      {"shared shard deleted", [&](const fs::path& d) { fs::remove(d / model); }, model, "missing"},
      {"shard grown", [&](const fs::path& d) { write_text(d / chargen, "chargen-stub!"); }, chargen,
       "size 13, manifest says 12"},
      {"changed boot.qra", [](const fs::path& d) { flip_byte(d / "boot.qra", -3); }, "boot.qra", "SHA-256"},
      {"url not named by its digest",
       [&](const fs::path& d) {
         edit_manifest(d, [&](json& doc) { doc["shards"]["eor/portal:0x0E000002"]["url"] = model; });
       },
       "manifest.json", "url"},
      {"covers a key the boot pack lacks",
       [&](const fs::path& d) {
         edit_manifest(d, [](json& doc) { doc["boot_pack"]["covers"].push_back("eor/portal:0x01000827"); });
       },
       "boot.qra", "covered record eor/portal:0x01000827"},
      {"covers an invalid key",
       [&](const fs::path& d) { edit_manifest(d, [](json& doc) { doc["boot_pack"]["covers"][0] = "garbage"; }); },
       "manifest.json", "invalid shard key"},
      {"missing shards member",
       [&](const fs::path& d) { edit_manifest(d, [](json& doc) { doc.erase("shards"); }); }, "manifest.json",
       "shards"},
  };
  for (const auto& damage : cases) {
    SCOPED_TRACE(damage.name);
    Dist d;
    shard_fixture(d, "flat");
    damage.apply(d.dir);
    expect_named_problem(d.dir, damage);
  }
}

TEST(CliVerify, JsonReportListsEveryProblem) {
  Dist d;
  shard_fixture(d, "catalog");
  const std::string chargen = catalog_shard("chargen-stub");
  fs::remove(d.dir / chargen);
  flip_byte(d.dir / "boot.qra", 30);
  const RunResult r = dat_shard({"verify", d.dir.string(), "--json"});
  EXPECT_EQ(r.status, 1) << describe(r);
  const json doc = json::parse(r.out);
  EXPECT_EQ(doc["ok"], false);
  EXPECT_EQ(doc["layout"], "catalog");
  std::set<std::string> paths;
  for (const auto& p : doc["problems"]) paths.insert(p["path"].get<std::string>());
  EXPECT_EQ(paths, (std::set<std::string>{chargen, "shards/eor-portal/0x0E000002.bin", "boot.qra"}));
}

TEST(CliVerify, DirectoryWithoutManifestFails) {
  TempDir tmp;
  const RunResult r = dat_shard({"verify", tmp.path().string()});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_EQ(r.out, (tmp / "manifest.json").string() + ": missing\n");
}

}  // namespace
}  // namespace cli_testing
