#pragma once
// JSON pieces shared by the flat and the catalog-layout manifests.
#include <array>
#include <cstdint>
#include <expected>
#include <string>

#include <nlohmann/json.hpp>

#include "json_reader.h"
#include "manifest/manifest.h"

namespace manifest {

// Members are kept in insertion order, which is the declaration order.
using OrderedJson = nlohmann::ordered_json;

OrderedJson source_meta_json(const SourceMeta& source);

// Two-space pretty printing, UTF-8 unescaped, no trailing newline; a writer
// exception (e.g. a string that is not UTF-8) becomes a Json error.
std::expected<std::string, ManifestError> dump_pretty(const OrderedJson& value);

json_reader::Result read_source_meta(const json_reader::Reader& reader, size_t node, SourceMeta& out);

// The members a boot pack has in both layouts: `url`, `size`, `sha256`.
std::array<json_reader::Field, 3> boot_pack_file_fields(const json_reader::Reader& reader, std::string& url,
                                                        uint64_t& size, std::string& sha256);

}  // namespace manifest
