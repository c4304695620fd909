#include "dat_shard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "common/io.h"
#include "common/try.h"
#include "output_fs.h"
#include "dat/archive.h"
#include "dat/database.h"
#include "dat/landblock.h"
#include "dat/walk.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPortal = "eor/portal";
constexpr std::string_view kCell = "eor/cell";
constexpr std::string_view kLocal = "eor/local";

// Records the boot pack always tries to carry: the character-generation table
// and the other start-up tables of the portal namespace.
constexpr std::array<uint32_t, 6> kPortalEssentials = {0x0E000002, 0x0E000007, 0x0E000004,
                                                      0x0E00000E, 0x0E000018, 0x4D4F544B};

constexpr std::string_view kShardUrlTemplate = "shards/{sha256_prefix2}/{sha256}.bin";
constexpr std::string_view kCatalogUrlTemplate = "manifest/{namespace_slug}.bin";

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string& out, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0F]);
  }
}

std::string hex_lower(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  append_hex(out, bytes);
  return out;
}

std::string qpath(const fs::path& path) { return common::debug_quoted(path.string()); }
std::string qpath(const std::string& path) { return common::debug_quoted(path); }

// The bundle's read errors print ids as "0x" + lowercase hex without zero fill.
std::string read_error_text(std::string_view ns, uint32_t id, const dat::DatError& error) {
  return fmt::format("read {}/0x{:x}: {}", ns, id, error.to_string());
}

void report(const ProgressFn& progress, const char* phase, uint64_t done, uint64_t total, uint64_t bytes) {
  if (progress) progress(Progress{phase, done, total, bytes});
}

bool is_directory(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates a directory and its missing parents (0777 before the umask); an
// existing directory is fine. On failure returns the error number of the
// failing mkdir, so a regular file in the way reports EEXIST (or ENOTDIR when
// it stands in a parent position).
std::expected<void, int> make_dirs_text(const std::string& dir) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err != ENOENT) {
    if (is_directory(dir.c_str())) return {};
    return std::unexpected(err);
  }
  const fs::path parent = fs::path(dir).parent_path();
  if (parent.empty() || parent.string() == dir) return std::unexpected(err);
  TRY_VOID(make_dirs_text(parent.string()));
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  err = errno;
  if (is_directory(dir.c_str())) return {};
  return std::unexpected(err);
}

std::expected<void, int> make_dirs(const fs::path& dir) {
  std::string text = dir.string();
  // "a/b/" names the same directory as "a/b"; mkdir accepts either, but the
  // parent of "a/b/" would be "a/b" itself.
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return make_dirs_text(text);
}

// A lower-layer file-system failure as the tool reports it: a refused
// symbolic link in its own words, anything else as `what` + the quoted path
// + ": " + the operating system's text.
ToolError fs_failure(std::string_view what, const output_fs::FsError& error) {
  if (error.symlink) return ToolError::validation(output_fs::symlink_refusal(error.path));
  return ToolError::validation(std::string(what) + qpath(error.path) + ": " + common::os_error_text(error.code));
}

std::string format_id8(uint32_t id) { return fmt::format("0x{:08X}", id); }

// The iteration numbers of the DATs the bundle came from, as both manifests carry them.
manifest::SourceMeta source_meta(const InputBundle& bundle) {
  manifest::SourceMeta meta;
  meta.portal_dat_iteration = bundle.portal_dat_iteration;
  meta.cell_dat_iteration = bundle.cell_dat_iteration;
  meta.local_dat_iteration = bundle.local_dat_iteration;
  return meta;
}

std::string current_timestamp(const DatShardOptions& options) {
  return options.clock ? iso_8601_from_unix(options.clock()) : iso_8601_now();
}

std::expected<void, ToolError> create_out_dir(const fs::path& out_dir) {
  if (auto made = make_dirs(out_dir); !made) {
    return std::unexpected(ToolError::validation("create output dir " + qpath(out_dir) + ": " +
                                                 common::os_error_text(made.error())));
  }
  return {};
}

// The output directory of one run, held open: every entry of the
// distribution is made relative to it (see output_fs.h), and the guard
// withdraws an older manifest before anything it describes changes.
struct Output {
  explicit Output(output_fs::Dir dir, fs::path path) : root(std::move(dir)), out_dir(std::move(path)), guard(root) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  output_fs::Dir root;
  fs::path out_dir;
  output_fs::ManifestGuard guard;
};

