// Declared counts far beyond the data must fail at the end of the data,
// quickly and without allocating for the declared count. The global
// allocation functions of this test executable are replaced by counting ones
// so that a reservation made from a hostile count is seen even when the
// allocation itself would succeed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>

#include "common/cursor.h"
#include "dat/file_type/setup_model.h"
#include "dat/file_type/surface_texture.h"
#include "dat/file_type/texture.h"
#include "dat/landblock.h"
#include "dat/walk.h"
#include "dat_testing/asset_encoders.h"

namespace {
std::atomic<bool> g_tracking{false};
std::atomic<size_t> g_largest{0};

void* counted_alloc(size_t size) {
  if (g_tracking.load(std::memory_order_relaxed)) {
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return counted_alloc(size); }
void* operator new[](size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using common::ByteWriter;

// Runs `decode`, which must report failure, and returns the largest single
// allocation it made.
size_t largest_allocation_of(const std::function<bool()>& decode) {
  g_largest = 0;
  g_tracking = true;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = decode();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  g_tracking = false;
  EXPECT_FALSE(ok) << "a hostile record decoded";
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  return g_largest.load();
}

constexpr size_t kAllocationLimit = 64 * 1024;

TEST(HostileCounts, AllocationCountingSeesReservations) {
  // The counter itself works: a reservation of 1 MiB is seen.
  g_largest = 0;
  g_tracking = true;
  std::vector<uint8_t> v;
  v.reserve(1 << 20);
  g_tracking = false;
  EXPECT_GE(g_largest.load(), size_t{1} << 20);
}

TEST(HostileCounts, LandblockInfo) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  {
    ByteWriter out;  // 20 bytes declaring 0xFFFFFFFF objects
    out.put_u32(0xA9B4FFFE);
    out.put_u32(0);
    out.put_u32(0xFFFFFFFF);
    out.put_u32(0x01000001);
    out.put_u32(0);
    cases.push_back({"objects", out.take()});
  }
  {
    ByteWriter out;
    out.put_u32(1);
    out.put_u32(0);
    out.put_u32(0);
    out.put_u16(0xFFFF);  // buildings
    out.put_u16(0);
    out.put_u32(0x01000001);
    out.put_zeros(28 + 4);
    out.put_u32(0xFFFFFFFF);  // portals
    for (uint16_t v : {uint16_t{0}, uint16_t{0}, uint16_t{0}, uint16_t{0xFFFF}}) out.put_u16(v);  // stabs
    out.put_u16(7);
    cases.push_back({"buildings, portals, stabs", out.take()});
  }
  {
    ByteWriter out;
    out.put_u32(1);
    out.put_u32(0);
    out.put_u32(0);
    out.put_u16(0);
    out.put_u16(1);
    out.put_u16(0xFFFF);  // restriction pairs
    out.put_u16(0);
    out.put_u32(5);
    cases.push_back({"restriction table", out.take()});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t largest = largest_allocation_of([&] { return dat::LandblockInfo::unpack(c.bytes).has_value(); });
    EXPECT_LT(largest, kAllocationLimit);
  }
}

TEST(HostileCounts, SetupModel) {
  auto header = [](uint32_t num_parts) {
    ByteWriter out;
    out.put_u32(0x02000001);
    out.put_u32(3);
    out.put_u32(num_parts);
    return out;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  {
    auto out = header(0xFFFFFFFF);
    out.put_u32(0x01000001);
    cases.push_back({"parts", out.take()});
  }
  {
    auto out = header(0);
    out.put_u32(0xFFFFFFFF);  // location_table_1
    out.put_u32(1);
    cases.push_back({"location table", out.take()});
  }
  {
    auto out = header(0);
    out.put_u32(0);
    out.put_u32(0);
    out.put_i32(INT32_MAX);  // placements
    out.put_u32(1);
    out.put_u32(0xFFFFFFFF);  // hooks
    out.put_u32(0);
    out.put_u32(0);
    cases.push_back({"placements and hooks", out.take()});
  }
  {
    auto out = header(0);
    for (int i = 0; i < 3; ++i) out.put_u32(0);
    out.put_u32(0xFFFFFFFF);  // cyl_spheres
    cases.push_back({"cylinder spheres", out.take()});
  }
  {
    auto out = header(0);
    for (int i = 0; i < 5; ++i) out.put_u32(0);
    out.put_zeros(48);
    out.put_u32(0xFFFFFFFF);  // lights
    out.put_u32(3);
    cases.push_back({"lights", out.take()});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t largest = largest_allocation_of([&] {
      common::ByteCursor cursor(c.bytes);
      return dat::SetupModel::unpack(cursor).has_value();
    });
    EXPECT_LT(largest, kAllocationLimit);
  }
}

TEST(HostileCounts, SurfaceTextureTextureAndSurfaceList) {
  ByteWriter st;
  st.put_u32(1);
  st.put_u32(2);
  st.put_u8(3);
  st.put_i32(INT32_MAX);
  st.put_u32(0x06000001);
  const auto st_bytes = st.take();
  EXPECT_LT(largest_allocation_of([&] { return dat::SurfaceTexture::unpack(st_bytes).has_value(); }),
            kAllocationLimit);

  ByteWriter tex;
  for (int i = 0; i < 4; ++i) tex.put_u32(1);
  tex.put_u32(41);
  tex.put_i32(INT32_MAX);
  tex.put_zeros(10);
  const auto tex_bytes = tex.take();
  EXPECT_LT(largest_allocation_of([&] { return dat::Texture::unpack(tex_bytes).has_value(); }), kAllocationLimit);

  std::vector<uint8_t> gfx(8, 0);
  for (uint8_t b : std::initializer_list<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x08}) gfx.push_back(b);
  EXPECT_LT(largest_allocation_of([&] { return dat::read_gfx_obj_surfaces(gfx).has_value(); }), kAllocationLimit);
}

TEST(HostileCounts, WalkKeepsTheModelAndMovesOn) {
  dat_testing::MemoryResourceSource source;
  std::vector<uint8_t> gfx(8, 0);
  for (uint8_t b : std::initializer_list<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}) gfx.push_back(b);
  source.add_portal(0x01000001, gfx);
  ByteWriter setup;
  setup.put_u32(0x02000001);
  setup.put_u32(0);
  setup.put_u32(0xFFFFFFFF);
  source.add_portal(0x02000001, setup.take());

  for (uint32_t id : {0x01000001u, 0x02000001u}) {
    dat::KeepSet keep;
    g_largest = 0;
    g_tracking = true;
    dat::walk_model(source, id, keep, 0);
    g_tracking = false;
    EXPECT_LT(g_largest.load(), kAllocationLimit);
    EXPECT_EQ(keep.size(), 1u);
    EXPECT_TRUE(keep.contains(dat::ResourceKey{"eor/portal", id}));
  }
}

}  // namespace
