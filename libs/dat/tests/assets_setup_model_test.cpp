#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "assets_test_support.h"
#include "dat/file_type/setup_model.h"
#include "dat_testing/asset_encoders.h"

namespace {

using assets_test::context_locations;
using assets_test::context_messages;
using assets_test::make_frame;
using assets_test::prefix;
using assets_test::put_frame;
using common::ByteCursor;
using common::ByteWriter;
using dat::SetupModel;
using V = std::vector<std::string>;

// Everything after location_table_1 with every count 0: the second
// location-table count, the placement count, the cylinder-sphere and sphere
// counts, four scalars, two spheres, the lights count and five optional ids.
void put_tail_after_location_table_1(ByteWriter& out) {
  for (int i = 0; i < 4; ++i) out.put_u32(0);
  for (uint32_t s : {0x11u, 0x22u, 0x7FC00001u, 0x44u}) out.put_u32(s);
  for (float v : {1.0f, 2.0f, 3.0f, 4.0f}) out.put_f32(v);
  for (float v : {5.0f, 6.0f, 7.0f, -8.0f}) out.put_f32(v);
  out.put_u32(0);
  for (int i = 0; i < 5; ++i) out.put_u32(0);
}

// Everything after the part lists, location_table_1 empty as well.
void put_empty_tail(ByteWriter& out) {
  out.put_u32(0);
  put_tail_after_location_table_1(out);
}

std::vector<uint8_t> empty_model() {
  ByteWriter out;
  out.put_u32(0x02000001);
  out.put_u32(0);
  out.put_u32(0);
  put_empty_tail(out);
  return out.take();
}

TEST(SetupModel, EmptyRecordIs104Bytes) {
  auto bytes = empty_model();
  ASSERT_EQ(bytes.size(), 104u);
  for (size_t trailing : {size_t{0}, size_t{7}}) {
    SCOPED_TRACE(trailing);
    auto data = bytes;
    data.insert(data.end(), trailing, 0xAB);
    ByteCursor cursor(data);
    auto model = SetupModel::unpack(cursor);
    ASSERT_TRUE(model) << model.error().to_string();
    EXPECT_EQ(cursor.position(), 104u);
    EXPECT_EQ(model->id, 0x02000001u);
    EXPECT_EQ(model->flags, 0u);
    EXPECT_TRUE(model->parts.empty());
    EXPECT_TRUE(model->part_u32s.empty());
    EXPECT_TRUE(model->part_vectors.empty());
    EXPECT_TRUE(model->location_table_1.empty());
    EXPECT_TRUE(model->location_table_2.empty());
    EXPECT_TRUE(model->placements.empty());
    EXPECT_TRUE(model->cyl_spheres.empty());
    EXPECT_TRUE(model->spheres.empty());
    EXPECT_EQ(model->scalars, (std::array<uint32_t, 4>{0x11, 0x22, 0x7FC00001, 0x44}));
    EXPECT_TRUE(common::same_bits(model->sphere_1, common::Sphere{{1, 2, 3}, 4}));
    EXPECT_TRUE(common::same_bits(model->sphere_2, common::Sphere{{5, 6, 7}, -8}));
    EXPECT_TRUE(model->lights.empty());
    for (const auto& id : model->optional_ids) EXPECT_FALSE(id.has_value());
  }
}

TEST(SetupModel, TruncatedEmptyRecordCarriesOnlyRecordEntries) {
  const auto bytes = empty_model();
  struct Case {
    size_t length;
    V expected;
  };
  // Offsets: header 0-11, counts 12-31, scalars 32-47, sphere_1 48-63,
  // sphere_2 64-79, lights count 80, optional ids 84-103.
  const Case cases[] = {
      {0, {}},
      {3, {}},
      {11, {}},
      {14, {}},
      {22, {}},
      {30, {}},
      {44, {}},
      {50, {"While parsing field 'x' in Vector3", "While parsing field 'center' in Sphere"}},
      {57, {"While parsing field 'z' in Vector3", "While parsing field 'center' in Sphere"}},
      {62, {"While parsing field 'radius' in Sphere"}},
      {70, {"While parsing field 'y' in Vector3", "While parsing field 'center' in Sphere"}},
      {82, {}},
      {103, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    const auto data = prefix(bytes, c.length);
    ByteCursor cursor(data);
    auto model = SetupModel::unpack(cursor);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error().kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(model.error().message(), "failed to fill whole buffer");
    EXPECT_EQ(context_messages(model.error()), c.expected);
  }
  for (size_t length = 0; length < bytes.size(); ++length) {
    const auto data = prefix(bytes, length);
    ByteCursor cursor(data);
    EXPECT_FALSE(SetupModel::unpack(cursor)) << "length " << length;
  }
}

TEST(SetupModel, FlagsGateThePartLists) {
  struct Case {
    uint32_t flags;
    bool u32s;
    bool vectors;
  };
  const Case cases[] = {
      {0, false, false}, {1, true, false}, {2, false, true}, {3, true, true},
      {0x13, true, true}, {0xFFFFFFFC, false, false}, {0x80000001, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << c.flags);
    ByteWriter out;
    out.put_u32(0x02000002);
    out.put_u32(c.flags);
    out.put_u32(2);  // num_parts
    out.put_u32(0x01000001);
    out.put_u32(0x01000002);
    if (c.u32s) {
      out.put_u32(7);
      out.put_u32(8);
    }
    if (c.vectors) {
      for (float v : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}) out.put_f32(v);
    }
    // location_table_1 with one entry: it only reads right when the lists above were consumed exactly.
    out.put_u32(1);
    out.put_u32(9);           // key
    out.put_u32(0x0000ABCD);  // part_id
    put_frame(out, 0.5f, 1.5f, 2.5f, 1, 0, 0, 0);
    put_tail_after_location_table_1(out);
    const auto bytes = out.take();
    EXPECT_EQ(bytes.size(), 104u + 8 + (c.u32s ? 8 : 0) + (c.vectors ? 24 : 0) + 36);

    ByteCursor cursor(bytes);
    auto model = SetupModel::unpack(cursor);
    ASSERT_TRUE(model) << model.error().to_string();
    EXPECT_EQ(cursor.position(), bytes.size());
    EXPECT_EQ(model->flags, c.flags);
    EXPECT_EQ(model->parts, (std::vector<uint32_t>{0x01000001, 0x01000002}));
    EXPECT_EQ(model->part_u32s, (c.u32s ? std::vector<uint32_t>{7, 8} : std::vector<uint32_t>{}));
    ASSERT_EQ(model->part_vectors.size(), c.vectors ? 2u : 0u);
    if (c.vectors) {
      EXPECT_TRUE(common::same_bits(model->part_vectors[0], common::Vector3{1, 2, 3}));
      EXPECT_TRUE(common::same_bits(model->part_vectors[1], common::Vector3{4, 5, 6}));
    }
    ASSERT_EQ(model->location_table_1.size(), 1u);
    const auto& location = model->location_table_1.at(9);
    EXPECT_EQ(location.part_id, 0x0000ABCDu);
    EXPECT_TRUE(common::same_bits(location.frame, make_frame(0.5f, 1.5f, 2.5f, 1, 0, 0, 0)));
  }
}

// An animation frame with no part frames and one hook, read through
// AnimationFrame::read; a sentinel word follows the hook.
TEST(AnimationFrame, HookBodiesAndPadding) {
  struct Case {
    uint32_t hook_type;
    std::vector<uint8_t> body;  // as written after type and param, padding included
    size_t hook_size;
  };
  auto filled = [](size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(0x40 + i);
    return b;
  };
  const Case cases[] = {
      {0, {}, 8},
      {4, {}, 8},
      {17, {}, 8},
      {1, filled(4), 12},
      {25, filled(4), 12},
      {12, filled(8), 16},
      {23, filled(8), 16},
      {8, filled(12), 20},
      {24, filled(12), 20},
      {7, filled(16), 24},
      {21, filled(16), 24},
      {3, filled(28), 36},
      {13, filled(40), 48},
      {26, filled(40), 48},
      // Type 5: a byte, a u16 without bit 15, one padding byte.
      {5, {0x01, 0x10, 0x00, 0xEE}, 12},
      // Type 5: a byte, a u16 with bit 15, a second u16, three padding bytes.
      {5, {0x01, 0x10, 0x80, 0x34, 0x12, 0xEE, 0xEE, 0xEE}, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "hook type " << c.hook_type << " size " << c.hook_size);
    ASSERT_EQ(8 + c.body.size(), c.hook_size);
    ByteWriter out;
    out.put_u32(1);  // hook count
    out.put_u32(c.hook_type);
    out.put_u32(0xCAFEF00D);  // hook_param
    out.put_bytes(c.body);
    out.put_u32(0x5E5E5E5E);  // sentinel
    const auto bytes = out.take();
    ByteCursor cursor(bytes);
    auto frame = dat::AnimationFrame::read(cursor, 0);
    ASSERT_TRUE(frame) << frame.error().to_string();
    EXPECT_EQ(cursor.position(), 4 + c.hook_size);
    EXPECT_TRUE(frame->frames.empty());
    ASSERT_EQ(frame->hooks.size(), 1u);
    EXPECT_EQ(frame->hooks[0].hook_type, c.hook_type);
    EXPECT_EQ(frame->hooks[0].hook_param, 0xCAFEF00Du);
    EXPECT_EQ(frame->hooks[0].payload, c.body);

    // The same hook made by the test-support helpers encodes to the same length.
    const auto made = c.hook_type == dat::kVariableBodyHookType
                          ? dat_testing::make_variable_hook(1, 1, common::load_u16_le(&c.body[1]), 0x1234)
                          : dat_testing::make_fixed_hook(c.hook_type, 1);
    EXPECT_EQ(made.payload.size(), c.body.size());
  }
}

TEST(AnimationFrame, VariableHookPaddingMustBePresent) {
  for (const auto& body : {std::vector<uint8_t>{0x01, 0x10, 0x00},
                                          std::vector<uint8_t>{0x01, 0x10, 0x80, 0x34, 0x12, 0, 0}}) {
    ByteWriter out;
    out.put_u32(1);
    out.put_u32(5);
    out.put_u32(0);
    out.put_bytes(body);
    const auto bytes = out.take();
    ByteCursor cursor(bytes);
    auto frame = dat::AnimationFrame::read(cursor, 0);
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().kind(), common::ReadError::Kind::EndOfData);
    EXPECT_TRUE(frame.error().context().empty());
  }
}

