#include "dat_testing/dat_writer.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <numeric>
#include <random>

#include "common/cursor.h"
#include "dat_testing/lrs_compress.h"

namespace dat_testing {
namespace {

using dat::DatFileEntry;
using dat::DatHeader;

constexpr uint64_t kFirstBlockMin = DatHeader::kOffset + DatHeader::kSize;  // 400

// Most entries a subtree of `height` levels holds: 62^height - 1.
uint64_t subtree_capacity(size_t height) {
  uint64_t cap = 1;
  for (size_t i = 0; i < height; ++i) cap *= dat::kDatNodeBranches;
  return cap - 1;
}

size_t height_for(uint64_t count) {
  size_t h = 1;
  while (subtree_capacity(h) < count) ++h;
  return h;
}

struct Node {
  std::vector<size_t> entries;   // indexes into the sorted entry list
  std::vector<size_t> children;  // node indexes; empty for a leaf
};

// Builds the subtree over sorted entries [lo, hi) with exactly `height`
// levels, appending nodes in walk order; returns the subtree root's index.
size_t build_subtree(std::vector<Node>& nodes, size_t lo, size_t hi, size_t height) {
  const size_t index = nodes.size();
  nodes.emplace_back();
  const size_t n = hi - lo;
  if (height == 1) {
    assert(n <= dat::kDatNodeMaxEntries);
    for (size_t i = lo; i < hi; ++i) nodes[index].entries.push_back(i);
    return index;
  }
  // Fewest children whose subtrees can hold the rest, then spread evenly:
  // the shares stay above what height - 2 levels hold, so every leaf ends up
  // at the same depth.
  const uint64_t child_cap = subtree_capacity(height - 1);
  const size_t children = std::max<size_t>(2, static_cast<size_t>((n + 1 + child_cap) / (child_cap + 1)));
  assert(children <= dat::kDatNodeBranches);
  const size_t in_children = n - (children - 1);
  const size_t base = in_children / children;
  const size_t extra = in_children % children;
  size_t at = lo;
  std::vector<size_t> child_nodes;
  std::vector<size_t> separators;
  for (size_t c = 0; c < children; ++c) {
    const size_t share = base + (c < extra ? 1 : 0);
    child_nodes.push_back(build_subtree(nodes, at, at + share, height - 1));
    at += share;
    if (c + 1 < children) separators.push_back(at++);
  }
  assert(at == hi);
  nodes[index].entries = std::move(separators);
  nodes[index].children = std::move(child_nodes);
  return index;
}

size_t blocks_for(size_t bytes, uint64_t payload) {
  return std::max<size_t>(1, static_cast<size_t>((bytes + payload - 1) / payload));
}

void put_at(std::vector<uint8_t>& image, uint64_t offset, std::span<const uint8_t> bytes) {
  const size_t end = static_cast<size_t>(offset) + bytes.size();
  if (image.size() < end) image.resize(end, 0);
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

void put_u32_at(std::vector<uint8_t>& image, uint64_t offset, uint32_t value) {
  const uint8_t le[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                         static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  put_at(image, offset, le);
}

}  // namespace

std::vector<uint8_t> encode_dat_node(std::span<const uint32_t> branches, std::span<const DatFileEntry> entries,
                                     std::optional<uint32_t> count) {
  std::vector<uint8_t> out;
  out.reserve(dat::kDatNodeSize);
  common::ByteWriter w(out);
  for (size_t i = 0; i < dat::kDatNodeBranches; ++i) w.put_u32(i < branches.size() ? branches[i] : 0);
  w.put_u32(count.value_or(static_cast<uint32_t>(entries.size())));
  for (size_t i = 0; i < entries.size() && i < dat::kDatNodeMaxEntries; ++i) entries[i].write(w);
  out.resize(dat::kDatNodeSize, 0);
  return out;
}

DatWriter::DatWriter(uint32_t block_size) : block_size_(block_size) { assert(block_size >= 8); }

void DatWriter::add(uint32_t id, std::vector<uint8_t> body, bool compress) {
  if (compress) {
    add_stored(id, compress_lrs(body), DatFileEntry::kCompressedFlag);
  } else {
    add_stored(id, std::move(body), 0);
  }
}

void DatWriter::add_stored(uint32_t id, std::vector<uint8_t> stored, uint32_t bit_flags, uint32_t timestamp,
                           uint32_t version) {
  records_[id] = Record{std::move(stored), bit_flags, timestamp, version};
}

DatLayout DatWriter::build_with_layout() const {
  const uint64_t payload = block_size_ - dat::kDatBlockLinkSize;

  DatLayout layout;
  std::vector<const Record*> stored;
  for (const auto& [id, record] : records_) {
    DatFileEntry e;
    e.bit_flags = record.bit_flags;
    e.id = id;
    e.size = static_cast<uint32_t>(record.stored.size());
    e.timestamp = record.timestamp;
    e.version = record.version;
    layout.entries.push_back(e);
    stored.push_back(&record);
  }

  std::vector<Node> nodes;
  if (!layout.entries.empty()) {
    layout.depth = height_for(layout.entries.size());
    build_subtree(nodes, 0, layout.entries.size(), layout.depth);
  }

  // Blocks: records in id order, then nodes in walk order.
  size_t total_blocks = 0;
  for (const Record* r : stored) total_blocks += blocks_for(r->stored.size(), payload);
  const size_t node_blocks = blocks_for(dat::kDatNodeSize, payload);
  total_blocks += nodes.size() * node_blocks;

  std::vector<size_t> slots(total_blocks);
  std::iota(slots.begin(), slots.end(), size_t{0});
  if (scatter_seed_ != 0) {
    std::mt19937_64 rng(scatter_seed_);
    std::shuffle(slots.begin(), slots.end(), rng);
  }
  const uint64_t first_block = (kFirstBlockMin + block_size_ - 1) / block_size_ * block_size_;
  const uint64_t file_end = first_block + static_cast<uint64_t>(total_blocks) * block_size_;
  assert(file_end <= UINT32_MAX);

  std::vector<uint8_t>& image = layout.bytes;
  image.assign(static_cast<size_t>(file_end), 0);
  size_t next_slot = 0;
  // Lays `bytes` out as a chain and returns the offset of its first block.
  const auto write_chain = [&](std::span<const uint8_t> bytes) -> uint32_t {
    const size_t blocks = blocks_for(bytes.size(), payload);
    std::vector<uint32_t> offsets(blocks);
    for (auto& o : offsets) o = static_cast<uint32_t>(first_block + slots[next_slot++] * uint64_t{block_size_});
    for (size_t b = 0; b < blocks; ++b) {
      const uint32_t link = b + 1 < blocks ? offsets[b + 1] : 0;
      put_u32_at(image, offsets[b], link);
      const size_t from = static_cast<size_t>(b * payload);
      const size_t len = std::min<size_t>(static_cast<size_t>(payload), bytes.size() - std::min(from, bytes.size()));
      put_at(image, offsets[b] + dat::kDatBlockLinkSize, bytes.subspan(std::min(from, bytes.size()), len));
    }
    return offsets[0];
  };

  for (size_t i = 0; i < stored.size(); ++i) layout.entries[i].offset = write_chain(stored[i]->stored);

  // Node offsets are known before any node is encoded: the node chains take
  // the remaining slots in order.
  std::vector<uint32_t> node_offset(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    node_offset[i] = static_cast<uint32_t>(first_block + slots[next_slot + i * node_blocks] * uint64_t{block_size_});
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    std::vector<uint32_t> branches;
    for (size_t child : nodes[i].children) branches.push_back(node_offset[child]);
    std::vector<DatFileEntry> entries;
    for (size_t e : nodes[i].entries) entries.push_back(layout.entries[e]);
    const uint32_t at = write_chain(encode_dat_node(branches, entries));
    assert(at == node_offset[i]);
    (void)at;
  }
  layout.node_offsets = node_offset;

  DatHeader header = header_;
  header.block_size = block_size_;
  header.file_size = static_cast<uint32_t>(file_end);
  header.root_offset = nodes.empty() ? 0 : node_offset[0];
  std::vector<uint8_t> raw;
  common::ByteWriter hw(raw);
  header.write(hw);
  put_at(image, DatHeader::kOffset, raw);
  return layout;
}

bool DatWriter::write_to(const std::filesystem::path& path) const {
  const std::vector<uint8_t> bytes = build();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  return wrote && closed;
}

DatImage::DatImage(uint32_t block_size) : bytes_(kFirstBlockMin, 0) { header_.block_size = block_size; }

void DatImage::put_u32(uint64_t offset, uint32_t value) { put_u32_at(bytes_, offset, value); }

void DatImage::put_bytes(uint64_t offset, std::span<const uint8_t> bytes) { put_at(bytes_, offset, bytes); }

void DatImage::put_block(uint64_t offset, uint32_t link, std::span<const uint8_t> payload) {
  put_u32_at(bytes_, offset, link);
  put_at(bytes_, offset + dat::kDatBlockLinkSize, payload);
}

void DatImage::put_node(uint64_t offset, std::span<const uint32_t> branches, std::span<const DatFileEntry> entries,
                        std::optional<uint32_t> count) {
  put_block(offset, 0, encode_dat_node(branches, entries, count));
}

void DatImage::resize(size_t size) { bytes_.resize(size, 0); }

std::vector<uint8_t> DatImage::bytes() const {
  std::vector<uint8_t> out = bytes_;
  std::vector<uint8_t> raw;
  common::ByteWriter hw(raw);
  header_.write(hw);
  if (out.size() > DatHeader::kOffset) {
    const size_t n = std::min(raw.size(), out.size() - DatHeader::kOffset);
    std::copy_n(raw.begin(), n, out.begin() + DatHeader::kOffset);
  }
  return out;
}

}  // namespace dat_testing
