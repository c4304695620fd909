#pragma once
// DatDatabase: reader of the game's canonical DAT files.
//
// File picture (all integers u32 little-endian):
//
//   0      320 bytes not interpreted
//   320    DatHeader, 80 bytes
//   ...    data blocks of `block_size` bytes each, at any offset:
//            [0, 4)            file offset of the next block of the chain, 0 = last
//            [4, block_size)   payload
//
// Every record, directory nodes included, is stored as a block chain. The
// directory is a B-tree of 1716-byte nodes, see kDatNode* below, whose root
// lies at DatHeader::root_offset (0: empty directory).
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <vector>

#include "common/cursor.h"
#include "dat/error.h"
#include "dat/utils.h"

namespace dat {

// Directory node layout: 62 branch offsets (0 = no child), the entry count n,
// then n DatFileEntry records, of which at most 61 fit.
inline constexpr size_t kDatNodeBranches = 62;
inline constexpr size_t kDatNodeMaxEntries = 61;
inline constexpr size_t kDatNodeEntriesOffset = kDatNodeBranches * 4 + 4;  // 252
inline constexpr size_t kDatNodeSize = 1716;
// Size of the link that starts every data block.
inline constexpr uint32_t kDatBlockLinkSize = 4;
// Deepest directory accepted. A B-tree of 62-way nodes needs 6 levels for
// every u32 id, so anything deeper is a damaged file.
inline constexpr size_t kDatMaxDirectoryDepth = 32;

// The fixed header at file offset 320. Only block_size and root_offset are
// used; every other field is carried unchanged and never validated.
struct DatHeader {
  uint32_t magic = 0;
  uint32_t block_size = 0;  // bytes per block, including the 4-byte link
  uint32_t file_size = 0;
  uint32_t dataset = 0;
  uint32_t subset = 0;
  uint32_t free_head = 0;
  uint32_t free_tail = 0;
  uint32_t free_count = 0;
  uint32_t root_offset = 0;  // file offset of the directory root node, 0 = empty
  uint32_t new_lru = 0;
  uint32_t old_lru = 0;
  uint32_t use_lru = 0;
  uint32_t master_map_id = 0;
  uint32_t engine_version = 0;
  uint32_t game_version = 0;
  std::array<uint8_t, 16> version_string{};  // raw bytes, stored unchanged
  uint32_t version_minor = 0;

  static constexpr size_t kSize = 80;
  static constexpr size_t kOffset = 320;  // file offset of the header

  // Decodes the 17 fields in file order. A short buffer fails with the context
  // "While parsing field '{field}' in DatHeader" naming the first field the
  // buffer does not hold in full; the cursor is then left where it began.
  static common::ReadResult<DatHeader> read(common::ByteCursor& cursor);
  // Appends exactly kSize bytes.
  void write(common::ByteWriter& out) const;

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

// One directory entry.
struct DatFileEntry {
  uint32_t bit_flags = 0;  // bit 0: stored compressed; other bits carried along
  uint32_t id = 0;         // file id
  uint32_t offset = 0;     // file offset of the first block of the record's chain
  uint32_t size = 0;       // stored bytes (compressed length incl. its 4-byte prefix)
  uint32_t timestamp = 0;
  uint32_t version = 0;

  static constexpr size_t kSize = 24;
  static constexpr uint32_t kCompressedFlag = 0x1;

  // Field by field, context "While parsing field '{field}' in DatFileEntry".
  static common::ReadResult<DatFileEntry> read(common::ByteCursor& cursor);
  // Appends exactly kSize bytes.
  void write(common::ByteWriter& out) const;

  bool compressed() const { return (bit_flags & kCompressedFlag) != 0; }

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

// One opened DAT file with its whole directory loaded into a map.
//
// Opening reads the header, rejects a block size that leaves no payload, and
// walks the directory once, depth first: a node's entries are inserted in
// order (an id met again replaces the earlier entry, so the entry visited last
// wins), then its branches 0..n (at most 0..61) are descended in position
// order. Afterwards records are read on demand and the tree is never consulted
// again.
//
// Guarantees on damaged input:
//   - a block_size of 4 or less is rejected at open with DatError::Corruption;
//   - read_file_data visits only the blocks the byte count needs (each one
//     contributes at least one payload byte), so a looping chain terminates,
//     and it refuses, before allocating, a count larger than the whole file;
//   - a directory whose branches reach a node offset a second time, or that is
//     deeper than kDatMaxDirectoryDepth, is rejected with DatError::Corruption;
//   - a node claiming more than 61 entries fails with BinRead at the 62nd
//     entry, without allocating for the claimed count.
//
// Thread safety: after open every operation is const and reads positionally,
// so any number of threads may call read_file_data/get_file at once.
// Move-only; the source is closed when the database is destroyed.
class DatDatabase {
 public:
  // Opens the file at `path` for reading. Errors: PathError when it cannot be
  // opened, BinRead when it ends inside the header or the header read fails,
  // Io when a block chain cannot be read, BinRead for a node with too many
  // entries, Corruption as listed above. A failed open leaves nothing open.
  static DatResult<DatDatabase> open(const std::filesystem::path& path);
  // The same over any positional source (tests, fuzzing); takes ownership.
  static DatResult<DatDatabase> from_source(std::unique_ptr<FileExtPolyfill> source);

  DatDatabase(DatDatabase&&) noexcept = default;
  DatDatabase& operator=(DatDatabase&&) noexcept = default;
  DatDatabase(const DatDatabase&) = delete;
  DatDatabase& operator=(const DatDatabase&) = delete;
  ~DatDatabase() = default;

  const DatHeader& header() const { return header_; }
  // Every directory entry by file id, in no particular order.
  const std::unordered_map<uint32_t, DatFileEntry>& files() const { return files_; }

  // Exactly `count` bytes of the chain whose first block is at `offset`. A
  // count of 0 touches nothing. Each block contributes min(remaining, payload)
  // bytes; a block whose link is 0 supplies all remaining bytes contiguously
  // from its payload start, even past its end. Once the count is satisfied the
  // rest of the chain is not visited (a non-zero link is then ignored). Errors:
  // Io for any read that fails or passes the end of the source.
  DatResult<std::vector<uint8_t>> read_file_data(uint32_t offset, uint32_t count) const;

  // The record's bytes, decompressed (decompress_lrs) when bit 0 of its flags
  // is set. Errors: NotFound for an id absent from the directory, Io from
  // read_file_data.
  DatResult<std::vector<uint8_t>> get_file(uint32_t id) const;

 private:
  DatDatabase(std::unique_ptr<FileExtPolyfill> source, uint64_t length, DatHeader header)
      : source_(std::move(source)), length_(length), header_(header) {}

  class DirectoryWalk;

  std::unique_ptr<FileExtPolyfill> source_;
  uint64_t length_ = 0;  // source length at open
  DatHeader header_;
  std::unordered_map<uint32_t, DatFileEntry> files_;
};

}  // namespace dat
