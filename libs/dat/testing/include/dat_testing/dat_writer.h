#pragma once
// Writers of canonical DAT files for tests, sample data and benchmarks:
//   DatWriter   well-formed files: block chains, a real B-tree directory,
//               optionally compressed records;
//   DatImage    raw byte images for hand-crafting damaged files.
// The file layout is described in dat/database.h.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "dat/database.h"

namespace dat_testing {

// What DatWriter::build_with_layout produced, for tests that damage a file
// at a known place.
struct DatLayout {
  std::vector<uint8_t> bytes;
  // Every directory entry, sorted by id, as stored.
  std::vector<dat::DatFileEntry> entries;
  // File offset of every directory node, in the reader's walk order (root
  // first, then each subtree in branch order).
  std::vector<uint32_t> node_offsets;
  // Number of levels of the directory (0 when empty, 1 for a single leaf).
  size_t depth = 0;
};

// Builds a well-formed DAT file in memory.
//
// Layout: 320 zero bytes, the header, then blocks of block_size bytes at
// offsets that are multiples of block_size (the first at or after byte 400).
// Each record and each directory node is a chain of as many blocks as its
// bytes need (one block for an empty record), every block but the last
// full, the last with link 0. With set_scatter_seed the blocks are taken in a
// shuffled order, so chains jump back and forth through the file.
//
// The directory is a B-tree over the ids in ascending order: nodes hold at
// most 61 entries, an inner node with n entries has n + 1 children whose ids
// lie between its neighbouring separators, and all leaves are at the same
// depth. No records give root_offset 0.
//
// Not thread-safe; build() may be called any number of times.
class DatWriter {
 public:
  // REQUIRES: block_size >= 8.
  explicit DatWriter(uint32_t block_size = 1024);

  // Adds the record `id`, replacing an earlier one with that id. With
  // `compress` the stored bytes are compress_lrs(body) and bit 0 of bit_flags
  // is set, so the reader hands back `body` again.
  void add(uint32_t id, std::vector<uint8_t> body, bool compress = false);
  // Adds a record whose stored bytes, flags, timestamp and version are taken
  // as given (bit 0 of `bit_flags` decides whether the reader decompresses).
  void add_stored(uint32_t id, std::vector<uint8_t> stored, uint32_t bit_flags, uint32_t timestamp = 0,
                  uint32_t version = 0);

  void set_master_map_id(uint32_t id) { header_.master_map_id = id; }
  // The header template: every field is written as set here except
  // block_size, file_size and root_offset, which build() fills in.
  dat::DatHeader& header() { return header_; }
  // Shuffles block placement with this seed (0: sequential, the default).
  void set_scatter_seed(uint64_t seed) { scatter_seed_ = seed; }

  uint32_t block_size() const { return block_size_; }
  size_t record_count() const { return records_.size(); }

  std::vector<uint8_t> build() const { return build_with_layout().bytes; }
  DatLayout build_with_layout() const;
  // Writes build() to `path`, replacing the file; false when that fails.
  bool write_to(const std::filesystem::path& path) const;

 private:
  struct Record {
    std::vector<uint8_t> stored;
    uint32_t bit_flags = 0;
    uint32_t timestamp = 0;
    uint32_t version = 0;
  };

  uint32_t block_size_;
  dat::DatHeader header_;
  uint64_t scatter_seed_ = 0;
  std::map<uint32_t, Record> records_;
};

// Encodes one directory node of dat::kDatNodeSize bytes: up to 62 branch
// offsets (missing ones 0), the entry count (`count` if given, otherwise the
// number of entries) and the entries, of which at most 61 are stored.
std::vector<uint8_t> encode_dat_node(std::span<const uint32_t> branches,
                                     std::span<const dat::DatFileEntry> entries,
                                     std::optional<uint32_t> count = std::nullopt);

// A raw DAT image for hand-crafted, possibly damaged, files. Writes grow the
// image as needed; bytes() puts the header at offset 320.
class DatImage {
 public:
  // An image of at least 400 bytes with a header whose block size is
  // `block_size`.
  explicit DatImage(uint32_t block_size);

  dat::DatHeader& header() { return header_; }

  void put_u32(uint64_t offset, uint32_t value);
  void put_bytes(uint64_t offset, std::span<const uint8_t> bytes);
  // A block: its link, then its payload bytes (which may run past the block).
  void put_block(uint64_t offset, uint32_t link, std::span<const uint8_t> payload = {});
  // A directory node stored as one block with link 0, so the reader takes
  // its 1716 bytes contiguously from offset + 4.
  void put_node(uint64_t offset, std::span<const uint32_t> branches, std::span<const dat::DatFileEntry> entries,
                std::optional<uint32_t> count = std::nullopt);
  // Grows (zero-filled) or cuts the image to exactly `size` bytes; a cut
  // below 400 bytes also cuts the header in bytes().
  void resize(size_t size);

  size_t size() const { return bytes_.size(); }
  std::vector<uint8_t> bytes() const;

 private:
  dat::DatHeader header_;
  std::vector<uint8_t> bytes_;
};

}  // namespace dat_testing
