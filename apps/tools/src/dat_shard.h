#pragma once
// The shard tool: turns a source bundle of game records (a packed archive or
// the canonical DAT files) into a distribution directory, in one of two layouts.
//
// Flat layout (shard_bundle):
//   manifest.json            every record's shard key -> {sha256, size, url}
//   boot.qra                 the boot archive (see write_boot_pack)
//   shards/<sha256>.bin      one file per distinct body
//
// Catalog layout (shard_bundle_v2):
//   manifest.json            small: namespaces + path templates
//   boot.qra                 the boot archive
//   shards/<h2>/<h>.bin      one file per distinct 16-byte digest prefix h
//   shards/<slug>/0x<ID>.bin symbolic link "../<h2>/<h>.bin", one per record
//   manifest/<slug>.bin      one binary catalog per namespace
//
// Each entry writes in a fixed order and "manifest.json" last, so a present
// manifest means everything it names was written before it. Writing is crash
// consistent (output_fs.h): manifest.json, boot.qra and the catalogs are
// written under a temporary name and renamed into place, links are replaced by
// renaming a new link over them, shards are created exclusively and, on a
// rerun, kept when identical; one syncfs pass puts everything on disk before
// the manifest is renamed into place, and a manifest that the run is about to
// contradict is withdrawn first. So an interrupted run leaves either no
// manifest or one whose every file is present and right. Nothing is written
// through a symbolic link inside the output directory (the output directory's
// own path may contain links): one found where an entry is to be written is
// refused with a Validation error naming it, except at a link path, where a
// link is replaced. Nothing else is removed on failure.
//
// Everything runs on the calling thread; no function here keeps state between
// calls. Errors are values (ToolError); nothing throws.
#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dat/error.h"
#include "dat/resource.h"
#include "error.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"

namespace dat {
class DatDatabase;
}

namespace tools {

// Progress of a long step, reported per record. `phase` is one of the
// kPhase* texts below (static storage). records_total is 0 when unknown.
struct Progress {
  const char* phase = "";
  uint64_t records_done = 0;
  uint64_t records_total = 0;
  uint64_t bytes_done = 0;
};
using ProgressFn = std::function<void(const Progress&)>;

inline constexpr const char* kPhaseIngest = "ingest";      // reading the source into the bundle
inline constexpr const char* kPhaseShards = "shards";      // writing shard files
inline constexpr const char* kPhaseBoot = "boot";          // writing boot.qra
inline constexpr const char* kPhaseLinks = "links";        // writing convention links
inline constexpr const char* kPhaseCatalogs = "catalogs";  // writing namespace catalogs

// Filled by the caller; never changed by the tool.
struct DatShardOptions {
  // A packed archive to read; when present the DAT paths are ignored.
  std::optional<std::filesystem::path> input;
  // Canonical DATs; eor_portal is required when input is absent.
  std::optional<std::filesystem::path> eor_portal;
  std::optional<std::filesystem::path> eor_cell;
  std::optional<std::filesystem::path> eor_local;
  // Root of the distribution; created with its parents when missing.
  std::filesystem::path out_dir;
  // Landblock the boot pack is built around; only the low 16 bits count.
  uint32_t spawn_landblock = 0xA9B4;
  // The layout generation the caller means (1 flat, 2 catalog). Informational: nothing reads it.
  uint32_t manifest_version = 0;
  // Optional progress sink; an empty function costs one test per record.
  ProgressFn progress;
  // Optional clock for generated_at, in whole seconds since 1970-01-01 UTC;
  // empty means the system clock. Lets callers produce reproducible manifests.
  std::function<int64_t()> clock;
};

// Bundle keys: (namespace label text, file id).
using RecordKey = std::pair<std::string, uint32_t>;

// Orders keys by label bytes (unsigned, a prefix first), then id; accepts
// (string_view, id) probes without building a std::string.
struct RecordKeyLess {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    const int c = std::string_view(a.first).compare(std::string_view(b.first));
    return c < 0 || (c == 0 && a.second < b.second);
  }
};
using RecordMap = std::map<RecordKey, std::vector<uint8_t>, RecordKeyLess>;

// Every source record with its full body, in (namespace bytes, id) order.
struct InputBundle {
  RecordMap records;
  uint32_t portal_dat_iteration = 0;
  uint32_t cell_dat_iteration = 0;
  uint32_t local_dat_iteration = 0;
};

// Read-only ResourceSource view of a bundle's records. Borrows the map, which
// must outlive the view. Safe for concurrent readers.
class BundleSource final : public dat::ResourceSource {
 public:
  explicit BundleSource(const RecordMap& records) : records_(&records) {}
  // A copy of the body, or DatError::Other("BundleSource: missing <label>:0x<ID8>").
  dat::DatResult<std::vector<uint8_t>> get_file_by_key(const dat::ResourceKey& key) const override;

