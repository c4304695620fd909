// Both JSON manifests over arbitrary text. A manifest that parses must
// serialize, and the serialized text must parse to an equal value; a
// rejected one fails with a positioned JSON error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"

namespace {

template <typename Parse, typename Serialize>
void round_trip(std::string_view text, Parse parse, Serialize serialize) {
  auto parsed = parse(text);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().kind() == manifest::ManifestError::Kind::Json);
    FUZZ_CHECK(parsed.error().has_position());
    return;
  }
  // Parsed strings are valid UTF-8, so the writer cannot fail on them.
  auto written = serialize(*parsed);
  FUZZ_CHECK(written.has_value());
  auto again = parse(*written);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *parsed);
  auto rewritten = serialize(*again);
  FUZZ_CHECK(rewritten.has_value() && *rewritten == *written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  round_trip(text, manifest::parse_manifest_v2, manifest::serialize_manifest_v2);
  round_trip(text, manifest::parse_manifest, manifest::serialize_manifest);
  return 0;
}
