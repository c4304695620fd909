// dat-synth: writes the sample data set (portal.dat, cell.dat, local.dat).
//
//   dat-synth --out-dir DIR [--scale N] [--seed S]
//
// Exit status 0 on success, 1 when writing fails, 2 for a wrong command line.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "common/number.h"
#include "synth.h"

namespace {

using common::parse_number;

int usage_error(const std::string& text) {
  std::fprintf(stderr, "dat-synth: error: %s\nRun 'dat-synth --help' for usage.\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes a deterministic sample set of canonical DAT files (portal.dat, cell.dat, local.dat).",
               "dat-synth"};
  std::string out_dir;
  std::string scale_text = "1";
  std::string seed_text = "1";
  app.add_option("--out-dir", out_dir, "directory to write the three files into (created if missing)")->type_name("DIR");
  app.add_option("--scale", scale_text, fmt::format("size of the set, 1 to {} (default 1: a few thousand records; "
                                                    "100: about 220,000 records, about 1 GB)",
                                                    dat_synth::kMaxScale))
      ->type_name("N");
  app.add_option("--seed", seed_text, "random seed; equal seeds give identical files (default 1)")->type_name("S");
  app.footer("Numbers are decimal or 0x-prefixed hex.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, std::cout, std::cerr);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (out_dir.empty()) return usage_error("--out-dir is required");
  const auto scale = parse_number(scale_text);
  if (!scale || *scale < 1 || *scale > dat_synth::kMaxScale) {
    return usage_error(fmt::format("--scale: bad number '{}' (expected 1 to {})", scale_text, dat_synth::kMaxScale));
  }
  const auto seed = parse_number(seed_text);
  if (!seed) return usage_error(fmt::format("--seed: bad number '{}'", seed_text));

  const auto start = std::chrono::steady_clock::now();
  dat_synth::SynthOptions options{static_cast<uint32_t>(*scale), *seed};
  auto summary = dat_synth::write_synth_set(out_dir, options);
  if (!summary) {
    std::fprintf(stderr, "dat-synth: error: %s\n", summary.error().c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("wrote %s/{portal,cell,local}.dat: %llu records (%llu stored compressed), %llu bytes of records, "
              "%llu bytes on disk, in %.1f s\n",
              out_dir.c_str(), static_cast<unsigned long long>(summary->record_count),
              static_cast<unsigned long long>(summary->compressed_count),
              static_cast<unsigned long long>(summary->body_bytes), static_cast<unsigned long long>(summary->file_bytes),
              seconds);
  return 0;
}
