// Writes the seed corpora of the fuzz targets: `make_seeds <corpus dir>`
// (re)creates <corpus dir>/<target>/ for every target and fills it with small
// inputs: valid records and files made by the test-support encoders and
// writers, and damaged or borderline variants of them (empty, truncated,
// wrong magic, index past the end, spans out of order, block size 4,
// directory loops, huge counts, negative counts, ...).
//
// Deterministic: the same build writes the same bytes, so the committed
// corpora can be regenerated and compared.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/cursor.h"
#include "dat/archive.h"
#include "dat/database.h"
#include "dat_testing/asset_encoders.h"
#include "dat_testing/dat_writer.h"
#include "dat_testing/lrs_compress.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "manifest/v2.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

class Corpus {
 public:
  Corpus(fs::path root, std::string_view target) : dir_(root / target) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  void add(std::string_view name, std::span<const uint8_t> bytes) {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail(fmt::format("cannot write {}", (dir_ / name).string()));
    ++count_;
  }
  void add_text(std::string_view name, std::string_view text) {
    add(name, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

  [[noreturn]] static void fail(const std::string& message) {
    std::fprintf(stderr, "make_seeds: %s\n", message.c_str());
    std::exit(1);
  }

  ~Corpus() { std::printf("%-20s %zu seeds\n", dir_.filename().c_str(), count_); }

 private:
  fs::path dir_;
  size_t count_ = 0;
};

void put_u32_at(Bytes& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes le32(uint32_t value) {
  common::ByteWriter out;
  out.put_u32(value);
  return out.take();
}

common::Frame frame(float x, float y, float z) {
  common::Frame f;
  f.origin = {x, y, z};
  f.orientation = {0.5f, 0.5f, 0.5f, 0.5f};
  return f;
}

// ---------------------------------------------------------------- archive

Bytes write_archive(const fs::path& scratch, const std::vector<std::tuple<std::string, uint32_t, Bytes>>& records) {
  auto writer = dat::QraStreamWriter::create(scratch);
  if (!writer) Corpus::fail("cannot create " + scratch.string() + ": " + writer.error().to_string());
  for (const auto& [ns, id, body] : records) {
    auto added = writer->add(ns, id, 0, std::span<const uint8_t>(body));
    if (!added) Corpus::fail("archive add: " + added.error().to_string());
  }
  auto done = std::move(*writer).finish();
  if (!done) Corpus::fail("archive finish: " + done.error().to_string());
  std::ifstream in(scratch, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(scratch);
  return bytes;
}

void archive_seeds(const fs::path& root, const fs::path& scratch) {
  Corpus c(root, "archive_reader");
  const Bytes repeated(600, 'a');  // compresses: stored as a zstd frame
  const Bytes valid = write_archive(scratch, {
                                                 {"eor/portal", 0x0E000002, text_bytes("portal essential")},
                                                 {"eor/portal", 0x01000001, repeated},
                                                 {"eor/portal", 0x02000001, {}},
                                                 {"eor/cell", 0x1234FFFE, text_bytes("landblock info")},
                                                 {"eor/local", 7, {1, 2, 3}},
                                             });
  c.add("three_namespaces.qra", valid);
  c.add("empty.qra", write_archive(scratch, {}));
  c.add("one_compressed.qra", write_archive(scratch, {{"eor/portal", 1, Bytes(300, 0)}}));

  // Damaged variants of the valid archive. Header: magic 0, version 4,
  // entry_count 8, index_offset 12, metadata_size 20.
  c.add("truncated_header.qra", Bytes(valid.begin(), valid.begin() + 10));
  Bytes wrong_magic = valid;
  wrong_magic[0] = 'X';
  c.add("wrong_magic.qra", wrong_magic);
  Bytes wrong_version = valid;
  put_u32_at(wrong_version, 4, 3);
  c.add("wrong_version.qra", wrong_version);
  Bytes index_past_end = valid;
  put_u32_at(index_past_end, 12, static_cast<uint32_t>(valid.size()));
  c.add("index_past_end.qra", index_past_end);
  Bytes huge_count = valid;
  put_u32_at(huge_count, 8, 0xFFFFFFFF);
  c.add("huge_entry_count.qra", huge_count);
  // Swap the labels of the first two namespace spans (40 bytes each after the
  // u32 count, label first): the spans are then out of order.
  Bytes spans_swapped = valid;
  const size_t index_offset = common::load_u32_le(valid.data() + 12);
  const size_t metadata_size = common::load_u32_le(valid.data() + 20);
  const size_t spans = index_offset - metadata_size + 4;
  std::swap_ranges(spans_swapped.begin() + static_cast<std::ptrdiff_t>(spans),
                   spans_swapped.begin() + static_cast<std::ptrdiff_t>(spans + 32),
                   spans_swapped.begin() + static_cast<std::ptrdiff_t>(spans + 40));
  c.add("spans_out_of_order.qra", spans_swapped);
  // The first entry's body range runs past the end of the file.
  Bytes body_past_end = valid;
  put_u32_at(body_past_end, index_offset + 52, 0x7FFFFFFF);  // comp_size of entry 0
  c.add("body_past_end.qra", body_past_end);
}

// ---------------------------------------------------------------- catalog

void catalog_seeds(const fs::path& root) {
  Corpus c(root, "catalog");
  auto prefix = [](uint8_t fill) {
    std::array<uint8_t, 16> p{};
    p.fill(fill);
    return p;
  };
  const manifest::NamespaceCatalog catalog("eor/portal", 0,
                                           {
                                               {prefix(0x11), 0, 0},
                                               {prefix(0x22), 127, 1},
                                               {prefix(0x33), 128, 0x0E000002},
                                               {prefix(0x44), 0xFFFFFFFFFFull, 0x0E000003},
                                               {prefix(0x55), 16384, 0xFFFFFFFF},
                                           });
  const Bytes valid = catalog.encode();
  c.add("five_entries.bin", valid);
  c.add("empty.bin", manifest::NamespaceCatalog("eor/cell", 0, {}).encode());
  c.add("truncated.bin", Bytes(valid.begin(), valid.begin() + 20));
  Bytes bad_crc = valid;
  bad_crc[16] ^= 1;
  c.add("bad_crc.bin", bad_crc);
  Bytes bad_trailer = valid;
  bad_trailer.back() = 'X';
  c.add("bad_trailer.bin", bad_trailer);

  // Hand-assembled bodies with a correct CRC: a non-shortest LEB128 delta, a
  // ten-byte size, and an entry count larger than the stream holds.
  auto finish = [](Bytes body) {
    const uint32_t crc = manifest::crc32_ieee(body);
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    for (char ch : std::string_view("SNRQ")) body.push_back(static_cast<uint8_t>(ch));
    return body;
  };
  auto header = [](uint32_t count, uint8_t version = 1, uint8_t flags = 0) {
    Bytes h = {'Q', 'R', 'N', 'S', version, flags, 0, 0};
    const Bytes n = le32(count);
    h.insert(h.end(), n.begin(), n.end());
    h.insert(h.end(), 4, 0);
    return h;
  };
  Bytes long_forms = header(1);
  long_forms.insert(long_forms.end(), {0x85, 0x80, 0x00});  // delta 5 in three bytes
  long_forms.insert(long_forms.end(), 16, 0xAB);
  long_forms.insert(long_forms.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
  c.add("long_leb128_forms.bin", finish(long_forms));
  Bytes huge_count = header(0xFFFFFFFF);
  huge_count.insert(huge_count.end(), {0x01});
  huge_count.insert(huge_count.end(), 16, 0);
  huge_count.insert(huge_count.end(), {0x00});
  c.add("huge_entry_count.bin", finish(huge_count));
  Bytes id_overflow = header(2);
  for (int i = 0; i < 2; ++i) {
    id_overflow.insert(id_overflow.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0x0F});  // delta 0xFFFFFFFF
    id_overflow.insert(id_overflow.end(), 16, 0);
    id_overflow.push_back(0);
  }
  c.add("id_overflow.bin", finish(id_overflow));
  c.add("full_sha_flag.bin", finish(header(0, 1, manifest::CATALOG_FLAG_FULL_SHA256)));
  c.add("version_2.bin", finish(header(0, 2)));
}

// ---------------------------------------------------------------- DAT

void dat_seeds(const fs::path& root) {
  Corpus c(root, "dat_database");
  const Bytes text = text_bytes("a record body that repeats, repeats, repeats and repeats");

  dat_testing::DatWriter small(64);
  small.add(0x0E000002, text);
  small.add(0x0E000003, text, /*compress=*/true);
  small.add(0x01000001, {});
  small.add(0x02000001, Bytes(150, 7), /*compress=*/true);
  c.add("small_block64.dat", small.build());
  small.set_scatter_seed(42);
  c.add("scattered_block64.dat", small.build());

  dat_testing::DatWriter empty(1024);
  c.add("empty_directory.dat", empty.build());

  // 62 records do not fit one node: a root with two children.
  dat_testing::DatWriter tree(64);
  for (uint32_t i = 0; i < 62; ++i) tree.add(0x06000000 + i, {});
  c.add("two_level_directory.dat", tree.build());

  dat_testing::DatImage block4(4);
  c.add("block_size_4.dat", block4.bytes());

  c.add("truncated_header.dat", Bytes(330, 0));

  // A root node whose first branch leads back to itself.
  dat_testing::DatImage loop(64);
  const dat::DatFileEntry entry{0, 0x0E000001, 0x1000, 4, 0, 0};
  loop.header().root_offset = 0x400;
  const uint32_t branches[] = {0x400};
  loop.put_node(0x400, branches, std::span<const dat::DatFileEntry>(&entry, 1));
  loop.put_block(0x1000, 0, text_bytes("body"));
  c.add("directory_loop.dat", loop.bytes());

  // A node claiming far more entries than it holds.
  dat_testing::DatImage many(64);
  many.header().root_offset = 0x400;
  many.put_node(0x400, {}, std::span<const dat::DatFileEntry>(&entry, 1), 0xFFFFFFFF);
  c.add("huge_entry_count.dat", many.bytes());

  // A record chain whose block links to itself, and a record larger than the file.
  dat_testing::DatImage chain(16);
  const dat::DatFileEntry entries[] = {{0, 1, 0x800, 200, 0, 0}, {0, 2, 0x800, 0xFFFFFFF0, 0, 0}};
  chain.header().root_offset = 0x400;
  chain.put_node(0x400, {}, entries);
  chain.put_block(0x800, 0x800, text_bytes("0123456789AB"));
  c.add("looping_chain.dat", chain.bytes());
}

// ---------------------------------------------------------------- LRS

void lrs_seeds(const fs::path& root) {
  Corpus c(root, "lrs");
  c.add("text.lrs", dat_testing::compress_lrs(text_bytes("abcabcabcabc, the quick brown fox, abcabcabcabc")));
  c.add("zeros.lrs", dat_testing::compress_lrs(Bytes(400, 0)));
  Bytes mixed;
  for (uint32_t i = 0; i < 300; ++i) mixed.push_back(static_cast<uint8_t>((i * 37) ^ (i >> 3)));
  c.add("mixed.lrs", dat_testing::compress_lrs(mixed));
  c.add("empty.lrs", dat_testing::compress_lrs({}));
  c.add("short.lrs", Bytes{1, 2, 3});
  // Declared 0xFFFFFFFF, one literal then a long back-reference.
  c.add("huge_declared.lrs", concat({le32(0xFFFFFFFF), Bytes{0x40, 'x', 0x01, 0x0F}}));
  // A back-reference before any output.
  c.add("reference_first.lrs", concat({le32(10), Bytes{0x80, 0x01, 0x00}}));
  // Distance 0 ends the stream early.
  c.add("distance_zero.lrs", concat({le32(10), Bytes{0x20, 'a', 'b', 0x00, 0x00, 'c'}}));
  // Distance further back than the output so far.
  c.add("distance_too_far.lrs", concat({le32(20), Bytes{0x40, 'a', 0xFF, 0xFF}}));
  // The stream produces more than declared.
  c.add("declared_short.lrs", concat({le32(3), Bytes{0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}}));
  // A flag byte with nothing after it.
  c.add("flag_only.lrs", concat({le32(5), Bytes{0x00}}));
}

// ---------------------------------------------------------------- assets

dat::LandblockInfo sample_landblock() {
  dat::LandblockInfo info;
  info.id = 0x1234FFFE;
  info.num_cells = 3;
  info.objects.push_back({0x02000001, frame(1, 2, 3)});
  info.objects.push_back({0x01000001, frame(-4, 5.5f, 0)});
  dat::BuildInfo building;
  building.model_id = 0x01000002;
  building.frame = frame(10, 20, 30);
  building.num_leaves = 2;
  building.portals.push_back({1, 0x0100, 2, {7, 8, 9}});  // odd stab count: padded
  building.portals.push_back({0, 0x0101, 0, {}});
  info.buildings.push_back(building);
  info.pack_mask = 1;
  dat::RestrictionTable table;
  table.tables = {{0x12340001, 5}, {0x12340002, 6}};
  info.restriction_tables = table;
  return info;
}

void landblock_seeds(const fs::path& root) {
  Corpus c(root, "landblock");
  const Bytes full = dat_testing::encode_landblock_info(sample_landblock());
  c.add("objects_buildings_table.bin", full);
  dat::LandblockInfo bare;
  bare.id = 0x0101FFFE;
  c.add("empty.bin", dat_testing::encode_landblock_info(bare));
  dat::LandblockInfo no_table = sample_landblock();
  no_table.pack_mask = 0;
  no_table.restriction_tables.reset();
  // Without the table the record ends with the odd-stab portal's padding
  // missing: the decoder does not need it.
  no_table.buildings[0].portals.pop_back();
  Bytes unpadded = dat_testing::encode_landblock_info(no_table);
  unpadded.resize(unpadded.size() - 2);
  c.add("last_padding_missing.bin", unpadded);
  c.add("truncated.bin", Bytes(full.begin(), full.begin() + 50));
  Bytes huge_objects = dat_testing::encode_landblock_info(bare);
  put_u32_at(huge_objects, 8, 0xFFFFFFFF);
  c.add("huge_object_count.bin", huge_objects);
}

dat::SetupModel sample_setup_model() {
  dat::SetupModel m;
  m.id = 0x02000001;
  m.flags = 3;
  m.parts = {0x01000001, 0x01000002};
  m.part_u32s = {1, 2};
  m.part_vectors = {{1, 1, 1}, {2, 2, 2}};
  m.location_table_1[5] = {0, frame(0, 0, 1)};
  m.location_table_2[6] = {1, frame(0, 1, 0)};
  dat::PlacementType placement;
  placement.animation_frame.frames = {frame(1, 0, 0), frame(0, 0, 0)};
  placement.animation_frame.hooks = {dat_testing::make_fixed_hook(1, 0x10), dat_testing::make_fixed_hook(3, 0),
                                     dat_testing::make_fixed_hook(13, 2),
                                     dat_testing::make_variable_hook(7, 0xAA, 0x8001, 0x1234),
                                     dat_testing::make_variable_hook(8, 0xBB, 0x0001)};
  m.placements[0] = placement;
  m.cyl_spheres.push_back({{0, 0, 0}, 1.5f, 2.0f});
  m.spheres.push_back({{1, 2, 3}, 4});
  m.scalars = {1, 2, 3, 4};
  m.sphere_1 = {{0, 0, 1}, 1};
  m.sphere_2 = {{0, 0, 2}, 2};
  m.lights[9] = {frame(3, 3, 3), 0xFFFFFF, 1, 2, 3};
  m.optional_ids = {0x04000001, std::nullopt, 0x03000002, std::nullopt, 0x0D000001};
  return m;
}

void setup_model_seeds(const fs::path& root) {
  Corpus c(root, "setup_model");
  const dat::SetupModel full = sample_setup_model();
  const Bytes encoded = dat_testing::encode_setup_model(full);
  c.add("every_field.bin", encoded);
  dat::SetupModel minimal;
  minimal.id = 0x02000002;
  c.add("minimal.bin", dat_testing::encode_setup_model(minimal));
  dat::SetupModel every_hook;
  every_hook.id = 0x02000003;
  every_hook.parts = {0x01000003};
  dat::PlacementType placement;
  placement.animation_frame.frames = {frame(0, 0, 0)};
  for (uint32_t type = 0; type < dat::kFirstUnsupportedHookType; ++type) {
    placement.animation_frame.hooks.push_back(type == dat::kVariableBodyHookType
                                                  ? dat_testing::make_variable_hook(type, 1, 2)
                                                  : dat_testing::make_fixed_hook(type, type));
  }
  every_hook.placements[1] = placement;
  c.add("every_hook_type.bin", dat_testing::encode_setup_model(every_hook));

  // Without parts and with empty location tables the placement count sits at
  // offset 20 (after id, flags, num_parts and the two table counts).
  Bytes negative = dat_testing::encode_setup_model(minimal);
  put_u32_at(negative, 20, 0xFFFFFFFF);
  c.add("negative_placements.bin", negative);
  dat::SetupModel bad_hook = minimal;
  bad_hook.placements[0].animation_frame.hooks.push_back({27, 0, {}});
  c.add("unsupported_hook.bin", dat_testing::encode_setup_model(bad_hook));
  c.add("truncated.bin", Bytes(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(encoded.size() / 2)));
  Bytes huge_parts = dat_testing::encode_setup_model(minimal);
  put_u32_at(huge_parts, 8, 0xFFFFFFFF);
  c.add("huge_part_count.bin", huge_parts);
}

void surface_record_seeds(const fs::path& root) {
  Corpus c(root, "surface_records");
  dat::Surface textured;
  textured.surface_type = 2;
  textured.texture_refs = dat::TextureRefs{0x05000001, 0x04000001};
  textured.translucency = 0x3F000000;
  c.add("surface_textured.bin", dat_testing::encode_surface(textured));
  dat::Surface coloured;
  coloured.surface_type = 1;
  coloured.color_value = 0xFF8800FF;
  c.add("surface_colour.bin", dat_testing::encode_surface(coloured));

  dat::SurfaceTexture st;
  st.id = 0x05000001;
  st.unknown_byte = 2;
  st.textures = {0x06000001, 0x06000002, 0x06000003};
  const Bytes st_bytes = dat_testing::encode_surface_texture(st);
  c.add("surface_texture.bin", st_bytes);
  dat::SurfaceTexture st_empty;
  c.add("surface_texture_empty.bin", dat_testing::encode_surface_texture(st_empty));
  Bytes st_negative = st_bytes;
  put_u32_at(st_negative, 9, 0xFFFFFFFB);  // count -5
  c.add("surface_texture_negative.bin", st_negative);

  dat::Texture paletted;
  paletted.id = 0x06000001;
  paletted.width = 2;
  paletted.height = 2;
  paletted.format_raw = 41;
  paletted.source_data = {1, 2, 3, 4};
  paletted.default_palette_id = 0x04000002;
  const Bytes tex = dat_testing::encode_texture(paletted);
  c.add("texture_paletted_41.bin", tex);
  paletted.format_raw = 101;
  c.add("texture_paletted_101.bin", dat_testing::encode_texture(paletted));
  dat::Texture rgb = paletted;
  rgb.format_raw = 21;
  rgb.default_palette_id.reset();
  c.add("texture_plain.bin", dat_testing::encode_texture(rgb));
  Bytes negative_length = tex;
  put_u32_at(negative_length, 20, 0xFFFFFFFF);
  c.add("texture_negative_length.bin", negative_length);
  Bytes long_length = tex;
  put_u32_at(long_length, 20, 0x7FFFFFFF);
  c.add("texture_length_past_end.bin", long_length);
}

void gfx_obj_seeds(const fs::path& root) {
  Corpus c(root, "gfx_obj_surfaces");
  const uint32_t three[] = {0x08000001, 0x08000002, 0x08000003};
  c.add("three_surfaces.bin", dat_testing::encode_gfx_obj(three, 16));
  c.add("no_surfaces.bin", dat_testing::encode_gfx_obj({}));
  std::vector<uint32_t> many(0x80);
  for (uint32_t i = 0; i < many.size(); ++i) many[i] = 0x08000000 + i;
  c.add("two_byte_count.bin", dat_testing::encode_gfx_obj(many));
  // Four-byte form: (b0 & 0x3F) << 24 | b1 << 16 | u16le(b2, b3) = 2.
  c.add("four_byte_count.bin", concat({Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0x00, 0x02, 0x00},
                                       le32(0x08000001), le32(0x08000002)}));
  c.add("count_past_end.bin", Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x05, 1, 0, 0, 8});
  c.add("huge_count.bin", Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF});
  c.add("short.bin", Bytes{1, 2, 3, 4, 5, 6, 7, 8});
}

// ---------------------------------------------------------------- walk

// The walk target's input: a control byte, then [u32 id][u16 length][bytes] records.
class WalkInput {
 public:
  explicit WalkInput(uint8_t control) { out_.put_u8(control); }
  WalkInput& record(uint32_t id, const Bytes& body) {
    out_.put_u32(id);
    out_.put_u16(static_cast<uint16_t>(body.size()));
    out_.put_bytes(body);
    return *this;
  }
  Bytes take() { return out_.take(); }

