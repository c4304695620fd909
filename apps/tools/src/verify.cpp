#include "verify.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <unordered_map>

#include "common/io.h"
#include "dat/archive.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kManifestPath = "manifest.json";
constexpr std::string_view kDefaultCatalogTemplate = "manifest/{namespace_slug}.bin";

// The whole file, or the errno of the failing step.
std::expected<std::vector<uint8_t>, int> read_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected(EISDIR);
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(std::max<off_t>(st.st_size, 0)));
  uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return std::unexpected(err);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

std::string describe_read_failure(int err) {
  if (err == ENOENT) return "missing";
  return "cannot be read: " + common::os_error_text(err);
}

bool is_lower_hex(std::string_view text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A manifest-supplied relative path that stays inside the directory.
bool is_contained(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  for (const auto& part : fs::path(path)) {
    if (part == "..") return false;
  }
  return true;
}

std::string replace_all(std::string text, std::string_view token, std::string_view value) {
  for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
  return text;
}

// Reads and checks each distinct file once; later calls return the verdict.
struct ShardFileInfo {
  bool present = false;
  uint64_t size = 0;
  std::array<uint8_t, 32> digest{};
};

class Verifier {
 public:
  Verifier(const fs::path& dir, const ProgressFn& progress) : dir_(dir), progress_(progress) {}

  VerifyReport run() {
    auto text = read_file(dir_ / kManifestPath);
    if (!text) {
      problem(kManifestPath, describe_read_failure(text.error()));
      return std::move(report_);
    }
    const std::string_view json(reinterpret_cast<const char*>(text->data()), text->size());
    const auto version = peek_version(json);
    if (!version) return std::move(report_);
    if (*version == 1) {
      auto parsed = manifest::parse_manifest(json);
      if (!parsed) {
        problem(kManifestPath, "does not parse as a flat manifest: " + parsed.error().to_string());
        return std::move(report_);
      }
      report_.layout = DistributionLayout::Flat;
      verify_flat(*parsed);
    } else if (*version == 2) {
      auto parsed = manifest::parse_manifest_v2(json);
      if (!parsed) {
        problem(kManifestPath, "does not parse as a catalog manifest: " + parsed.error().to_string());
        return std::move(report_);
      }
      report_.layout = DistributionLayout::Catalog;
      verify_catalog(*parsed);
    } else {
      problem(kManifestPath, fmt::format("unsupported manifest version {}", *version));
    }
    return std::move(report_);
  }

 private:
  void problem(std::string_view path, std::string what) { report_.problems.push_back({std::string(path), std::move(what)}); }

  void tick(uint64_t bytes) {
    ++records_done_;
    bytes_done_ += bytes;
    if (progress_) progress_(Progress{kPhaseVerify, records_done_, records_total_, bytes_done_});
  }

  std::optional<uint64_t> peek_version(std::string_view json) {
    try {
      const auto doc = nlohmann::json::parse(json);
      if (!doc.is_object()) {
        problem(kManifestPath, "is not a JSON object");
        return std::nullopt;
      }
      const auto it = doc.find("version");
      if (it == doc.end() || !it->is_number_unsigned()) {
        problem(kManifestPath, "has no unsigned integer `version`");
        return std::nullopt;
      }
      return it->get<uint64_t>();
    } catch (const nlohmann::json::exception& e) {
      problem(kManifestPath, std::string("is not valid JSON: ") + e.what());
      return std::nullopt;
    }
  }

  const ShardFileInfo& shard_file(const std::string& rel) {
    auto [it, inserted] = files_.try_emplace(rel);
    if (!inserted) return it->second;
    auto bytes = read_file(dir_ / rel);
    if (!bytes) {
      problem(rel, describe_read_failure(bytes.error()));
      return it->second;
    }
    it->second.present = true;
    it->second.size = bytes->size();
    it->second.digest = manifest::sha256_digest(*bytes);
    return it->second;
  }

  // ---- flat layout ----

  void verify_flat(const manifest::Manifest& m) {
    records_total_ = m.shards.size();
    std::set<std::string> namespaces;
    std::set<std::string> content_reported;
    for (const auto& [key, entry] : m.shards) {
      auto parsed = manifest::parse_shard_key(key);
      if (!parsed) {
        problem(kManifestPath, fmt::format("invalid shard key \"{}\"", key));
      } else {
        namespaces.insert(parsed->ns);
      }
      if (!is_lower_hex(entry.sha256, 64)) {
        problem(kManifestPath, fmt::format("{}: sha256 \"{}\" is not 64 lowercase hex digits", key, entry.sha256));
        tick(0);
        continue;
      }
      const std::string expected_url = "shards/" + entry.sha256 + ".bin";
      if (entry.url != expected_url) {
        problem(kManifestPath, fmt::format("{}: url \"{}\", expected \"{}\"", key, entry.url, expected_url));
        tick(0);
        continue;
      }
      const bool first_use = !files_.contains(entry.url);
      const ShardFileInfo& file = shard_file(entry.url);
      if (first_use) ++report_.shard_count;
      if (file.present) {
        if (file.size != entry.size) {
          problem(entry.url, fmt::format("size {}, manifest says {} for {}", file.size, entry.size, key));
        }
        const std::string actual = manifest::hex_lower(file.digest);
        if (actual != entry.sha256 && content_reported.insert(entry.url).second) {
          problem(entry.url, fmt::format("content SHA-256 is {}, its name and the manifest say {}", actual, entry.sha256));
        }
      }
      tick(file.size);
    }
    report_.record_count = m.shards.size();
    report_.namespace_count = namespaces.size();

    auto reader = verify_boot(m.boot_pack.url, m.boot_pack.size, m.boot_pack.sha256);
    if (!reader) return;
    const std::string& boot = m.boot_pack.url;
    if (reader->header().entry_count != m.boot_pack.covers.size()) {
      problem(boot, fmt::format("holds {} records, covers lists {}", reader->header().entry_count,
                                m.boot_pack.covers.size()));
    }
    for (const std::string& key : m.boot_pack.covers) {
      auto parsed = manifest::parse_shard_key(key);
      if (!parsed) {
        problem(kManifestPath, fmt::format("boot_pack covers invalid shard key \"{}\"", key));
        continue;
      }
      auto body = reader->get_file_in_namespace(parsed->ns, parsed->file_id);
      if (!body) {
        problem(boot, fmt::format("covered record {}: {}", key, body.error().to_string()));
      } else if (body->empty()) {
        problem(boot, fmt::format("covered record {} is empty", key));
      }
    }
  }

  // ---- catalog layout ----

  void verify_catalog(const manifest::ManifestV2& m) {
    if (m.catalog_version != manifest::CATALOG_FORMAT_VERSION) {
      problem(kManifestPath, fmt::format("catalog_version {} is not supported (expected {})", m.catalog_version,
                                         manifest::CATALOG_FORMAT_VERSION));
      return;
    }
    const std::string catalog_template = m.catalog_url_template.value_or(std::string(kDefaultCatalogTemplate));
    for (size_t i = 1; i < m.namespaces.size(); ++i) {
      if (!(m.namespaces[i - 1] < m.namespaces[i])) {
        problem(kManifestPath, fmt::format("namespaces are not strictly ascending at \"{}\"", m.namespaces[i]));
      }
    }
    report_.namespace_count = m.namespaces.size();

    // Decode every catalog first, so the progress display knows the total.
    std::vector<manifest::NamespaceCatalog> catalogs;
    for (const std::string& ns : m.namespaces) {
      const std::string slug = manifest::namespace_slug(ns);
      const std::string path = replace_all(catalog_template, "{namespace_slug}", slug);
      if (!is_contained(path)) {
        problem(kManifestPath, fmt::format("catalog path \"{}\" of namespace \"{}\" leads outside the directory", path, ns));
        continue;
      }
      auto bytes = read_file(dir_ / path);
      if (!bytes) {
        problem(path, fmt::format("catalog of namespace \"{}\" {}", ns, describe_read_failure(bytes.error())));
        continue;
      }
      auto catalog = manifest::NamespaceCatalog::read_from(*bytes, ns);
      if (!catalog) {
        problem(path, "does not decode: " + catalog.error().to_string());
        continue;
      }
      const auto& entries = catalog->entries();
      for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].file_id <= entries[i - 1].file_id) {
          problem(path, fmt::format("file ids not strictly ascending at entry {} (0x{:08X} after 0x{:08X})", i,
                                    entries[i].file_id, entries[i - 1].file_id));
          break;
        }
      }
      records_total_ += entries.size();
      catalogs.push_back(std::move(*catalog));
    }

    for (const auto& catalog : catalogs) {
      const std::string slug = manifest::namespace_slug(catalog.ns());
      for (const auto& entry : catalog.entries()) verify_catalog_entry(m.shard_url_template, catalog.ns(), slug, entry);
    }

    verify_boot(m.boot_pack.url, m.boot_pack.size, m.boot_pack.sha256);
  }

  void verify_catalog_entry(const std::string& shard_template, const std::string& ns, const std::string& slug,
                            const manifest::CatalogEntry& entry) {
    ++report_.record_count;
    const std::string key = manifest::format_shard_key(ns, entry.file_id);
    const std::string h = manifest::hex_lower(entry.sha256_prefix);
    const std::string h2 = h.substr(0, 2);
    const std::string shard =
        replace_all(replace_all(shard_template, "{sha256_prefix2}", h2), "{sha256}", h);
    if (!is_contained(shard)) {
      if (!template_reported_) {
        problem(kManifestPath, fmt::format("shard_url_template \"{}\" leads outside the directory", shard_template));
        template_reported_ = true;
      }
      tick(0);
      return;
    }

    const bool first_use = !files_.contains(shard);
    const ShardFileInfo& file = shard_file(shard);
    if (first_use) ++report_.shard_count;
    if (file.present) {
      if (file.size != entry.size) {
        problem(shard, fmt::format("size {}, catalog says {} for {}", file.size, entry.size, key));
      }
      if (!std::equal(entry.sha256_prefix.begin(), entry.sha256_prefix.end(), file.digest.begin()) &&
          content_reported_.insert(shard).second) {
        problem(shard, fmt::format("content SHA-256 begins {}, its name and catalog entry say {}",
                                   manifest::hex_lower(std::span(file.digest).first<16>()), h));
      }
    }

    verify_link(slug, entry.file_id, "../" + h2 + "/" + h + ".bin", shard, file.present);
    tick(file.size);
  }

  void verify_link(const std::string& slug, uint32_t file_id, const std::string& expected_target,
                   const std::string& shard, bool shard_present) {
    ++report_.link_count;
    const std::string link = fmt::format("shards/{}/0x{:08X}.bin", slug, file_id);
    const fs::path link_path = dir_ / link;
    struct stat lst {};
    if (::lstat(link_path.c_str(), &lst) != 0) {
      problem(link, errno == ENOENT ? std::string("link missing") : "cannot stat link: " + common::os_error_text(errno));
      return;
    }
    if (!S_ISLNK(lst.st_mode)) {
      problem(link, "is not a symbolic link");
      return;
    }
    std::string target(static_cast<size_t>(std::max<off_t>(lst.st_size, 0)) + 1, '\0');
    const ssize_t n = ::readlink(link_path.c_str(), target.data(), target.size());
    if (n < 0) {
      problem(link, "cannot read link: " + common::os_error_text(errno));
      return;
    }
    target.resize(static_cast<size_t>(n));
    if (target != expected_target) {
      problem(link, fmt::format("link target \"{}\", expected \"{}\"", target, expected_target));
      return;
    }
    struct stat via_link {};
    if (::stat(link_path.c_str(), &via_link) != 0) {
      problem(link, fmt::format("dangling link: target \"{}\" {}", target,
                                errno == ENOENT ? std::string("does not exist") : common::os_error_text(errno)));
      return;
    }
    struct stat direct {};
    if (shard_present && ::stat((dir_ / shard).c_str(), &direct) == 0 &&
        (direct.st_dev != via_link.st_dev || direct.st_ino != via_link.st_ino)) {
      problem(link, fmt::format("resolves to a different file than {}", shard));
    }
  }

  // ---- boot archive, both layouts ----

  std::optional<dat::QraReader> verify_boot(const std::string& url, uint64_t size, const std::string& sha256) {
    if (!is_contained(url)) {
      problem(kManifestPath, fmt::format("boot_pack url \"{}\" leads outside the directory", url));
      return std::nullopt;
    }
    auto bytes = read_file(dir_ / url);
    if (!bytes) {
      problem(url, describe_read_failure(bytes.error()));
      return std::nullopt;
    }
    bool intact = true;
    if (bytes->size() != size) {
      problem(url, fmt::format("size {}, manifest says {}", bytes->size(), size));
      intact = false;
    }
    const std::string actual = manifest::sha256_hex(*bytes);
    if (actual != sha256) {
      problem(url, fmt::format("SHA-256 is {}, manifest says {}", actual, sha256));
      intact = false;
    }
    auto reader = dat::QraReader::open(dir_ / url);
    if (!reader) {
      problem(url, "does not open as a packed archive: " + reader.error().to_string());
      return std::nullopt;
    }
    report_.boot_record_count = reader->header().entry_count;
    if (!intact) return std::nullopt;
    return std::move(*reader);
  }

  fs::path dir_;
  const ProgressFn& progress_;
  VerifyReport report_;
  std::unordered_map<std::string, ShardFileInfo> files_;
  std::set<std::string> content_reported_;
  bool template_reported_ = false;
  uint64_t records_done_ = 0;
  uint64_t records_total_ = 0;
  uint64_t bytes_done_ = 0;
};

}  // namespace

const char* layout_name(DistributionLayout layout) {
  return layout == DistributionLayout::Flat ? "flat" : "catalog";
}

VerifyReport verify_distribution(const fs::path& dir, const ProgressFn& progress) {
  return Verifier(dir, progress).run();
}

}  // namespace tools