constexpr std::string_view kManifestName = "manifest.json";
constexpr std::string_view kBootName = "boot.qra";

// Opens an existing output directory and refuses, before anything is
// written, a symbolic link standing where manifest.json or boot.qra go.
std::expected<std::unique_ptr<Output>, ToolError> open_output(const fs::path& out_dir) {
  auto dir = output_fs::Dir::open_path(out_dir.string());
  if (!dir) return std::unexpected(fs_failure("open output dir ", dir.error()));
  auto out = std::make_unique<Output>(std::move(*dir), out_dir);
  for (std::string_view name : {kManifestName, kBootName}) {
    if (auto ok = out->root.refuse_symlink(name); !ok) return std::unexpected(fs_failure("", ok.error()));
  }
  return out;
}

// Creates the output directory and opens it.
std::expected<std::unique_ptr<Output>, ToolError> prepare_output(const fs::path& out_dir) {
  TRY_VOID(create_out_dir(out_dir));
  return open_output(out_dir);
}

std::expected<output_fs::Dir, ToolError> open_subdir(const output_fs::Dir& parent, std::string_view name,
                                                     std::string_view what) {
  auto dir = parent.subdir(name);
  if (!dir) return std::unexpected(fs_failure(what, dir.error()));
  return std::move(*dir);
}

// Publishes the manifest: written under a temporary name, then one syncfs
// pass puts it and every shard, link and file written before it on disk, and
// only then is it renamed into place (and the rename itself made durable).
std::expected<void, ToolError> publish_manifest(Output& out, const std::string& json) {
  const std::string path = out.root.child(kManifestName);
  auto fail = [&](const output_fs::FsError& error) {
    output_fs::FsError named = error;
    if (!error.symlink) named.path = path;
    return std::unexpected(fs_failure("write ", named));
  };
  auto temp = output_fs::TempFile::create(out.root, kManifestName);
  if (!temp) return fail(temp.error());
  if (auto ok = temp->write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
      !ok) {
    return fail(ok.error());
  }
  if (auto synced = output_fs::sync_file_system(out.root); !synced) {
    return std::unexpected(fs_failure("sync output dir ", synced.error()));
  }
  if (auto ok = temp->commit(); !ok) return fail(ok.error());
  if (auto synced = output_fs::sync_dir(out.root); !synced) {
    return std::unexpected(fs_failure("sync output dir ", synced.error()));
  }
  return {};
}

struct DigestHash {
  template <size_t N>
  size_t operator()(const std::array<uint8_t, N>& d) const noexcept {
    static_assert(N >= sizeof(uint64_t));
    uint64_t v;
    std::memcpy(&v, d.data(), sizeof v);
    return static_cast<size_t>(v);
  }
};

// Reads a packed archive into a bundle: index order, flag-bit-2 entries left
// out, bodies fetched by key (the index is read once and searched in memory).
std::expected<InputBundle, ToolError> read_archive_bundle(const fs::path& path, const ProgressFn& progress) {
  auto reader = dat::QraReader::open(path);
  if (!reader) return std::unexpected(ToolError::dat_open(path, reader.error().to_string()));

  auto index = reader->read_index();
  if (!index) return std::unexpected(ToolError::validation("QRA entry read: " + index.error().to_string()));

  InputBundle bundle;
  const uint64_t total = index->size();
  uint64_t done = 0;
  uint64_t bytes = 0;
  for (const dat::QraEntry& entry : *index) {
    ++done;
    if ((entry.flags & 0x04) != 0) continue;
    auto ns = entry.namespace_id();
    if (!ns) {
      return std::unexpected(ToolError::validation("QRA entry namespace decode: " + ns.error().to_string()));
    }
    const std::string_view label = ns->as_str();
    auto body = reader->get_file_in_namespace_indexed(*index, label, entry.file_id);
    if (!body) return std::unexpected(ToolError::validation(read_error_text(label, entry.file_id, body.error())));
    bytes += body->size();
    // The index is sorted the way the map is, so the end hint is exact.
    bundle.records.insert_or_assign(bundle.records.end(), RecordKey(std::string(label), entry.file_id),
                                    std::move(*body));
    report(progress, kPhaseIngest, done, total, bytes);
  }
  return bundle;
}