 private:
  common::ByteWriter out_;
};

void walk_seeds(const fs::path& root) {
  Corpus c(root, "walk_model");
  dat::SetupModel setup;
  setup.id = 0x02000001;
  setup.parts = {0x01000001, 0x02000002, 0x0A000001};
  dat::SetupModel nested;
  nested.id = 0x02000002;
  nested.parts = {0x02000001, 0x01000001, 0x02000002};  // refers back to its parent and itself
  const uint32_t surfaces[] = {0x08000001, 0x08000002};
  dat::Surface textured;
  textured.surface_type = 4;
  textured.texture_refs = dat::TextureRefs{0x05000001, 0x04000001};
  dat::Surface coloured;
  coloured.surface_type = 1;
  coloured.color_value = 7;
  dat::SurfaceTexture st;
  st.id = 0x05000001;
  st.textures = {0x06000001, 0x06000002};
  dat::Texture texture;
  texture.id = 0x06000002;
  texture.format_raw = 101;
  texture.source_data = {9, 9};
  texture.default_palette_id = 0x04000002;

  auto full = [&](uint8_t control) {
    return WalkInput(control)
        .record(0x02000001, dat_testing::encode_setup_model(setup))
        .record(0x02000002, dat_testing::encode_setup_model(nested))
        .record(0x01000001, dat_testing::encode_gfx_obj(surfaces, 4))
        .record(0x08000001, dat_testing::encode_surface(textured))
        .record(0x08000002, dat_testing::encode_surface(coloured))
        .record(0x05000001, dat_testing::encode_surface_texture(st))
        .record(0x06000002, dat_testing::encode_texture(texture))
        .take();
  };
  c.add("setup_to_texture_depth0.bin", full(0));
  c.add("setup_preseeded_depth3.bin", full(8 | 3));
  c.add("depth4.bin", full(4));
  c.add("depth5_ignored.bin", full(5));
  c.add("gfx_obj_only.bin", WalkInput(0)
                                .record(0x01000001, dat_testing::encode_gfx_obj(surfaces))
                                .record(0x08000001, dat_testing::encode_surface(textured))
                                .take());
  c.add("undecodable_setup.bin", WalkInput(0).record(0x02000009, Bytes{1, 2, 3}).take());
  c.add("other_type.bin", WalkInput(0).record(0x0E000002, Bytes{1}).take());
}

// ---------------------------------------------------------------- manifest

void shard_key_seeds(const fs::path& root) {
  Corpus c(root, "shard_key");
  const std::string_view keys[][2] = {
      {"portal.txt", "eor/portal:0x0E000002"},
      {"upper_x_plus.txt", "eor/cell:0X+0000abcd"},
      {"empty_ns.txt", ":0x1"},
      {"colons_in_ns.txt", "a:b:0xFFFFFFFF"},
      {"too_wide.txt", "eor/portal:0x100000000"},
      {"leading_zeros.txt", "ns:0x00000000000001"},
      {"no_digits.txt", "eor/portal:0x"},
      {"plus_only.txt", "eor/portal:0x+"},
      {"no_colon.txt", "eor/portal"},
      {"decimal.txt", "eor/portal:1234"},
  };
  for (const auto& [name, key] : keys) c.add_text(name, key);
  c.add("non_utf8.txt", Bytes{'e', 0xFF, 0xFE, ':', '0', 'x', '1'});
}

void manifest_json_seeds(const fs::path& root) {
  Corpus c(root, "manifest_json");
  manifest::Manifest flat;
  flat.generated_at = "2024-05-01T12:00:00Z";
  flat.source = {1, 2, 3};
  flat.boot_pack = {"boot.qra", 1234, std::string(64, 'a'), {"eor/portal:0x0E000002", "eor/cell:0x1234FFFE"}};
  flat.shards["eor/portal:0x0E000002"] = {std::string(64, 'b'), 16, "shards/bb.bin"};
  flat.shards["eor/cell:0x1234FFFE"] = {std::string(64, 'c'), 0, "shards/cc.bin"};
  auto flat_json = manifest::serialize_manifest(flat);
  if (!flat_json) Corpus::fail("serialize flat manifest: " + flat_json.error().to_string());
  c.add_text("flat.json", *flat_json);

  manifest::ManifestV2 v2;
  v2.generated_at = "2024-05-01T12:00:00Z";
  v2.source = {4, 5, 6};
  v2.boot_pack = {"boot.qra", 99, std::string(64, 'd')};
  v2.namespaces = {"eor/cell", "eor/local", "eor/portal"};
  v2.shard_url_template = "shards/{sha256_prefix2}/{sha256}.bin";
  v2.catalog_url_template = "manifest/{namespace_slug}.bin";
  auto v2_json = manifest::serialize_manifest_v2(v2);
  if (!v2_json) Corpus::fail("serialize catalog manifest: " + v2_json.error().to_string());
  c.add_text("catalog.json", *v2_json);
  v2.catalog_url_template.reset();
  v2.namespaces.clear();
  c.add_text("catalog_null_template.json", *manifest::serialize_manifest_v2(v2));

  c.add_text("duplicate_field.json", R"({"version":2,"version":3})");
  c.add_text("wrong_type.json", R"({"version":"2","source":[]})");
  c.add_text("too_wide.json", R"({"version":4294967296,"boot_pack":{"size":-1}})");
  c.add_text("unknown_and_escapes.json",
             R"({"extra":{"deep":[1,2.5e3,null,true]},"generated_at":"\u00e9\ud83d\ude00\n"})");
  c.add_text("truncated.json", v2_json->substr(0, v2_json->size() / 2));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus dir>\n");
    return 2;
  }
  const fs::path root = argv[1];
  fs::create_directories(root);
  const fs::path scratch = fs::temp_directory_path() / fmt::format("make_seeds_{}.qra", ::getpid());

  archive_seeds(root, scratch);
  catalog_seeds(root);
  dat_seeds(root);
  lrs_seeds(root);
  landblock_seeds(root);
  setup_model_seeds(root);
  surface_record_seeds(root);
  gfx_obj_seeds(root);
  walk_seeds(root);
  shard_key_seeds(root);
  manifest_json_seeds(root);
  return 0;
}
