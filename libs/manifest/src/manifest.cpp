#include "manifest/manifest.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include <fmt/format.h>
#include <openssl/evp.h>

#include "common/io.h"
#include "common/try.h"
#include "json_reader.h"
#include "manifest_json.h"

namespace manifest {

// ---------------------------------------------------------------------------
// Digests and hex

std::array<uint8_t, 32> sha256_digest(std::span<const uint8_t> bytes) {
  std::array<uint8_t, 32> digest{};
  static const uint8_t kNothing = 0;
  const uint8_t* data = bytes.empty() ? &kNothing : bytes.data();
  unsigned int length = 0;
  if (EVP_Digest(data, bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    // Only an allocation failure inside libcrypto gets here; a digest that
    // names shards cannot be made up.
    std::fputs("SHA-256 computation failed in libcrypto\n", stderr);
    std::abort();
  }
  return digest;
}

std::string hex_lower(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string sha256_hex(std::span<const uint8_t> bytes) { return hex_lower(sha256_digest(bytes)); }

// ---------------------------------------------------------------------------
// Shard keys

std::string format_shard_key(std::string_view ns, uint32_t file_id) {
  return fmt::format("{}:0x{:08X}", ns, file_id);
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::expected<ShardKey, ManifestError> parse_shard_key(std::string_view key) {
  const auto fail = [&] { return std::unexpected(ManifestError::invalid_shard_key(std::string(key))); };
  const size_t colon = key.rfind(':');
  if (colon == std::string_view::npos) return fail();
  std::string_view tail = key.substr(colon + 1);
  if (tail.size() < 2 || tail[0] != '0' || (tail[1] != 'x' && tail[1] != 'X')) return fail();
  tail.remove_prefix(2);
  if (!tail.empty() && tail.front() == '+') tail.remove_prefix(1);
  if (tail.empty()) return fail();
  uint64_t value = 0;
  for (char c : tail) {
    const int digit = hex_value(c);
    if (digit < 0) return fail();
    value = (value << 4) | static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return fail();  // checked per digit, so it cannot wrap
  }
  return ShardKey{std::string(key.substr(0, colon)), static_cast<uint32_t>(value)};
}

// ---------------------------------------------------------------------------
// ManifestError

ManifestError ManifestError::unsupported_version(uint32_t version) {
  ManifestError e(Kind::UnsupportedVersion);
  e.version_ = version;
  return e;
}

ManifestError ManifestError::invalid_shard_key(std::string key) {
  ManifestError e(Kind::InvalidShardKey);
  e.text_ = std::move(key);
  return e;
}

ManifestError ManifestError::json(std::string message) {
  ManifestError e(Kind::Json);
  e.text_ = std::move(message);
  return e;
}

ManifestError ManifestError::json_at(std::string message, uint64_t line, uint64_t column) {
  ManifestError e(Kind::Json);
  e.text_ = std::move(message);
  e.line_ = line;
  e.column_ = column;
  return e;
}

std::string ManifestError::to_string() const {
  switch (kind_) {
    case Kind::UnsupportedVersion: return fmt::format("unsupported manifest version {}", version_);
    case Kind::InvalidShardKey: return "invalid shard key " + common::debug_quoted(text_);
    case Kind::Json:
      if (!has_position()) return text_;
      return fmt::format("{} at line {} column {}", text_, line_, column_);
  }
  return "manifest error";
}

std::string ManifestError::debug_string() const {
  switch (kind_) {
    case Kind::UnsupportedVersion: return fmt::format("UnsupportedVersion({})", version_);
    case Kind::InvalidShardKey: return fmt::format("InvalidShardKey({})", common::debug_quoted(text_));
    case Kind::Json:
      return fmt::format("Json(Error({}, line: {}, column: {}))", common::debug_quoted(text_), line_,
                         column_);
  }
  return "ManifestError";
}

// ---------------------------------------------------------------------------
// JSON shared by both manifests

OrderedJson source_meta_json(const SourceMeta& source) {
  OrderedJson out = OrderedJson::object();
  out["portal_dat_iteration"] = source.portal_dat_iteration;
  out["cell_dat_iteration"] = source.cell_dat_iteration;
  out["local_dat_iteration"] = source.local_dat_iteration;
  return out;
}

std::expected<std::string, ManifestError> dump_pretty(const OrderedJson& value) {
  try {
    return value.dump(2, ' ', false, OrderedJson::error_handler_t::strict);
  } catch (const nlohmann::json::exception& ex) {
    std::string_view what = ex.what();
    // Drop nlohmann's "[json.exception.type_error.316] " tag.
    if (!what.empty() && what.front() == '[') {
      const size_t close = what.find("] ");
      if (close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    return std::unexpected(ManifestError::json(std::string(what)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(ManifestError::json("out of memory while writing JSON"));
  }
}

json_reader::Result read_source_meta(const json_reader::Reader& reader, size_t node, SourceMeta& out) {
  return reader.read_struct(node, "struct SourceMeta",
                            {
                                reader.field("portal_dat_iteration", out.portal_dat_iteration),
                                reader.field("cell_dat_iteration", out.cell_dat_iteration),
                                reader.field("local_dat_iteration", out.local_dat_iteration),
                            });
}

std::array<json_reader::Field, 3> boot_pack_file_fields(const json_reader::Reader& reader, std::string& url,
                                                        uint64_t& size, std::string& sha256) {
  return {reader.field("url", url), reader.field("size", size), reader.field("sha256", sha256)};
}

// ---------------------------------------------------------------------------
// The flat manifest

namespace {

// Appends `text` as a JSON string exactly as dump_pretty would write it:
// printable ASCII other than '"' and '\\' verbatim, anything else through
// the JSON writer itself (escapes, UTF-8 checks and their error texts).
std::expected<void, ManifestError> append_json_string(std::string& out, std::string_view text) {
  bool plain = true;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E || c == '"' || c == '\\') {
      plain = false;
      break;
    }
  }
  if (plain) {
    out.push_back('"');
    out += text;
    out.push_back('"');
    return {};
  }
  out += TRY(dump_pretty(OrderedJson(std::string(text))));
  return {};
}

}  // namespace

std::expected<std::string, ManifestError> serialize_manifest(const Manifest& manifest) {
  OrderedJson boot = OrderedJson::object();
  boot["url"] = manifest.boot_pack.url;
  boot["size"] = manifest.boot_pack.size;
  boot["sha256"] = manifest.boot_pack.sha256;
  boot["covers"] = OrderedJson::array();
  for (const std::string& key : manifest.boot_pack.covers) boot["covers"].push_back(key);

  OrderedJson doc = OrderedJson::object();
  doc["version"] = manifest.version;
  doc["generated_at"] = manifest.generated_at;
  doc["source"] = source_meta_json(manifest.source);
  doc["boot_pack"] = std::move(boot);
  doc["shards"] = OrderedJson::object();
  std::string out = TRY(dump_pretty(doc));
  if (manifest.shards.empty()) return out;

  // The shard map is the bulk of the document: its members are written
  // straight into the text in the layout the JSON writer uses for them
  // (four and six spaces of indent), without building a JSON tree per record.
  // The document so far ends with the empty object: "shards": {} and "\n}".
  constexpr std::string_view kEmptyTail = "{}\n}";
  if (!std::string_view(out).ends_with(kEmptyTail)) {
    return std::unexpected(ManifestError::json("unexpected manifest layout"));
  }
  out.resize(out.size() - kEmptyTail.size());
  out.reserve(out.size() + manifest.shards.size() * 200 + 8);
  out += "{\n";
  bool first = true;
  for (const auto& [key, entry] : manifest.shards) {
    if (!first) out += ",\n";
    first = false;
    out += "    ";
    TRY_VOID(append_json_string(out, key));
    out += ": {\n      \"sha256\": ";
    TRY_VOID(append_json_string(out, entry.sha256));
    out += ",\n      \"size\": ";
    const fmt::format_int size_text(entry.size);
    out.append(size_text.data(), size_text.size());
    out += ",\n      \"url\": ";
    TRY_VOID(append_json_string(out, entry.url));
    out += "\n    }";
  }
  out += "\n  }\n}";
  return out;
}

namespace {

using json_reader::Reader;
using json_reader::Result;

Result read_boot_pack(const Reader& reader, size_t node, BootPack& out) {
  const auto file = boot_pack_file_fields(reader, out.url, out.size, out.sha256);
  const std::array<json_reader::Field, 4> fields = {file[0], file[1], file[2], reader.field("covers", out.covers)};
  return reader.read_struct(node, "struct BootPack", fields);
}

Result read_shard_entry(const Reader& reader, size_t node, ShardEntry& out) {
  return reader.read_struct(node, "struct ShardEntry",
                            {
                                reader.field("sha256", out.sha256),
                                reader.field("size", out.size),
                                reader.field("url", out.url),
                            });
}

// Every member of the shards object is an entry; a key given twice would make
// the manifest ambiguous, so it is refused rather than silently overwritten.
Result read_shards(const Reader& reader, size_t node, std::map<std::string, ShardEntry>& out) {
  const json_reader::Node& object = reader.doc().node(node);
  if (object.type != json_reader::Node::Type::Object) {
    return std::unexpected(reader.invalid_type(node, "a map"));
  }
  for (const auto& member : object.members) {
    if (out.contains(member.key)) {
      return std::unexpected(
          reader.error_at(fmt::format("duplicate shard key `{}`", member.key), member.key_end));
    }
    ShardEntry entry;
    TRY_VOID(read_shard_entry(reader, member.value, entry));
    out.emplace(member.key, std::move(entry));
  }
  return {};
}

}  // namespace

std::expected<Manifest, ManifestError> parse_manifest(std::string_view json) {
  const json_reader::Document doc = TRY(json_reader::parse_document(json));
  const Reader reader(doc);
  Manifest out;
  const Result read = reader.read_struct(
      doc.root, "struct Manifest",
      {
          reader.field("version", out.version),
          reader.field("generated_at", out.generated_at),
          {"source", true, [&](size_t v) -> Result { return read_source_meta(reader, v, out.source); }},
          {"boot_pack", true, [&](size_t v) -> Result { return read_boot_pack(reader, v, out.boot_pack); }},
          {"shards", true, [&](size_t v) -> Result { return read_shards(reader, v, out.shards); }},
      });
  if (!read) return std::unexpected(read.error());
  return out;
}

}  // namespace manifest
