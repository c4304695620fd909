#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dat/walk.h"
#include "dat_testing/asset_encoders.h"

namespace {

using dat::KeepSet;
using dat::ResourceKey;
using dat_testing::MemoryResourceSource;
using Ids = std::set<uint32_t>;
using Log = std::vector<uint32_t>;

constexpr uint32_t G = 0x01000001, G2 = 0x01000002;
constexpr uint32_t S = 0x08000001, S_OTHER = 0x08000002;
constexpr uint32_t ST = 0x05000001;
constexpr uint32_t T1 = 0x06000001, T2 = 0x06000002, T3 = 0x06000003;
constexpr uint32_t P1 = 0x04000001, P2 = 0x04000002;

ResourceKey portal(uint32_t id) { return ResourceKey{"eor/portal", id}; }

// Records described as values, stored through the test-support encoders.
struct World {
  MemoryResourceSource source;

  void setup(uint32_t id, std::vector<uint32_t> parts) {
    dat::SetupModel m;
    m.id = id;
    m.parts = std::move(parts);
    source.add_portal(id, dat_testing::encode_setup_model(m));
  }
  void gfx(uint32_t id, std::vector<uint32_t> surfaces) {
    source.add_portal(id, dat_testing::encode_gfx_obj(surfaces, 16));
  }
  void textured_surface(uint32_t id, uint32_t surface_texture, uint32_t palette) {
    dat::Surface s;
    s.surface_type = 2;
    s.texture_refs = dat::TextureRefs{surface_texture, palette};
    source.add_portal(id, dat_testing::encode_surface(s));
  }
  void colour_surface(uint32_t id) {
    dat::Surface s;
    s.surface_type = 1;
    s.color_value = 0xFF00FF00;
    source.add_portal(id, dat_testing::encode_surface(s));
  }
  void surface_texture(uint32_t id, std::vector<uint32_t> textures) {
    dat::SurfaceTexture st;
    st.id = id;
    st.textures = std::move(textures);
    source.add_portal(id, dat_testing::encode_surface_texture(st));
  }
  void texture(uint32_t id, uint32_t format, std::optional<uint32_t> palette = std::nullopt) {
    dat::Texture t;
    t.id = id;
    t.format_raw = format;
    t.source_data = {1, 2, 3, 4};
    t.default_palette_id = palette;
    source.add_portal(id, dat_testing::encode_texture(t));
  }
  void raw(uint32_t id, std::vector<uint8_t> bytes) { source.add_portal(id, std::move(bytes)); }

  // G -> S (palette P1) -> ST [T1, T2, T3] -> T3 (format 41, palette P2), with
  // records for the palettes and the other textures present as well.
  void full_chain() {
    gfx(G, {S});
    textured_surface(S, ST, P1);
    surface_texture(ST, {T1, T2, T3});
    texture(T1, 41, P1);
    texture(T2, 41, P1);
    texture(T3, 41, P2);
    raw(P1, {0, 0, 0, 0});
    raw(P2, {0, 0, 0, 0});
  }

  // The fetched ids in call order; every fetch must be in "eor/portal".
  Log fetched() const {
    Log out;
    for (const auto& key : source.fetch_log()) {
      EXPECT_EQ(key.label, "eor/portal");
      out.push_back(key.file_id);
    }
    return out;
  }
};

Ids ids_of(const KeepSet& keep) {
  Ids out;
  for (const auto& key : keep) {
    EXPECT_EQ(key.label, "eor/portal");
    out.insert(key.file_id);
  }
  return out;
}

TEST(WalkModel, DepthAboveFourDoesNothing) {
  World w;
  w.setup(0x02000001, {G});
  w.gfx(G, {});
  for (uint32_t depth : {5u, 6u, UINT32_MAX}) {
    KeepSet keep;
    dat::walk_model(w.source, 0x02000001, keep, depth);
    EXPECT_TRUE(keep.empty()) << depth;
  }
  EXPECT_TRUE(w.fetched().empty());

  // At depth 4 the model itself is kept and fetched, its parts (depth 5) are not.
  KeepSet keep;
  dat::walk_model(w.source, 0x02000001, keep, 4);
  EXPECT_EQ(ids_of(keep), (Ids{0x02000001}));
  EXPECT_EQ(w.fetched(), (Log{0x02000001}));
}

TEST(WalkModel, KnownKeysAreNeitherFetchedNorExpanded) {
  World w;
  w.full_chain();
  KeepSet keep{portal(G)};
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G}));
  EXPECT_TRUE(w.fetched().empty());

  // The same id in another namespace is a different key.
  KeepSet other{ResourceKey{"eor/cell", G}};
  dat::walk_model(w.source, G, other, 0);
  EXPECT_TRUE(other.contains(portal(G)));
  EXPECT_TRUE(other.contains(ResourceKey{"eor/cell", G}));
  EXPECT_EQ(other.size(), 7u);  // the cell key and G, S, P1, ST, T3, P2
}