std::expected<uint32_t, ToolError> ingest_dat_file(const fs::path& path, std::string_view ns, RecordMap& records,
                                                   const ProgressFn& progress) {
  auto database = dat::DatDatabase::open(path);
  if (!database) return std::unexpected(ToolError::dat_open(path, database.error().to_string()));
  TRY_VOID(ingest_dat_into(*database, ns, records, progress));
  return database->header().master_map_id;
}

// The distinct labels of a bundle, in bundle (sorted) order.
std::vector<std::string> bundle_labels(const RecordMap& records) {
  std::vector<std::string> labels;
  auto it = records.begin();
  while (it != records.end()) {
    labels.push_back(it->first.first);
    // Jump past every id of this label.
    it = records.upper_bound(std::pair<std::string_view, uint32_t>(labels.back(), UINT32_MAX));
  }
  return labels;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

// ---------------------------------------------------------------------------
// Bundle

dat::DatResult<std::vector<uint8_t>> BundleSource::get_file_by_key(const dat::ResourceKey& key) const {
  const auto it = records_->find(std::pair<std::string_view, uint32_t>(key.label, key.file_id));
  if (it == records_->end()) {
    return std::unexpected(dat::DatError::other(fmt::format("BundleSource: missing {}:0x{:08X}", key.label, key.file_id)));
  }
  return it->second;
}

std::expected<InputBundle, ToolError> read_input_bundle(const DatShardOptions& options) {
  if (options.input) return read_archive_bundle(*options.input, options.progress);
  if (!options.eor_portal) return std::unexpected(ToolError::validation("--eor-portal or --input required"));
  return read_from_canonical_dats(options);
}

std::expected<InputBundle, ToolError> read_from_canonical_dats(const DatShardOptions& options) {
  if (!options.eor_portal) return std::unexpected(ToolError::validation("--eor-portal or --input required"));
  InputBundle bundle;
  bundle.portal_dat_iteration = TRY(ingest_dat_file(*options.eor_portal, kPortal, bundle.records, options.progress));
  if (options.eor_cell) {
    bundle.cell_dat_iteration = TRY(ingest_dat_file(*options.eor_cell, kCell, bundle.records, options.progress));
  }
  if (options.eor_local) {
    bundle.local_dat_iteration = TRY(ingest_dat_file(*options.eor_local, kLocal, bundle.records, options.progress));
  }
  return bundle;
}

std::expected<void, ToolError> ingest_dat_into(const dat::DatDatabase& database, std::string_view ns,
                                               RecordMap& records, const ProgressFn& progress) {
  std::vector<uint32_t> ids;
  ids.reserve(database.files().size());
  for (const auto& [id, entry] : database.files()) ids.push_back(id);
  // Ascending ids: deterministic first failure, and map insertion at the end.
  std::sort(ids.begin(), ids.end());

  const std::string label(ns);
  const uint64_t total = ids.size();
  uint64_t done = 0;
  uint64_t bytes = 0;
  // Keys of this namespace sort together; start the hint at the first key
  // after the namespace's last possible key.
  auto hint = records.upper_bound(std::pair<std::string_view, uint32_t>(ns, UINT32_MAX));
  for (uint32_t id : ids) {
    auto body = database.get_file(id);
    if (!body) return std::unexpected(ToolError::validation(read_error_text(ns, id, body.error())));
    bytes += body->size();
    auto it = records.insert_or_assign(hint, RecordKey(label, id), std::move(*body));
    hint = std::next(it);
    report(progress, kPhaseIngest, ++done, total, bytes);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Boot pack

std::vector<uint32_t> spawn_neighborhood_cells(uint32_t spawn) {
  const int x = static_cast<int>((spawn >> 8) & 0xFF);
  const int y = static_cast<int>(spawn & 0xFF);
  std::vector<uint32_t> cells;
  cells.reserve(9);
  for (int dx = -1; dx <= 1; ++dx) {
    const int nx = x + dx;
    if (nx < 0 || nx > 255) continue;
    for (int dy = -1; dy <= 1; ++dy) {
      const int ny = y + dy;
      if (ny < 0 || ny > 255) continue;
      cells.push_back((static_cast<uint32_t>(nx) << 8) | static_cast<uint32_t>(ny));
    }
  }
  return cells;
}

KeepSet compute_boot_keep_set(const InputBundle& bundle, uint32_t spawn) {
  KeepSet keep;
  for (uint32_t id : kPortalEssentials) keep.insert(dat::ResourceKey{std::string(kPortal), id});

  const std::vector<uint32_t> cells = spawn_neighborhood_cells(spawn);
  for (uint32_t lb : cells) {
    keep.insert(dat::ResourceKey{std::string(kCell), (lb << 16) | 0xFFFF});
    keep.insert(dat::ResourceKey{std::string(kCell), (lb << 16) | 0xFFFE});
  }

  const BundleSource source(bundle.records);
  for (uint32_t lb : cells) {
    const auto it = bundle.records.find(std::pair<std::string_view, uint32_t>(kCell, (lb << 16) | 0xFFFE));
    if (it == bundle.records.end()) continue;
    auto info = dat::LandblockInfo::unpack(it->second);
    if (!info) continue;  // an undecodable info record only contributes itself
    for (const auto& object : info->objects) dat::walk_model(source, object.id, keep, 0);
    for (const auto& building : info->buildings) dat::walk_model(source, building.model_id, keep, 0);
  }
  return keep;
}

namespace {

std::expected<manifest::BootPack, ToolError> write_boot_pack_to(const InputBundle& bundle, uint32_t spawn, Output& out,
                                                                const ProgressFn& progress) {
  const fs::path boot_path = out.out_dir / kBootName;
  const auto qra_failure = [&](const output_fs::FsError& error) {
    if (error.symlink) return ToolError::validation(output_fs::symlink_refusal(error.path));
    return ToolError::qra_write(boot_path, dat::DatError(common::IoError::from_errno(error.code)).to_string());
  };
  // Written under a temporary name and renamed into place once finished and
  // flushed; the writer gets its own descriptor of the file, so this one
  // stays open for the flush.
  auto temp = output_fs::TempFile::create(out.root, kBootName);
  if (!temp) return std::unexpected(qra_failure(temp.error()));
  const int writer_fd = ::fcntl(temp->fd(), F_DUPFD_CLOEXEC, 0);
  if (writer_fd < 0) return std::unexpected(qra_failure(output_fs::FsError::os(errno, out.root.child(kBootName))));
  auto writer = dat::QraStreamWriter::adopt(writer_fd);
  if (!writer) return std::unexpected(ToolError::qra_write(boot_path, writer.error().to_string()));

  const KeepSet keep = compute_boot_keep_set(bundle, spawn);

  manifest::BootPack pack;
  pack.url = "boot.qra";
  // One reusable probe key: a membership test per record without allocating.
  dat::ResourceKey probe;
  uint64_t bytes = 0;
  const uint64_t total = keep.size();
  for (const auto& [key, body] : bundle.records) {
    probe.label.assign(key.first);
    probe.file_id = key.second;
    if (!keep.contains(probe)) continue;
    auto added = writer->add(key.first, key.second, 0, std::span<const uint8_t>(body));
    if (!added) return std::unexpected(ToolError::qra_write(boot_path, added.error().to_string()));
    pack.covers.push_back(manifest::format_shard_key(key.first, key.second));
    bytes += body.size();
    report(progress, kPhaseBoot, pack.covers.size(), total, bytes);
  }
  auto finished = std::move(*writer).finish();
  if (!finished) return std::unexpected(ToolError::qra_write(boot_path, finished.error().to_string()));
  if (auto synced = temp->sync(); !synced) return std::unexpected(qra_failure(synced.error()));
  // An identical boot.qra from an earlier run stays as it is.
  if (auto placed = temp->commit_unless_same(out.guard); !placed) return std::unexpected(qra_failure(placed.error()));

  // The size and digest describe the bytes on disk under the final name.
  auto file = output_fs::read_file(out.root, kBootName);
  if (!file) {
    if (file.error().symlink) return std::unexpected(ToolError::validation(output_fs::symlink_refusal(file.error().path)));
    return std::unexpected(ToolError::validation("re-read boot pack " + qpath(boot_path) + ": " +
                                                 common::os_error_text(file.error().code)));
  }
  pack.size = file->size();
  pack.sha256 = manifest::sha256_hex(*file);
  return pack;
}

std::expected<std::map<std::string, manifest::ShardEntry>, ToolError> write_flat_shards(const InputBundle& bundle,
                                                                                       Output& out,
                                                                                       const ProgressFn& progress) {
  const output_fs::Dir shards_dir = TRY(open_subdir(out.root, "shards", "create shards dir "));

  std::unordered_set<std::array<uint8_t, 32>, DigestHash> written;
  written.reserve(bundle.records.size());
  std::map<std::string, manifest::ShardEntry> shards;
  const uint64_t total = bundle.records.size();
  uint64_t done = 0;
  uint64_t bytes = 0;
  for (const auto& [key, body] : bundle.records) {
    const std::array<uint8_t, 32> digest = manifest::sha256_digest(body);
    std::string hex = hex_lower(digest);
    std::string url = "shards/" + hex + ".bin";
    if (written.insert(digest).second) {
      if (auto placed = output_fs::put_shard(shards_dir, std::string_view(url).substr(7), body); !placed) {
        return std::unexpected(fs_failure("write ", placed.error()));
      }
      bytes += body.size();
    }
    manifest::ShardEntry entry;
    entry.sha256 = std::move(hex);
    entry.size = body.size();
    entry.url = std::move(url);
    shards.insert_or_assign(shards.end(), manifest::format_shard_key(key.first, key.second), std::move(entry));
    report(progress, kPhaseShards, ++done, total, bytes);
  }
  return shards;
}

}  // namespace

std::expected<manifest::BootPack, ToolError> write_boot_pack(const InputBundle& bundle, uint32_t spawn,
                                                             const fs::path& out_dir, const ProgressFn& progress) {
  auto out = TRY(open_output(out_dir));
  return write_boot_pack_to(bundle, spawn, *out, progress);
}

// ---------------------------------------------------------------------------
// Flat layout

std::expected<std::map<std::string, manifest::ShardEntry>, ToolError> write_shards(const InputBundle& bundle,
                                                                                  const fs::path& out_dir,
                                                                                  const ProgressFn& progress) {
  auto out = TRY(open_output(out_dir));
  return write_flat_shards(bundle, *out, progress);
}

std::expected<manifest::Manifest, ToolError> shard_bundle(const DatShardOptions& options) {
  auto out = TRY(prepare_output(options.out_dir));
  InputBundle bundle = TRY(read_input_bundle(options));
  auto shards = TRY(write_flat_shards(bundle, *out, options.progress));
  manifest::BootPack boot = TRY(write_boot_pack_to(bundle, options.spawn_landblock, *out, options.progress));

  manifest::Manifest m;
  m.version = 1;
  m.generated_at = current_timestamp(options);
  m.source = source_meta(bundle);
  m.boot_pack = std::move(boot);
  m.shards = std::move(shards);

  auto json = manifest::serialize_manifest(m);
  if (!json) return std::unexpected(ToolError::validation("serialize manifest: " + json.error().to_string()));
  TRY_VOID(publish_manifest(*out, *json));
  return m;
}

std::string iso_8601_now() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return iso_8601_from_unix(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

std::string iso_8601_from_unix(int64_t seconds) {
  const uint64_t secs = seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
  uint64_t days = secs / 86400;
  const auto is_leap = [](uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  uint64_t year = 1970;
  for (;;) {
    const uint64_t len = is_leap(year) ? 366 : 365;
    if (days < len) break;
    days -= len;
    ++year;
  }
  const uint64_t month_lengths[12] = {31, is_leap(year) ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned month = 0;
  while (month < 11 && days >= month_lengths[month]) {
    days -= month_lengths[month];
    ++month;
  }
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", year, month + 1, days + 1, (secs / 3600) % 24,
                     (secs / 60) % 60, secs % 60);
}

// ---------------------------------------------------------------------------
// Catalog layout

std::string hex_encode_16(std::span<const uint8_t, 16> bytes) { return hex_lower(bytes); }

std::expected<void, ToolError> check_namespace_slugs(const std::vector<std::string>& labels) {
  std::map<std::string, std::string> by_slug;  // slug -> first label (in sorted label order)
  std::vector<std::string> sorted = labels;
  std::sort(sorted.begin(), sorted.end());
  for (const std::string& label : sorted) {
    const std::string slug = manifest::namespace_slug(label);
    if (slug == "." || slug == "..") {
      return std::unexpected(ToolError::validation("namespace label " + qpath(label) + " has the slug " +
                                                   qpath(slug) + ", which is not a usable directory name"));
    }
    if (slug.size() == 2 && is_hex_digit(slug[0]) && is_hex_digit(slug[1])) {
      return std::unexpected(ToolError::validation("namespace label " + qpath(label) + " has the slug " +
                                                   qpath(slug) + ", which names a shard prefix directory"));
    }
    auto [it, inserted] = by_slug.emplace(slug, label);
    if (!inserted && it->second != label) {
      return std::unexpected(ToolError::validation("namespace labels " + qpath(it->second) + " and " +
                                                   qpath(label) + " share the slug " + qpath(slug)));
    }
  }
  return {};
}

namespace {

std::expected<ShardsV2, ToolError> write_shards_v2_to(const InputBundle& bundle, Output& out,
                                                      const ProgressFn& progress) {
  const output_fs::Dir shards_dir = TRY(open_subdir(out.root, "shards", "create shards dir "));
  // One open directory per prefix, made on its first shard.
  std::array<output_fs::Dir, 256> prefix_dirs;

  ShardsV2 result;
  std::unordered_set<std::array<uint8_t, 16>, DigestHash> written;
  written.reserve(bundle.records.size());
  std::vector<manifest::CatalogEntry>* list = nullptr;
  const std::string* list_label = nullptr;
  const uint64_t total = bundle.records.size();
  uint64_t done = 0;
  uint64_t bytes = 0;
  std::string name;
  for (const auto& [key, body] : bundle.records) {
    const std::array<uint8_t, 32> digest = manifest::sha256_digest(body);
    std::array<uint8_t, 16> prefix;
    std::copy_n(digest.begin(), 16, prefix.begin());
    if (written.insert(prefix).second) {
      const std::string h = hex_encode_16(prefix);
      output_fs::Dir& prefix_dir = prefix_dirs[digest[0]];
      if (!prefix_dir.is_open()) {
        prefix_dir = TRY(open_subdir(shards_dir, std::string_view(h).substr(0, 2), "create shard prefix dir "));
      }
      name.assign(h);
      name += ".bin";
      if (auto placed = output_fs::put_shard(prefix_dir, name, body); !placed) {
        return std::unexpected(fs_failure("write ", placed.error()));
      }
      bytes += body.size();
    }
    // Records of one namespace are adjacent, so the list lookup happens once per namespace.
    if (list_label == nullptr || *list_label != key.first) {
      list = &result.entries[key.first];
      list_label = &key.first;
    }
    manifest::CatalogEntry entry{};
    entry.sha256_prefix = prefix;
    entry.size = body.size();
    entry.file_id = key.second;
    list->push_back(entry);
    report(progress, kPhaseShards, ++done, total, bytes);
  }
  result.shard_count = written.size();
  return result;
}

std::expected<uint64_t, ToolError> write_links_to(const NamespaceEntries& entries, Output& out,
                                                  const ProgressFn& progress) {
  uint64_t total = 0;
  for (const auto& [label, list] : entries) total += list.size();
  const output_fs::Dir shards_dir = TRY(open_subdir(out.root, "shards", "create shards dir "));
  uint64_t count = 0;
  std::string name;
  std::string target;
  for (const auto& [label, list] : entries) {
    const output_fs::Dir dir =
        TRY(open_subdir(shards_dir, manifest::namespace_slug(label), "create symlink ns dir "));
    for (const manifest::CatalogEntry& entry : list) {
      const std::string h = hex_encode_16(entry.sha256_prefix);
      target.assign("../");
      target.append(h, 0, 2);
      target.push_back('/');
      target += h;
      target += ".bin";
      name = format_id8(entry.file_id) + ".bin";
      // Whatever is at the link path is replaced (atomically, by a new link
      // renamed over it), never followed; a link that is already right stays.
      if (auto placed = output_fs::put_link(dir, name, target, out.guard); !placed) {
        const output_fs::FsError& e = placed.error();
        if (e.symlink || e.path != dir.child(name)) return std::unexpected(fs_failure("", e));
        return std::unexpected(ToolError::validation("symlink " + qpath(dir.child(name)) + " -> " + target + ": " +
                                                     common::os_error_text(e.code)));
      }
      report(progress, kPhaseLinks, ++count, total, 0);
    }
  }
  return count;
}

std::expected<std::vector<std::string>, ToolError> write_catalogs_to(NamespaceEntries entries, Output& out,
                                                                     const ProgressFn& progress) {
  const output_fs::Dir dir = TRY(open_subdir(out.root, "manifest", "create manifest dir "));
  std::vector<std::string> labels;
  labels.reserve(entries.size());
  for (const auto& [label, list] : entries) labels.push_back(label);
  std::sort(labels.begin(), labels.end());

  const uint64_t total = entries.size();
  uint64_t done = 0;
  for (auto& [label, list] : entries) {
    const size_t records = list.size();
    const manifest::NamespaceCatalog catalog(label, 0, std::move(list));
    const std::vector<uint8_t> bytes = catalog.encode();
    // Written aside and renamed into place; an identical catalog stays.
    if (auto placed = output_fs::replace_file(dir, manifest::namespace_slug(label) + ".bin", bytes, &out.guard);
        !placed) {
      return std::unexpected(
          fs_failure(placed.error().writing ? "write catalog " : "create catalog ", placed.error()));
    }
    report(progress, kPhaseCatalogs, ++done, total, records);
  }
  return labels;
}

}  // namespace

std::expected<ShardsV2, ToolError> write_shards_v2(const InputBundle& bundle, const fs::path& out_dir,
                                                   const ProgressFn& progress) {
  auto out = TRY(open_output(out_dir));
  return write_shards_v2_to(bundle, *out, progress);
}

std::expected<uint64_t, ToolError> write_convention_symlinks(const NamespaceEntries& entries, const fs::path& out_dir,
                                                             const ProgressFn& progress) {
  auto out = TRY(open_output(out_dir));
  return write_links_to(entries, *out, progress);
}

std::expected<std::vector<std::string>, ToolError> write_namespace_catalogs(NamespaceEntries entries,
                                                                            const fs::path& out_dir,
                                                                            const ProgressFn& progress) {
  auto out = TRY(open_output(out_dir));
  return write_catalogs_to(std::move(entries), *out, progress);
}

std::expected<ShardSummaryV2, ToolError> shard_bundle_v2(const DatShardOptions& options) {
  auto out = TRY(prepare_output(options.out_dir));
  InputBundle bundle = TRY(read_input_bundle(options));
  // Refuse labels whose paths would collide before any file is written.
  TRY_VOID(check_namespace_slugs(bundle_labels(bundle.records)));

  ShardsV2 shards = TRY(write_shards_v2_to(bundle, *out, options.progress));
  manifest::BootPack boot = TRY(write_boot_pack_to(bundle, options.spawn_landblock, *out, options.progress));
  const uint64_t boot_records = boot.covers.size();
  const uint64_t boot_size = boot.size;
  TRY_VOID(write_links_to(shards.entries, *out, options.progress));
  std::vector<std::string> namespaces = TRY(write_catalogs_to(std::move(shards.entries), *out, options.progress));

  manifest::ManifestV2 m;
  m.version = 2;
  m.generated_at = current_timestamp(options);
  m.source = source_meta(bundle);
  m.boot_pack = manifest::to_boot_pack_v2(std::move(boot));
  m.catalog_version = 1;
  m.namespaces = std::move(namespaces);
  m.shard_url_template = std::string(kShardUrlTemplate);
  m.catalog_url_template = std::string(kCatalogUrlTemplate);

  auto json = manifest::serialize_manifest_v2(m);
  if (!json) return std::unexpected(ToolError::validation("serialize v2 manifest: " + json.error().to_string()));
  TRY_VOID(publish_manifest(*out, *json));

  ShardSummaryV2 summary;
  summary.record_count = bundle.records.size();
  summary.shard_count = shards.shard_count;
  summary.namespace_count = m.namespaces.size();
  summary.boot_record_count = boot_records;
  summary.boot_size = boot_size;
  summary.manifest = std::move(m);
  return summary;
}

}  // namespace tools
