#pragma once
// The sample data set: a deterministic, structurally realistic set of the
// game's three canonical DAT files, for the demo, command-line tests and
// benchmarks.
//
//   portal.dat  (namespace eor/portal) the six portal essentials; setup models
//               (0x02......) built from parts; graphics objects (0x01......)
//               with surface lists and mesh bytes; surfaces (0x08......) in
//               texture and colour form; surface textures (0x05......);
//               textures (0x06......) in paletted (41, 101) and direct
//               formats; palettes (0x04......); animations (0x03......) and
//               sounds (0x0A......).
//   cell.dat    (namespace eor/cell) for every landblock L of a square grid
//               around the spawn landblock 0xA9B4: terrain (L<<16 | 0xFFFF),
//               landblock info (L<<16 | 0xFFFE) placing setup models and
//               graphics objects, buildings with portals, and the interior
//               cells (L<<16 | 0x0100+k) those portals lead to.
//   local.dat   (namespace eor/local) string tables, fonts and UI images.
//
// Every reference points at a record of the set. The spawn landblock places
// models whose dependency walk reaches every record type of the chain (setup
// model, graphics object, surface, surface texture, texture, palette). A
// share of records is stored LRS-compressed; some bodies are byte-identical
// under different ids (cloned graphics objects, equal colour surfaces, open
// water terrain); sizes run from tens of bytes (surfaces) to tens of KB
// (textures, sounds).
//
// The output depends only on the options: the same scale and seed give
// byte-identical files on every run and platform (no std distributions, no
// clocks). Scale 1 is a few thousand records; the record count grows about
// linearly with the scale (scale 100: about 220,000 records, about 1 GB).
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace dat_synth {

inline constexpr uint32_t kMaxScale = 400;  // keeps portal.dat well below the 4 GiB a DAT can address
inline constexpr uint32_t kSpawnLandblock = 0xA9B4;

struct SynthOptions {
  uint32_t scale = 1;  // 1..kMaxScale
  uint64_t seed = 1;
};

enum class DatKind { Portal, Cell, Local };

struct SynthRecord {
  std::vector<uint8_t> body;  // the record as a reader hands it back
  bool compressed = false;    // stored LRS-compressed in the DAT
};

// One DAT file's worth of records.
struct SynthDat {
  DatKind kind = DatKind::Portal;
  std::string file_name;       // "portal.dat", "cell.dat", "local.dat"
  uint32_t block_size = 1024;  // bytes per DAT block
  uint32_t iteration = 0;      // the header's master_map_id
  std::map<uint32_t, SynthRecord> records;

  uint64_t body_bytes() const;
};

// Generates one DAT in memory. Each kind draws from its own random stream, so
// any one of them can be generated alone. REQUIRES: 1 <= scale <= kMaxScale.
SynthDat generate_dat(DatKind kind, const SynthOptions& options);

struct SynthSummary {
  uint64_t record_count = 0;
  uint64_t body_bytes = 0;
  uint64_t compressed_count = 0;
  uint64_t file_bytes = 0;  // the three files on disk
};

// Generates and writes portal.dat, cell.dat and local.dat into `dir`
// (created with its parents), one at a time so that only one DAT is held in
// memory. Errors are a one-line message naming the path.
std::expected<SynthSummary, std::string> write_synth_set(const std::filesystem::path& dir, const SynthOptions& options);

}  // namespace dat_synth
