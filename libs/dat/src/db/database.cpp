// DAT header, entry codec, block chains and the directory walk. The file
// picture is in dat/database.h.
#include "dat/database.h"

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <unordered_set>

#include "common/try.h"

namespace dat {
namespace {

constexpr std::string_view kLocation = "libs/dat/src/db";

static_assert(kDatNodeEntriesOffset + kDatNodeMaxEntries * DatFileEntry::kSize == kDatNodeSize,
              "61 entries fill a directory node exactly");

}  // namespace

common::ReadResult<DatHeader> DatHeader::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "DatHeader", kLocation);
  DatHeader h;
  h.magic = READ_FIELD(scope, "magic", cursor.read_u32());
  h.block_size = READ_FIELD(scope, "block_size", cursor.read_u32());
  h.file_size = READ_FIELD(scope, "file_size", cursor.read_u32());
  h.dataset = READ_FIELD(scope, "dataset", cursor.read_u32());
  h.subset = READ_FIELD(scope, "subset", cursor.read_u32());
  h.free_head = READ_FIELD(scope, "free_head", cursor.read_u32());
  h.free_tail = READ_FIELD(scope, "free_tail", cursor.read_u32());
  h.free_count = READ_FIELD(scope, "free_count", cursor.read_u32());
  h.root_offset = READ_FIELD(scope, "root_offset", cursor.read_u32());
  h.new_lru = READ_FIELD(scope, "new_lru", cursor.read_u32());
  h.old_lru = READ_FIELD(scope, "old_lru", cursor.read_u32());
  h.use_lru = READ_FIELD(scope, "use_lru", cursor.read_u32());
  h.master_map_id = READ_FIELD(scope, "master_map_id", cursor.read_u32());
  h.engine_version = READ_FIELD(scope, "engine_version", cursor.read_u32());
  h.game_version = READ_FIELD(scope, "game_version", cursor.read_u32());
  const auto version_string = READ_FIELD(scope, "version_string", cursor.read_span(h.version_string.size()));
  std::copy(version_string.begin(), version_string.end(), h.version_string.begin());
  h.version_minor = READ_FIELD(scope, "version_minor", cursor.read_u32());
  return h;
}

void DatHeader::write(common::ByteWriter& out) const {
  [[maybe_unused]] const size_t start = out.size();
  for (uint32_t v : {magic, block_size, file_size, dataset, subset, free_head, free_tail, free_count,
                     root_offset, new_lru, old_lru, use_lru, master_map_id, engine_version,
                     game_version}) {
    out.put_u32(v);
  }
  out.put_bytes(version_string);
  out.put_u32(version_minor);
  assert(out.size() - start == kSize);
}

common::ReadResult<DatFileEntry> DatFileEntry::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "DatFileEntry", kLocation);
  DatFileEntry e;
  e.bit_flags = READ_FIELD(scope, "bit_flags", cursor.read_u32());
  e.id = READ_FIELD(scope, "id", cursor.read_u32());
  e.offset = READ_FIELD(scope, "offset", cursor.read_u32());
  e.size = READ_FIELD(scope, "size", cursor.read_u32());
  e.timestamp = READ_FIELD(scope, "timestamp", cursor.read_u32());
  e.version = READ_FIELD(scope, "version", cursor.read_u32());
  return e;
}

void DatFileEntry::write(common::ByteWriter& out) const {
  for (uint32_t v : {bit_flags, id, offset, size, timestamp, version}) out.put_u32(v);
}

// The one walk over the directory at open: depth first, a node's entries
// before its subtrees, bounded by a visited set and a depth limit.
class DatDatabase::DirectoryWalk {
 public:
  explicit DirectoryWalk(DatDatabase& db) : db_(db) {}