TEST(AnimationFrame, ReadsExactlyNumPartsFramesAndDoesNotRestoreTheCursor) {
  ByteWriter out;
  out.put_u32(0xFFFFFFFF);  // bytes before the frame
  put_frame(out, 1, 1, 1, 1, 0, 0, 0);
  put_frame(out, 2, 2, 2, 1, 0, 0, 0);
  out.put_u32(0);  // hook count
  const auto bytes = out.take();
  {
    ByteCursor cursor(bytes, 4);
    auto frame = dat::AnimationFrame::read(cursor, 2);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->frames.size(), 2u);
    EXPECT_TRUE(common::same_bits(frame->frames[1], make_frame(2, 2, 2, 1, 0, 0, 0)));
    EXPECT_TRUE(frame->hooks.empty());
    EXPECT_EQ(cursor.position(), bytes.size());
  }
  {
    // Three frames asked for: the third fails inside its origin, with the frame's
    // graphics-module entries and nothing added by the step-by-step reader.
    ByteCursor cursor(bytes, 4);
    auto frame = dat::AnimationFrame::read(cursor, 3);
    ASSERT_FALSE(frame);
    EXPECT_EQ(context_messages(frame.error()),
              (V{"While parsing field 'y' in Vector3", "While parsing field 'origin' in Frame"}));
    EXPECT_EQ(context_locations(frame.error()), (V{"libs/common/src/math", "libs/dat/src/graphics"}));
    // The two good frames stay consumed; only the failing frame put the cursor back.
    EXPECT_EQ(cursor.position(), 4u + 56u);
  }
}

