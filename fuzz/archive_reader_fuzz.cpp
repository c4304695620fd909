// The archive reader over arbitrary bytes: open, walk the index entry by
// entry, read every entry's data, look up every key both ways, load the
// whole index.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dat/archive.h"
#include "fuzz_check.h"

namespace {

// Both lookups promise the same results; compare outcome and bytes.
void check_same(const dat::DatResult<std::vector<uint8_t>>& a, const dat::DatResult<std::vector<uint8_t>>& b) {
  FUZZ_CHECK(a.has_value() == b.has_value());
  if (a) {
    FUZZ_CHECK(*a == *b);
  } else {
    FUZZ_CHECK(a.error().kind() == b.error().kind());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source = std::make_unique<dat::MemorySource>(std::vector<uint8_t>(data, data + size));
  auto reader = dat::QraReader::from_source(std::move(source));
  if (!reader) return 0;

  const dat::QraHeader& header = reader->header();
  FUZZ_CHECK(reader->file_len() == size);
  // A reader is only built over an index that lies inside the file.
  FUZZ_CHECK(header.index_offset + uint64_t{header.entry_count} * dat::QraEntry::kSize <= size);

  uint64_t covered = 0;
  for (const auto& span : reader->namespace_spans()) {
    FUZZ_CHECK(span.start_index == covered);
    covered += span.entry_count;
  }
  FUZZ_CHECK(covered == header.entry_count);

  std::vector<dat::QraEntry> entries;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    auto entry = reader->read_entry_at(i);
    FUZZ_CHECK(entry.has_value());  // the index was checked to lie inside the file
    entries.push_back(*entry);
  }

  auto index = reader->read_index();
  FUZZ_CHECK(index.has_value());
  FUZZ_CHECK(*index == entries);

  for (const dat::QraEntry& entry : entries) {
    auto body = reader->read_entry_data(entry);
    if (body) {
      const bool compressed = (entry.flags & dat::QraEntry::kFlagCompressed) != 0;
      FUZZ_CHECK(body->size() == (compressed ? entry.size : entry.comp_size));
    }
    auto ns = entry.namespace_id();
    if (!ns) continue;
    const std::string label(ns->as_str());
    check_same(reader->get_file_in_namespace(label, entry.file_id),
               reader->get_file_in_namespace_indexed(*index, label, entry.file_id));
  }
  // A key in no span and a label that is not valid both fail.
  FUZZ_CHECK(!reader->get_file_in_namespace("", 0).has_value());
  return 0;
}