  DatResult<void> read_node(uint32_t offset, size_t depth) {
    if (offset == 0) return {};
    if (depth > kDatMaxDirectoryDepth) {
      return std::unexpected(DatError::corruption(fmt::format(
          "DAT directory deeper than {} levels at node offset 0x{:08X}", kDatMaxDirectoryDepth, offset)));
    }
    if (!visited_.insert(offset).second) {
      return std::unexpected(DatError::corruption(
          fmt::format("DAT directory node at offset 0x{:08X} is reached twice", offset)));
    }

    const std::vector<uint8_t> node = TRY(db_.read_file_data(offset, static_cast<uint32_t>(kDatNodeSize)));
    common::ByteCursor cursor(node);
    std::array<uint32_t, kDatNodeBranches> branches{};
    for (auto& branch : branches) branch = TRY(cursor.read_u32());
    const uint32_t count = TRY(cursor.read_u32());

    // The count is untrusted: entries are decoded one by one until the node's
    // bytes run out, so nothing is sized by it.
    for (uint64_t i = 0; i < count; ++i) {
      const DatFileEntry entry = TRY(DatFileEntry::read(cursor));
      db_.files_.insert_or_assign(entry.id, entry);
    }

    if (branches[0] == 0) return {};
    const size_t last = std::min<size_t>(count, kDatNodeBranches - 1);
    for (size_t i = 0; i <= last; ++i) {
      if (branches[i] != 0) TRY_VOID(read_node(branches[i], depth + 1));
    }
    return {};
  }

 private:
  DatDatabase& db_;
  std::unordered_set<uint32_t> visited_;
};

DatResult<DatDatabase> DatDatabase::open(const std::filesystem::path& path) {
  auto file = PositionalFile::open(path.string());
  if (!file) return std::unexpected(DatError::path_error(path.string(), file.error()));
  return from_source(std::move(*file));
}

DatResult<DatDatabase> DatDatabase::from_source(std::unique_ptr<FileExtPolyfill> source) {
  if (!source) return std::unexpected(DatError::other("DAT database opened without a source"));
  const uint64_t length = TRY(source->len_compat());

  // The header is decoded from what the file holds of its 80 bytes, so that a
  // short file names the first field it lacks.
  const uint64_t available =
      length > DatHeader::kOffset ? std::min<uint64_t>(DatHeader::kSize, length - DatHeader::kOffset) : 0;
  std::vector<uint8_t> raw(static_cast<size_t>(available));
  if (auto r = source->read_exact_at_compat(raw, DatHeader::kOffset); !r) {
    // The header is decoded from the file: a failing read is the record
    // codec's failure, at the first field it would have read.
    common::ReadError error = common::ReadError::io(r.error());
    error.add_field_context("magic", "DatHeader", kLocation);
    return std::unexpected(DatError(std::move(error)));
  }
  common::ByteCursor cursor(raw);
  const DatHeader header = TRY(DatHeader::read(cursor));

  if (header.block_size <= kDatBlockLinkSize) {
    return std::unexpected(DatError::corruption(fmt::format(
        "DAT block size {} leaves no room for payload (must exceed {})", header.block_size, kDatBlockLinkSize)));
  }

  DatDatabase db(std::move(source), length, header);
  DirectoryWalk walk(db);
  TRY_VOID(walk.read_node(header.root_offset, 1));
  return db;
}

DatResult<std::vector<uint8_t>> DatDatabase::read_file_data(uint32_t offset, uint32_t count) const {
  if (count == 0) return std::vector<uint8_t>{};
  // No chain of a well-formed file carries more bytes than the file holds;
  // refusing here keeps a damaged size from allocating up to 4 GiB.
  if (count > length_) return std::unexpected(DatError(common::IoError::unexpected_eof()));

  std::vector<uint8_t> out(count);
  const uint64_t payload = header_.block_size - kDatBlockLinkSize;
  uint64_t block = offset;
  size_t written = 0;
  uint64_t remaining = count;
  while (true) {
    std::array<uint8_t, 4> link_bytes{};
    TRY_VOID(source_->read_exact_at_compat(link_bytes, block));
    const uint32_t link = common::load_u32_le(link_bytes.data());
    const uint64_t take = link == 0 ? remaining : std::min(remaining, payload);
    TRY_VOID(source_->read_exact_at_compat(
        std::span<uint8_t>(out).subspan(written, static_cast<size_t>(take)), block + kDatBlockLinkSize));
    remaining -= take;
    written += static_cast<size_t>(take);
    if (remaining == 0) break;
    block = link;
  }
  return out;
}

DatResult<std::vector<uint8_t>> DatDatabase::get_file(uint32_t id) const {
  const auto it = files_.find(id);
  if (it == files_.end()) return std::unexpected(DatError::not_found(id));
  std::vector<uint8_t> stored = TRY(read_file_data(it->second.offset, it->second.size));
  if (it->second.compressed()) return decompress_lrs(stored);
  return stored;
}

}  // namespace dat
