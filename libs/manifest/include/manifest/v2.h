#pragma once
// The catalog-layout manifest: a small "manifest.json" that names the
// namespaces and the path templates instead of listing every record.
//
// Template tokens (paths relative to the manifest's directory):
//   {sha256}          32 lowercase hex digits of a catalog entry's hash prefix
//   {sha256_prefix2}  the first two characters of {sha256}
//   {namespace_slug}  namespace_slug() of the namespace label
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"

namespace manifest {

// The boot archive as the catalog layout describes it: BootPack without covers.
struct BootPackV2 {
  std::string url;
  uint64_t size = 0;
  std::string sha256;
  bool operator==(const BootPackV2&) const = default;
};

// Moves url, size and sha256 across and drops covers.
BootPackV2 to_boot_pack_v2(BootPack pack);

struct ManifestV2 {
  uint32_t version = 2;
  std::string generated_at;
  SourceMeta source;
  BootPackV2 boot_pack;
  uint32_t catalog_version = 1;
  std::vector<std::string> namespaces;  // ascending byte-wise, each once
  std::string shard_url_template;       // "shards/{sha256_prefix2}/{sha256}.bin"
  std::optional<std::string> catalog_url_template;  // "manifest/{namespace_slug}.bin"
  bool operator==(const ManifestV2&) const = default;
};

// Pretty-printed JSON exactly like the flat manifest; an absent
// catalog_url_template is written as null (the member is never omitted).
std::expected<std::string, ManifestError> serialize_manifest_v2(const ManifestV2& manifest);

// Reads a catalog-layout manifest. All members but catalog_url_template are
// required (missing or null both mean absent for it); inside source and
// boot_pack every member is required. Duplicates fail, unknown members are
// ignored at every level, types and integer widths are checked; a wrong type
// where an object is expected names "struct ManifestV2", "struct BootPackV2"
// or "struct SourceMeta". Errors are Json with a line and column.
std::expected<ManifestV2, ManifestError> parse_manifest_v2(std::string_view json);

// The label with every '/' replaced by '-'; all other bytes kept, length
// unchanged. "eor/portal" -> "eor-portal".
std::string namespace_slug(std::string_view label);

}  // namespace manifest
