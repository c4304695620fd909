// Shard-key parsing over arbitrary text: accepted keys split at the last
// colon and survive format/parse; rejected keys carry the whole input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto key = manifest::parse_shard_key(text);
  if (!key) {
    FUZZ_CHECK(key.error().kind() == manifest::ManifestError::Kind::InvalidShardKey);
    FUZZ_CHECK(key.error().text() == text);
    return 0;
  }
  const size_t colon = text.rfind(':');
  FUZZ_CHECK(colon != std::string_view::npos);
  FUZZ_CHECK(key->ns == text.substr(0, colon));

  const std::string formatted = manifest::format_shard_key(key->ns, key->file_id);
  FUZZ_CHECK(formatted.size() == key->ns.size() + 11);  // ":0x" and eight digits
  auto again = manifest::parse_shard_key(formatted);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *key);
  // The canonical form is a fixed point.
  FUZZ_CHECK(manifest::format_shard_key(again->ns, again->file_id) == formatted);
  return 0;
}
