// The DAT database over arbitrary bytes: open (header and the directory
// walk), then get_file of every id in the directory.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cursor.h"
#include "dat/database.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source = std::make_unique<dat::MemorySource>(std::vector<uint8_t>(data, data + size));
  auto db = dat::DatDatabase::from_source(std::move(source));
  if (!db) return 0;
  FUZZ_CHECK(db->header().block_size > dat::kDatBlockLinkSize);

  for (const auto& [id, entry] : db->files()) {
    FUZZ_CHECK(id == entry.id);
    auto body = db->get_file(id);
    if (!body) {
      FUZZ_CHECK(body.error().kind() == dat::DatError::Kind::Io);  // the id is in the directory
      continue;
    }
    if (!entry.compressed()) {
      FUZZ_CHECK(body->size() == entry.size);
    } else if (entry.size >= 4) {
      // The stored bytes start with the declared length, which bounds the output.
      auto stored = db->read_file_data(entry.offset, entry.size);
      FUZZ_CHECK(stored.has_value());
      FUZZ_CHECK(body->size() <= common::load_u32_le(stored->data()));
    }
  }
  // An id outside the directory is NotFound; one inside never is.
  auto zero = db->get_file(0);
  FUZZ_CHECK((!zero && zero.error().kind() == dat::DatError::Kind::NotFound) == !db->files().contains(0));
  return 0;
}
