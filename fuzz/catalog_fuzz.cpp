// The namespace catalog decoder over arbitrary bytes, and once more over the
// same bytes with the checksum repaired, so that mutations of the entry stream
// get past the CRC check. Whatever decodes must survive encode and decode
// unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cursor.h"
#include "fuzz_check.h"
#include "manifest/catalog.h"

namespace {

void decode(std::span<const uint8_t> bytes) {
  auto catalog = manifest::NamespaceCatalog::read_from(bytes, "eor/portal");
  if (!catalog) {
    // Errors carry printable text in both forms.
    FUZZ_CHECK(!catalog.error().to_string().empty());
    FUZZ_CHECK(!catalog.error().debug_string().empty());
    return;
  }
  FUZZ_CHECK(catalog->ns() == "eor/portal");
  FUZZ_CHECK(catalog->flags() == 0);
  const auto& entries = catalog->entries();
  FUZZ_CHECK(entries.size() == common::load_u32_le(bytes.data() + 8));  // the header's entry count
  FUZZ_CHECK(std::is_sorted(entries.begin(), entries.end(),
                            [](const auto& a, const auto& b) { return a.file_id < b.file_id; }));

  const std::vector<uint8_t> encoded = catalog->encode();
  FUZZ_CHECK(encoded.size() <= bytes.size());  // shortest LEB128 forms
  auto again = manifest::NamespaceCatalog::read_from(encoded, "eor/portal");
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *catalog);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  decode(input);

  // Header (16) and footer (8) present: recompute the CRC over the body.
  if (size >= 24) {
    std::vector<uint8_t> repaired(input.begin(), input.end());
    const size_t body = size - 8;
    const uint32_t crc = manifest::crc32_ieee(std::span<const uint8_t>(repaired).first(body));
    for (int i = 0; i < 4; ++i) repaired[body + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
    decode(repaired);
  }
  return 0;
}