TEST(WalkModel, MissingRecordsStayInKeep) {
  for (uint32_t id : {0x01000099u, 0x02000099u, 0x04000099u, 0x00000000u}) {
    World w;
    KeepSet keep;
    dat::walk_model(w.source, id, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{id}));
    EXPECT_EQ(w.fetched(), (Log{id}));
  }
}

TEST(WalkModel, OtherRecordTypesAreFetchedButNotDecoded) {
  for (uint32_t id : {0x04000010u, 0x05000010u, 0x00000010u, 0x03000010u, 0xFF000010u}) {
    SCOPED_TRACE(id);
    World w;
    w.full_chain();
    // Bytes that would lead somewhere if read as a graphics object or setup model.
    const std::vector<uint32_t> surfaces = {S};
    w.raw(id, dat_testing::encode_gfx_obj(surfaces, 200));
    KeepSet keep;
    dat::walk_model(w.source, id, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{id}));
    EXPECT_EQ(w.fetched(), (Log{id}));
  }
}

TEST(WalkModel, RepeatedAndCyclicParts) {
  constexpr uint32_t A = 0x02000010, B = 0x02000011, SELF = 0x02000012;
  World w;
  w.setup(0x02000001, {A, A});
  w.setup(A, {G});
  w.gfx(G, {});
  w.setup(SELF, {SELF, G});
  w.setup(B, {0x02000013});
  w.setup(0x02000013, {B});
  {
    KeepSet keep;
    dat::walk_model(w.source, 0x02000001, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{0x02000001, A, G}));
    EXPECT_EQ(w.fetched(), (Log{0x02000001, A, G}));
  }
  w.source.clear_fetch_log();
  {
    KeepSet keep;
    dat::walk_model(w.source, SELF, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{SELF, G}));
    EXPECT_EQ(w.fetched(), (Log{SELF, G}));
  }
  w.source.clear_fetch_log();
  {
    KeepSet keep;
    dat::walk_model(w.source, B, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{B, 0x02000013}));
    EXPECT_EQ(w.fetched(), (Log{B, 0x02000013}));
  }
}

TEST(WalkModel, SetupChainStopsAtDepthFour) {
  // S0 -> S1 -> ... -> S5, each S_i also listing graphics object G_i.
  World w;
  auto s = [](uint32_t i) { return 0x02000100 + i; };
  auto g = [](uint32_t i) { return 0x01000100 + i; };
  for (uint32_t i = 0; i <= 5; ++i) {
    w.setup(s(i), {s(i + 1), g(i)});
    w.gfx(g(i), {});
  }
  KeepSet keep;
  dat::walk_model(w.source, s(0), keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{s(0), s(1), s(2), s(3), s(4), g(0), g(1), g(2), g(3)}));
  // Depth-first in part order.
  EXPECT_EQ(w.fetched(), (Log{s(0), s(1), s(2), s(3), s(4), g(3), g(2), g(1), g(0)}));

  // S4 was first reached at depth 4: reaching it again at depth 0 expands nothing.
  w.source.clear_fetch_log();
  dat::walk_model(w.source, s(4), keep, 0);
  EXPECT_EQ(keep.size(), 9u);
  EXPECT_TRUE(w.fetched().empty());
}

TEST(WalkModel, SurfaceChainFollowsTheLastTextureOnly) {
  World w;
  w.full_chain();
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G, S, P1, ST, T3, P2}));
  // Palettes are never fetched; T1 and T2 are neither added nor fetched.
  EXPECT_EQ(w.fetched(), (Log{G, S, ST, T3}));
}

TEST(WalkModel, PaletteRules) {
  struct Case {
    const char* name;
    uint32_t surface_palette;
    uint32_t texture_format;
    std::optional<uint32_t> texture_palette;
    Ids expected;
  };
  const Case cases[] = {
      {"no palettes", 0, 21, std::nullopt, {G, S, ST, T3}},
      {"surface palette only", P1, 21, std::nullopt, {G, S, P1, ST, T3}},
      {"format 41 palette", 0, 41, P2, {G, S, ST, T3, P2}},
      {"format 101 palette", 0, 101, P2, {G, S, ST, T3, P2}},
      {"default palette 0 is still added", 0, 101, 0, {G, S, ST, T3, 0}},
      {"same palette twice", P1, 41, P1, {G, S, P1, ST, T3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.gfx(G, {S});
    w.textured_surface(S, ST, c.surface_palette);
    w.surface_texture(ST, {T3});
    w.texture(T3, c.texture_format, c.texture_palette);
    KeepSet keep;
    dat::walk_model(w.source, G, keep, 0);
    EXPECT_EQ(ids_of(keep), c.expected);
    EXPECT_EQ(w.fetched(), (Log{G, S, ST, T3}));
  }
  // A colour surface adds only its own key.
  World w;
  w.gfx(G, {S});
  w.colour_surface(S);
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G, S}));
  EXPECT_EQ(w.fetched(), (Log{G, S}));
}

// Unlike the surface's palette, its surface-texture id is not tested for 0:
// id 0 is added and fetched like any other.
TEST(WalkModel, SurfaceTextureIdZeroIsAddedAndFetched) {
  World w;
  w.gfx(G, {S});
  w.textured_surface(S, 0, P1);
  w.surface_texture(0, {T3});
  w.texture(T3, 41, P2);
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G, S, P1, 0, T3, P2}));
  EXPECT_EQ(w.fetched(), (Log{G, S, 0, T3}));
}