TEST(SetupModel, UnsupportedHookTypeFailsAfterTypeAndParam) {
  for (uint32_t hook_type : {27u, 28u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(hook_type);
    ByteWriter out;
    out.put_u32(0x02000003);
    out.put_u32(0);
    out.put_u32(1);  // num_parts
    out.put_u32(0x01000001);
    out.put_u32(0);  // location_table_1
    out.put_u32(0);  // location_table_2
    out.put_i32(1);  // placements
    out.put_u32(0);  // key
    put_frame(out, 0, 0, 0, 1, 0, 0, 0);
    out.put_u32(2);  // hook count
    out.put_u32(1);  // first hook: type 1, 4-byte body (offset 64)
    out.put_u32(0);
    out.put_u32(0);
    ASSERT_EQ(out.size(), 76u);  // the second hook starts here
    out.put_u32(hook_type);
    out.put_u32(0);
    out.put_zeros(64);
    const auto bytes = out.take();
    ByteCursor cursor(bytes);
    auto model = SetupModel::unpack(cursor);
    ASSERT_FALSE(model);
    const auto& err = model.error();
    EXPECT_EQ(err.kind(), common::ReadError::Kind::Custom);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Unsupported AnimationHook type: 0x%08X", hook_type);
    EXPECT_EQ(err.message(), expected);
    EXPECT_EQ(err.position(), 84u);
    EXPECT_TRUE(err.context().empty());
  }
}

TEST(SetupModel, UnsupportedHookType27Text) {
  ByteWriter out;
  out.put_u32(1);
  out.put_u32(27);
  out.put_u32(0);
  const auto bytes = out.take();
  ByteCursor cursor(bytes);
  auto frame = dat::AnimationFrame::read(cursor, 0);
  ASSERT_FALSE(frame);
  EXPECT_EQ(frame.error().message(), "Unsupported AnimationHook type: 0x0000001B");
  EXPECT_EQ(frame.error().position(), 12u);
}

TEST(SetupModel, NegativePlacementCount) {
  struct Case {
    uint32_t id;
    uint32_t flags;
    uint32_t num_parts;
    int32_t count;
    const char* message;
    uint64_t position;
  };
  const Case cases[] = {
      {0x02000001, 0, 0, -1, "SetupModel 0x02000001 declared negative placement count -1", 24},
      {0x0200ABCD, 0, 0, INT32_MIN, "SetupModel 0x0200ABCD declared negative placement count -2147483648", 24},
      // 2 parts, flags 3: 8 bytes of ids, 8 of u32s, 24 of vectors before the tables.
      {0x00000007, 3, 2, -5, "SetupModel 0x00000007 declared negative placement count -5", 24 + 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ByteWriter out;
    out.put_u32(c.id);
    out.put_u32(c.flags);
    out.put_u32(c.num_parts);
    out.put_zeros(c.num_parts * 4 * ((c.flags & 1) ? 2 : 1) + ((c.flags & 2) ? c.num_parts * 12 : 0));
    out.put_u32(0);
    out.put_u32(0);
    out.put_i32(c.count);
    out.put_zeros(200);
    const auto bytes = out.take();
    ByteCursor cursor(bytes);
    auto model = SetupModel::unpack(cursor);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error().kind(), common::ReadError::Kind::Custom);
    EXPECT_EQ(model.error().message(), c.message);
    EXPECT_EQ(model.error().position(), c.position);
    EXPECT_TRUE(model.error().context().empty());
  }
}

TEST(SetupModel, PlacementsHoldNumPartsFramesAndLastKeyWins) {
  ByteWriter out;
  out.put_u32(0x02000004);
  out.put_u32(0);
  out.put_u32(3);
  for (uint32_t p : {0x01000001u, 0x01000002u, 0x01000003u}) out.put_u32(p);
  out.put_u32(0);
  out.put_u32(0);
  out.put_i32(3);
  // Entry size: 4 (key) + 84 (three frames) + 4 (hook count) + hooks.
  const size_t placements_start = out.size();
  out.put_u32(10);
  for (int i = 0; i < 3; ++i) put_frame(out, 1, 0, 0, 1, 0, 0, 0);
  out.put_u32(0);
  EXPECT_EQ(out.size() - placements_start, 92u);
  out.put_u32(11);
  for (int i = 0; i < 3; ++i) put_frame(out, 2, 0, 0, 1, 0, 0, 0);
  out.put_u32(1);
  out.put_u32(17);  // hook type 17: no body
  out.put_u32(3);
  out.put_u32(10);  // key 10 again
  for (int i = 0; i < 3; ++i) put_frame(out, static_cast<float>(30 + i), 0, 0, 1, 0, 0, 0);
  out.put_u32(0);
  // cyl_spheres, spheres
  out.put_u32(1);
  for (float v : {1.0f, 2.0f, 3.0f, 0.5f, 9.0f}) out.put_f32(v);
  out.put_u32(2);
  for (float v : {1.0f, 1.0f, 1.0f, -1.0f, 2.0f, 2.0f, 2.0f, 2.0f}) out.put_f32(v);
  out.put_zeros(16 + 32);  // scalars, two spheres
  // lights: key 4 twice, the later one wins
  out.put_u32(3);
  const uint32_t light_keys[] = {4, 6, 4};
  for (uint32_t i = 0; i < 3; ++i) {
    out.put_u32(light_keys[i]);
    put_frame(out, static_cast<float>(light_keys[i] + i), 0, 0, 1, 0, 0, 0);
    for (uint32_t v : {light_keys[i] * 100 + i, 2u, 3u, 4u}) out.put_u32(v);
  }
  for (uint32_t id : {0u, 5u, 0u, 0u, 7u}) out.put_u32(id);
  const auto bytes = out.take();

  ByteCursor cursor(bytes);
  auto model = SetupModel::unpack(cursor);
  ASSERT_TRUE(model) << model.error().to_string();
  EXPECT_EQ(cursor.position(), bytes.size());
  ASSERT_EQ(model->placements.size(), 2u);
  for (const auto& [key, placement] : model->placements) EXPECT_EQ(placement.animation_frame.frames.size(), 3u);
  const auto& ten = model->placements.at(10).animation_frame;
  EXPECT_TRUE(common::same_bits(ten.frames[2], make_frame(32, 0, 0, 1, 0, 0, 0)));
  EXPECT_TRUE(ten.hooks.empty());
  const auto& eleven = model->placements.at(11).animation_frame;
  ASSERT_EQ(eleven.hooks.size(), 1u);
  EXPECT_EQ(eleven.hooks[0].hook_type, 17u);
  EXPECT_TRUE(eleven.hooks[0].payload.empty());

  ASSERT_EQ(model->cyl_spheres.size(), 1u);
  EXPECT_EQ(model->cyl_spheres[0].radius, 0.5f);
  EXPECT_EQ(model->cyl_spheres[0].height, 9.0f);
  ASSERT_EQ(model->spheres.size(), 2u);
  EXPECT_EQ(model->spheres[0].radius, -1.0f);

  ASSERT_EQ(model->lights.size(), 2u);
  // The third entry (key 4 again) replaced the first.
  EXPECT_TRUE(common::same_bits(model->lights.at(4).viewer_space_location, make_frame(6, 0, 0, 1, 0, 0, 0)));
  EXPECT_EQ(model->lights.at(4).color, 402u);
  EXPECT_EQ(model->lights.at(6).color, 601u);
  EXPECT_EQ(model->lights.at(4).cone_angle, 4u);
  EXPECT_EQ(model->optional_ids,
            (std::array<std::optional<uint32_t>, 5>{std::nullopt, 5u, std::nullopt, std::nullopt, 7u}));
}

TEST(SetupModel, DeclarativeRecordsAddTheirOwnEntriesOnly) {
  // One record of each declarative kind, each cut at a chosen field.
  auto model_with = [](auto&& fill) {
    ByteWriter out;
    out.put_u32(0x02000005);
    out.put_u32(2);  // flags: part vectors
    out.put_u32(1);
    out.put_u32(0x01000001);
    for (float v : {1.0f, 2.0f, 3.0f}) out.put_f32(v);
    fill(out);
    return out.take();
  };
  const auto location = model_with([](ByteWriter& out) {
    out.put_u32(1);
    out.put_u32(3);
    out.put_u32(0x10);
    put_frame(out, 1, 2, 3, 1, 0, 0, 0);
    out.put_u32(0);
  });
  // location_table_1 starts at 28: key at 32, part_id at 36, frame at 40, quaternion at 52.
  const auto light = model_with([](ByteWriter& out) {
    out.put_zeros(8);  // two empty location tables
    out.put_i32(0);
    out.put_u32(1);  // one cylinder sphere at 44
    out.put_zeros(20);
    out.put_u32(0);
    out.put_zeros(48);
    out.put_u32(1);  // one light at 120, key then LightInfo from 124
    out.put_u32(8);
    put_frame(out, 0, 0, 0, 1, 0, 0, 0);
    out.put_zeros(16);
  });
  struct Case {
    const std::vector<uint8_t>* bytes;
    size_t length;
    V messages;
    V locations;
  };
  const std::string setup = "libs/dat/src/file_type/setup_model";
  const Case cases[] = {
      {&location, 20, {"While parsing field 'y' in Vector3"}, {"libs/common/src/math"}},
      {&location, 34, {}, {}},  // the key is read step by step
      {&location, 38, {"While parsing field 'part_id' in LocationType"}, {setup}},
      {&location,
       60,
       {"While parsing field 'y' in Quaternion", "While parsing field 'orientation' in Frame",
        "While parsing field 'frame' in LocationType"},
       {"libs/common/src/math", "libs/dat/src/graphics", setup}},
      {&light, 46, {"While parsing field 'x' in Vector3", "While parsing field 'origin' in CylSphere"},
       {"libs/common/src/math", setup}},
      {&light, 58, {"While parsing field 'radius' in CylSphere"}, {setup}},
      {&light, 62, {"While parsing field 'height' in CylSphere"}, {setup}},
      {&light, 130,
       {"While parsing field 'y' in Vector3", "While parsing field 'origin' in Frame",
        "While parsing field 'viewer_space_location' in LightInfo"},
       {"libs/common/src/math", "libs/dat/src/graphics", setup}},
      {&light, 152, {"While parsing field 'color' in LightInfo"}, {setup}},
      {&light, 157, {"While parsing field 'intensity' in LightInfo"}, {setup}},
      {&light, 162, {"While parsing field 'falloff' in LightInfo"}, {setup}},
      {&light, 166, {"While parsing field 'cone_angle' in LightInfo"}, {setup}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length << " of " << c.bytes->size());
    ASSERT_LT(c.length, c.bytes->size());
    const auto data = prefix(*c.bytes, c.length);
    ByteCursor cursor(data);
    auto model = SetupModel::unpack(cursor);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error().kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(context_messages(model.error()), c.messages);
    EXPECT_EQ(context_locations(model.error()), c.locations);
  }
}

TEST(SetupModel, DeclarativeReadersRestoreTheCursor) {
  const std::vector<uint8_t> bytes(4 + 30, 0);  // 30 bytes after the start: short of all three records
  {
    ByteCursor cursor(bytes, 4);
    EXPECT_FALSE(dat::LocationType::read(cursor));
    EXPECT_EQ(cursor.position(), 4u);
  }
  {
    ByteCursor cursor(bytes, 18);  // 16 bytes: short of a 20-byte CylSphere
    EXPECT_FALSE(dat::CylSphere::read(cursor));
    EXPECT_EQ(cursor.position(), 18u);
  }
  {
    ByteCursor cursor(bytes, 4);
    auto light = dat::LightInfo::read(cursor);
    ASSERT_FALSE(light);
    EXPECT_EQ(context_messages(light.error()), (V{"While parsing field 'color' in LightInfo"}));
    EXPECT_EQ(cursor.position(), 4u);
  }
}

void expect_same_frames(const std::vector<common::Frame>& a, const std::vector<common::Frame>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(common::same_bits(a[i], b[i])) << "frame " << i;
}

TEST(SetupModel, EncoderRoundTrip) {
  SetupModel m;
  m.id = 0x02000ABC;
  m.flags = 0x83;
  m.parts = {0x01000001, 0x02000002};
  m.part_u32s = {11, 12};
  m.part_vectors = {{1, 2, 3}, {4, 5, std::bit_cast<float>(0x7FC00123u)}};
  m.location_table_1 = {{1, dat::LocationType{5, make_frame(1, 1, 1, 1, 0, 0, 0)}}};
  m.location_table_2 = {{2, dat::LocationType{6, make_frame(2, 2, 2, 0, 1, 0, 0)}},
                        {3, dat::LocationType{7, make_frame(3, 3, 3, 0, 0, 1, 0)}}};
  dat::AnimationFrame af;
  af.frames = {make_frame(0, 0, 1, 1, 0, 0, 0), make_frame(0, 1, 0, 1, 0, 0, 0)};
  af.hooks = {dat_testing::make_fixed_hook(0, 1), dat_testing::make_fixed_hook(13, 2),
              dat_testing::make_variable_hook(3, 0x7F, 0x0010), dat_testing::make_variable_hook(4, 1, 0x8001, 0xBEEF)};
  af.hooks[1].payload[39] = 0x99;
  m.placements = {{0x65, dat::PlacementType{af}}, {0x66, dat::PlacementType{dat::AnimationFrame{af.frames, {}}}}};
  m.cyl_spheres = {dat::CylSphere{{1, 2, 3}, 4, 5}};
  m.spheres = {{{1, 1, 1}, 2}, {{3, 3, 3}, -4}};
  m.scalars = {1, 2, 3, 0xFFFFFFFF};
  m.sphere_1 = {{9, 9, 9}, 9};
  m.sphere_2 = {{8, 8, 8}, 8};
  m.lights = {{4, dat::LightInfo{make_frame(1, 2, 3, 1, 0, 0, 0), 0xFF00FF00, 2, 3, 4}}};
  m.optional_ids = {std::nullopt, 0x05000001u, std::nullopt, 0x06000002u, std::nullopt};

  const auto bytes = dat_testing::encode_setup_model(m);
  ByteCursor cursor(bytes);
  auto got = SetupModel::unpack(cursor);
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(cursor.position(), bytes.size());
  EXPECT_EQ(got->id, m.id);
  EXPECT_EQ(got->flags, m.flags);
  EXPECT_EQ(got->parts, m.parts);
  EXPECT_EQ(got->part_u32s, m.part_u32s);
  ASSERT_EQ(got->part_vectors.size(), 2u);
  EXPECT_TRUE(common::same_bits(got->part_vectors[1], m.part_vectors[1]));
  for (const auto* pair : {&got->location_table_1, &got->location_table_2}) {
    const auto& want = pair == &got->location_table_1 ? m.location_table_1 : m.location_table_2;
    ASSERT_EQ(pair->size(), want.size());
    for (const auto& [key, loc] : want) {
      EXPECT_EQ(pair->at(key).part_id, loc.part_id);
      EXPECT_TRUE(common::same_bits(pair->at(key).frame, loc.frame));
    }
  }
  ASSERT_EQ(got->placements.size(), 2u);
  for (const auto& [key, placement] : m.placements) {
    const auto& g = got->placements.at(key).animation_frame;
    expect_same_frames(g.frames, placement.animation_frame.frames);
    EXPECT_EQ(g.hooks, placement.animation_frame.hooks);
  }
  ASSERT_EQ(got->cyl_spheres.size(), 1u);
  EXPECT_TRUE(common::same_bits(got->cyl_spheres[0].origin, m.cyl_spheres[0].origin));
  EXPECT_EQ(got->cyl_spheres[0].height, 5.0f);
  ASSERT_EQ(got->spheres.size(), 2u);
  EXPECT_TRUE(common::same_bits(got->spheres[1], m.spheres[1]));
  EXPECT_EQ(got->scalars, m.scalars);
  EXPECT_TRUE(common::same_bits(got->sphere_1, m.sphere_1));
  EXPECT_TRUE(common::same_bits(got->sphere_2, m.sphere_2));
  ASSERT_EQ(got->lights.size(), 1u);
  EXPECT_EQ(got->lights.at(4).color, 0xFF00FF00u);
  EXPECT_EQ(got->lights.at(4).cone_angle, 4u);
  EXPECT_EQ(got->optional_ids, m.optional_ids);
}

}  // namespace
