#include "manifest/v2.h"

#include "common/try.h"
#include "json_reader.h"
#include "manifest_json.h"

namespace manifest {

BootPackV2 to_boot_pack_v2(BootPack pack) {
  return BootPackV2{std::move(pack.url), pack.size, std::move(pack.sha256)};
}

std::string namespace_slug(std::string_view label) {
  std::string out(label);
  for (char& c : out) {
    if (c == '/') c = '-';
  }
  return out;
}

std::expected<std::string, ManifestError> serialize_manifest_v2(const ManifestV2& manifest) {
  OrderedJson boot = OrderedJson::object();
  boot["url"] = manifest.boot_pack.url;
  boot["size"] = manifest.boot_pack.size;
  boot["sha256"] = manifest.boot_pack.sha256;

  OrderedJson namespaces = OrderedJson::array();
  for (const std::string& ns : manifest.namespaces) namespaces.push_back(ns);

  OrderedJson doc = OrderedJson::object();
  doc["version"] = manifest.version;
  doc["generated_at"] = manifest.generated_at;
  doc["source"] = source_meta_json(manifest.source);
  doc["boot_pack"] = std::move(boot);
  doc["catalog_version"] = manifest.catalog_version;
  doc["namespaces"] = std::move(namespaces);
  doc["shard_url_template"] = manifest.shard_url_template;
  if (manifest.catalog_url_template) {
    doc["catalog_url_template"] = *manifest.catalog_url_template;
  } else {
    doc["catalog_url_template"] = nullptr;
  }
  return dump_pretty(doc);
}

namespace {

using json_reader::Reader;
using json_reader::Result;

Result read_boot_pack_v2(const Reader& reader, size_t node, BootPackV2& out) {
  return reader.read_struct(node, "struct BootPackV2", boot_pack_file_fields(reader, out.url, out.size, out.sha256));
}

}  // namespace

std::expected<ManifestV2, ManifestError> parse_manifest_v2(std::string_view json) {
  const json_reader::Document doc = TRY(json_reader::parse_document(json));
  const Reader reader(doc);
  ManifestV2 out;
  const Result read = reader.read_struct(
      doc.root, "struct ManifestV2",
      {
          reader.field("version", out.version),
          reader.field("generated_at", out.generated_at),
          {"source", true, [&](size_t v) -> Result { return read_source_meta(reader, v, out.source); }},
          {"boot_pack", true, [&](size_t v) -> Result { return read_boot_pack_v2(reader, v, out.boot_pack); }},
          reader.field("catalog_version", out.catalog_version),
          reader.field("namespaces", out.namespaces),
          reader.field("shard_url_template", out.shard_url_template),
          reader.optional_field("catalog_url_template", out.catalog_url_template),
      });
  if (!read) return std::unexpected(read.error());
  return out;
}

}  // namespace manifest