TEST(WalkModel, SharedSurfacesAreProcessedOnce) {
  World w;
  w.full_chain();
  w.gfx(G2, {S, S});
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  const size_t after_first = keep.size();
  w.source.clear_fetch_log();
  dat::walk_model(w.source, G2, keep, 0);
  EXPECT_EQ(keep.size(), after_first + 1);
  EXPECT_TRUE(keep.contains(portal(G2)));
  EXPECT_EQ(w.fetched(), (Log{G2}));

  // Within one object too: a surface listed twice is fetched once.
  World w2;
  w2.full_chain();
  w2.gfx(G2, {S, S});
  KeepSet keep2;
  dat::walk_model(w2.source, G2, keep2, 0);
  EXPECT_EQ(ids_of(keep2), (Ids{G2, S, P1, ST, T3, P2}));
  EXPECT_EQ(w2.source.fetch_count(portal(S)), 1u);
}

TEST(WalkModel, ABrokenLinkEndsOnlyItsBranch) {
  struct Case {
    const char* name;
    void (*damage)(World&);
    Ids expected;
  };
  const Case cases[] = {
      {"surface list unreadable", [](World& w) { w.raw(G, std::vector<uint8_t>(8, 0)); }, {G}},
      {"surface list longer than the record", [](World& w) { w.raw(G, {1, 2, 3, 4, 5, 6, 7, 8, 2, 0, 0, 0}); }, {G}},
      {"surface missing", [](World& w) { ASSERT_TRUE(w.source.remove(portal(S))); }, {G, S}},
      {"surface record empty", [](World& w) { w.raw(S, {}); }, {G, S}},
      {"surface undecodable", [](World& w) { w.raw(S, {2, 0, 0}); }, {G, S}},
      {"surface texture missing", [](World& w) { ASSERT_TRUE(w.source.remove(portal(ST))); }, {G, S, P1, ST}},
      {"surface texture undecodable", [](World& w) { w.raw(ST, {1, 2, 3}); }, {G, S, P1, ST}},
      {"no textures", [](World& w) { w.surface_texture(ST, {}); }, {G, S, P1, ST}},
      {"texture missing", [](World& w) { ASSERT_TRUE(w.source.remove(portal(T3))); }, {G, S, P1, ST, T3}},
      {"texture undecodable", [](World& w) { w.raw(T3, {1}); }, {G, S, P1, ST, T3}},
      {"paletted texture without its palette id",
       [](World& w) {
         auto bytes = w.source.get_file_by_key(portal(T3)).value();
         bytes.resize(bytes.size() - 4);
         w.raw(T3, bytes);
       },
       {G, S, P1, ST, T3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.full_chain();
    c.damage(w);
    w.source.clear_fetch_log();
    KeepSet keep;
    dat::walk_model(w.source, G, keep, 0);
    EXPECT_EQ(ids_of(keep), c.expected);
  }
}

TEST(WalkModel, AfterAFailedSurfaceTheNextOneIsProcessed) {
  World w;
  w.full_chain();
  w.gfx(G, {S_OTHER, S});
  w.raw(S_OTHER, {0xFF});
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G, S_OTHER, S, P1, ST, T3, P2}));

  // An undecodable part of a setup model does not stop its other parts.
  World s;
  s.full_chain();
  s.setup(0x02000001, {0x02000002, G});
  s.raw(0x02000002, {1, 2, 3});
  KeepSet keep2;
  dat::walk_model(s.source, 0x02000001, keep2, 0);
  EXPECT_EQ(ids_of(keep2), (Ids{0x02000001, 0x02000002, G, S, P1, ST, T3, P2}));
}

TEST(WalkModel, KnownSurfaceTextureOrTextureStopsThere) {
  {
    World w;
    w.full_chain();
    KeepSet keep{portal(ST)};
    dat::walk_model(w.source, G, keep, 0);
    // The surface's palette is added before its surface texture is tested.
    EXPECT_EQ(ids_of(keep), (Ids{G, S, P1, ST}));
    EXPECT_EQ(w.fetched(), (Log{G, S}));
  }
  {
    World w;
    w.full_chain();
    KeepSet keep{portal(T3)};
    dat::walk_model(w.source, G, keep, 0);
    EXPECT_EQ(ids_of(keep), (Ids{G, S, P1, ST, T3}));
    EXPECT_EQ(w.fetched(), (Log{G, S, ST}));
  }
}

TEST(WalkModel, OnlyThePortalNamespaceIsUsed) {
  World w;
  w.source.add(ResourceKey{"eor/cell", G}, dat_testing::encode_gfx_obj(std::vector<uint32_t>{S}));
  w.colour_surface(S);
  KeepSet keep;
  dat::walk_model(w.source, G, keep, 0);
  EXPECT_EQ(ids_of(keep), (Ids{G}));
  EXPECT_EQ(w.fetched(), (Log{G}));
}

}  // namespace