 private:
  const RecordMap* records_;
};

// The archive named by `input` (entries flagged with bit 2 skipped), or the
// canonical DATs. Neither given: Validation "--eor-portal or --input required".
std::expected<InputBundle, ToolError> read_input_bundle(const DatShardOptions& options);

// Portal DAT (required), then cell and local DATs when given; each DAT's
// master_map_id becomes its iteration number.
std::expected<InputBundle, ToolError> read_from_canonical_dats(const DatShardOptions& options);

// Copies every record of `database` into `records` under `ns`, replacing
// bodies of keys already present. Records are visited in ascending id order.
std::expected<void, ToolError> ingest_dat_into(const dat::DatDatabase& database, std::string_view ns,
                                               RecordMap& records, const ProgressFn& progress = {});

// ---- Boot pack ----

using KeepSet = std::unordered_set<dat::ResourceKey, dat::ResourceKeyHash>;

// The 3x3 landblocks around `spawn` (low 16 bits: column << 8 | row), column
// by column, without wrap-around: 9 inside, 6 on an edge, 4 in a corner.
std::vector<uint32_t> spawn_neighborhood_cells(uint32_t spawn);

// The portal essentials, the terrain and info records of the neighbourhood,
// and everything the models placed there depend on (walked through the bundle).
KeepSet compute_boot_keep_set(const InputBundle& bundle, uint32_t spawn);

// Writes out_dir/boot.qra with the kept records in bundle order and describes
// it (url "boot.qra", size and sha256 of the file on disk, covers in order).
std::expected<manifest::BootPack, ToolError> write_boot_pack(const InputBundle& bundle, uint32_t spawn,
                                                             const std::filesystem::path& out_dir,
                                                             const ProgressFn& progress = {});

// ---- Flat layout ----

std::expected<manifest::Manifest, ToolError> shard_bundle(const DatShardOptions& options);

// Writes out_dir/shards/<sha256>.bin once per distinct body; returns the
// shard map keyed by shard key.
std::expected<std::map<std::string, manifest::ShardEntry>, ToolError> write_shards(
    const InputBundle& bundle, const std::filesystem::path& out_dir, const ProgressFn& progress = {});

// Current UTC time as "YYYY-MM-DDTHH:MM:SSZ".
std::string iso_8601_now();
// The same text for a given count of seconds since 1970-01-01 UTC; a negative
// count gives 1970-01-01T00:00:00Z.
std::string iso_8601_from_unix(int64_t seconds);

// ---- Catalog layout ----

struct ShardSummaryV2 {
  manifest::ManifestV2 manifest;
  uint64_t record_count = 0;       // records in the bundle
  uint64_t shard_count = 0;        // distinct shard files written
  uint64_t namespace_count = 0;    // == manifest.namespaces.size()
  uint64_t boot_record_count = 0;  // records in boot.qra
  uint64_t boot_size = 0;          // bytes of boot.qra
};

// Per-namespace catalog entries, one per record, in bundle order.
using NamespaceEntries = std::unordered_map<std::string, std::vector<manifest::CatalogEntry>>;

struct ShardsV2 {
  NamespaceEntries entries;
  uint64_t shard_count = 0;
};

std::expected<ShardSummaryV2, ToolError> shard_bundle_v2(const DatShardOptions& options);

// Rejects namespace labels whose slugs would make unsafe or colliding paths:
// two labels with one slug, a slug "." or "..", or a slug of two hex digits
// (it would name a shard prefix directory). Validation error naming them.
std::expected<void, ToolError> check_namespace_slugs(const std::vector<std::string>& labels);

// Writes out_dir/shards/<h2>/<h>.bin once per distinct 16-byte digest prefix.
std::expected<ShardsV2, ToolError> write_shards_v2(const InputBundle& bundle, const std::filesystem::path& out_dir,
                                                   const ProgressFn& progress = {});

// Creates out_dir/shards/<slug>/0x<ID8>.bin -> ../<h2>/<h>.bin for every entry,
// replacing whatever was at the link path. Returns the number of links.
std::expected<uint64_t, ToolError> write_convention_symlinks(const NamespaceEntries& entries,
                                                             const std::filesystem::path& out_dir,
                                                             const ProgressFn& progress = {});

// Writes out_dir/manifest/<slug>.bin per namespace; returns the labels sorted bytewise.
std::expected<std::vector<std::string>, ToolError> write_namespace_catalogs(NamespaceEntries entries,
                                                                            const std::filesystem::path& out_dir,
                                                                            const ProgressFn& progress = {});

// 32 lowercase hex digits, high nibble first.
std::string hex_encode_16(std::span<const uint8_t, 16> bytes);

}  // namespace tools
