#pragma once
// Verification of a distribution directory of either layout, as a consumer
// would check what it downloaded. The layout is taken from manifest.json's
// `version` (1 flat, 2 catalog).
//
// Checked, in this order:
//   - manifest.json reads and parses as the manifest of its version;
//   - flat: every shard key parses, its url is "shards/<sha256>.bin", and the
//     shard exists with the recorded size and that SHA-256;
//   - catalog: every namespace's catalog exists, decodes (magic, version,
//     flags, CRC, entry stream) and lists strictly ascending file ids; every
//     entry's shard exists with the recorded size and the hash prefix its name
//     and entry carry; every record's link shards/<slug>/0x<ID8>.bin is a
//     symbolic link whose target text is exactly "../<h2>/<h>.bin" and which
//     resolves to that same shard file;
//   - boot.qra has the recorded size and SHA-256 and opens as a packed
//     archive; in the flat layout it holds exactly the `covers` keys, each
//     with a non-empty body.
// Paths taken from the manifest (boot url, templates) must stay inside the
// directory: an absolute path or a ".." component is reported, not followed.
//
// Every problem is collected; verification never stops at the first. Each
// shard file is read and hashed once however many records share it. Runs on
// the calling thread; reads only.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dat_shard.h"

namespace tools {

inline constexpr const char* kPhaseVerify = "verify";  // progress phase of verify_distribution

enum class DistributionLayout { Flat, Catalog };

// "flat" or "catalog".
const char* layout_name(DistributionLayout layout);

struct VerifyProblem {
  std::string path;  // relative to the distribution directory, e.g. "shards/ab/ab12....bin"
  std::string what;  // what is wrong, e.g. "missing (catalog entry eor/portal:0x0E000002)"
  bool operator==(const VerifyProblem&) const = default;
};

struct VerifyReport {
  std::optional<DistributionLayout> layout;  // absent when the manifest could not be read
  uint64_t record_count = 0;       // records the manifest (flat) or the catalogs name
  uint64_t shard_count = 0;        // distinct shard files the records reach
  uint64_t namespace_count = 0;    // distinct namespaces of the records
  uint64_t link_count = 0;         // catalog layout: links checked
  uint64_t boot_record_count = 0;  // records in boot.qra, when it opens
  std::vector<VerifyProblem> problems;

  bool ok() const { return problems.empty(); }
};

VerifyReport verify_distribution(const std::filesystem::path& dir, const ProgressFn& progress = {});

}  // namespace tools
