// bench-ingest: the tool's ingest alone. Reads a bundle the way `dat-shard
// shard` does (read_input_bundle) and prints one JSON object with the wall
// time of that call, the record count and the body bytes.
//
//   bench-ingest --input FILE.qra
//   bench-ingest --dat-dir DIR        (DIR/portal.dat, cell.dat, local.dat)
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "dat_shard.h"

int main(int argc, char** argv) {
  tools::DatShardOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--input") {
      options.input = value;
    } else if (flag == "--dat-dir") {
      options.eor_portal = value + "/portal.dat";
      options.eor_cell = value + "/cell.dat";
      options.eor_local = value + "/local.dat";
    } else {
      std::fprintf(stderr, "bench-ingest: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  auto bundle = tools::read_input_bundle(options);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!bundle) {
    std::fprintf(stderr, "bench-ingest: %s\n", bundle.error().message().c_str());
    return 1;
  }
  unsigned long long bytes = 0;
  for (const auto& [key, body] : bundle->records) bytes += body.size();
  std::printf("{\"total\": %.6f, \"records\": %zu, \"body_bytes\": %llu}\n", secs, bundle->records.size(), bytes);
  return 0;
}
