#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "assets_test_support.h"
#include "dat/landblock.h"
#include "dat_testing/asset_encoders.h"

namespace {

using assets_test::context_locations;
using assets_test::context_messages;
using assets_test::make_frame;
using assets_test::prefix;
using assets_test::put_frame;
using common::ByteWriter;
using dat::LandblockInfo;

const common::ReadError& read_error_of(const dat::DatResult<LandblockInfo>& result) {
  EXPECT_EQ(result.error().kind(), dat::DatError::Kind::BinRead);
  return *result.error().read_error();
}

// id, num_cells, num_objects = 0, num_buildings = 0, pack_mask.
std::vector<uint8_t> empty_record(uint16_t pack_mask) {
  ByteWriter out;
  out.put_u32(0xA9B4FFFE);
  out.put_u32(7);
  out.put_u32(0);
  out.put_u16(0);
  out.put_u16(pack_mask);
  return out.take();
}

TEST(LandblockInfo, EmptyRecordAndPackMaskWithoutBitZero) {
  struct Case {
    uint16_t pack_mask;
    size_t trailing;
  };
  for (const Case c : {Case{0, 0}, Case{0, 9}, Case{2, 0}, Case{2, 12}, Case{0xFFFE, 4}}) {
    SCOPED_TRACE(::testing::Message() << "pack_mask " << c.pack_mask << " trailing " << c.trailing);
    auto bytes = empty_record(c.pack_mask);
    ASSERT_EQ(bytes.size(), 16u);
    // Bytes that would read as a restriction table with one pair if they were read.
    const uint8_t trailing_pattern[] = {1, 0, 0, 0, 5, 0, 0, 0, 9, 0, 0, 0};
    for (size_t i = 0; i < c.trailing; ++i) bytes.push_back(trailing_pattern[i % sizeof trailing_pattern]);
    auto info = LandblockInfo::unpack(bytes);
    ASSERT_TRUE(info) << info.error().to_string();
    EXPECT_EQ(info->id, 0xA9B4FFFEu);
    EXPECT_EQ(info->num_cells, 7u);
    EXPECT_TRUE(info->objects.empty());
    EXPECT_TRUE(info->buildings.empty());
    EXPECT_EQ(info->pack_mask, c.pack_mask);
    EXPECT_FALSE(info->restriction_tables.has_value());
  }
}

TEST(LandblockInfo, PackMaskBitZeroRequiresTheRestrictionTable) {
  auto result = LandblockInfo::unpack(empty_record(1));
  ASSERT_FALSE(result);
  const auto& err = read_error_of(result);
  EXPECT_EQ(err.kind(), common::ReadError::Kind::EndOfData);
  EXPECT_EQ(err.message(), "failed to fill whole buffer");
  EXPECT_EQ(context_messages(err),
            (std::vector<std::string>{"While parsing field 'count' in RestrictionTable",
                                      "While parsing field 'restriction_tables' in LandblockInfo"}));
  EXPECT_EQ(context_locations(err),
            (std::vector<std::string>{"libs/dat/src/landblock", "libs/dat/src/landblock"}));
  EXPECT_EQ(result.error().to_string().rfind("Binary read error: failed to fill whole buffer", 0), 0u);
}

// A hand-written record: two objects, one building with two portals (one and
// two stabs) and a restriction table with a repeated key.
std::vector<uint8_t> full_record() {
  ByteWriter out;
  out.put_u32(0x1234FFFE);  // id
  out.put_u32(3);           // num_cells
  out.put_u32(2);           // num_objects
  out.put_u32(0x02000010);  // objects[0].id
  put_frame(out, 1, 2, 3, 1, 0, 0, 0);
  out.put_u32(0x01000020);  // objects[1].id
  put_frame(out, -4, 5.5f, 6, 0.5f, 0.5f, 0.5f, 0.5f);
  out.put_u16(1);           // num_buildings
  out.put_u16(0x0101);      // pack_mask: bit 0 set
  out.put_u32(0x02000030);  // buildings[0].model_id
  put_frame(out, 10, 20, 30, 0, 1, 0, 0);
  out.put_u32(9);  // num_leaves
  out.put_u32(2);  // num_portals
  // portal 0: flags, other_cell_id, other_portal_id, num_stabs = 1, stab, padding
  for (uint16_t v : std::initializer_list<uint16_t>{0x0003, 0x0100, 0x0002, 1, 0x0107}) out.put_u16(v);
  out.put_u16(0xBEEF);  // padding: skipped, never read
  // portal 1: num_stabs = 2, no padding
  for (uint16_t v : std::initializer_list<uint16_t>{0x0004, 0x0101, 0x0005, 2, 0x0108, 0x0109}) out.put_u16(v);
  out.put_u16(3);  // restriction count
  out.put_u16(8);  // _bucket_size
  for (uint32_t v : {5u, 1u, 7u, 70u, 5u, 2u}) out.put_u32(v);
  return out.take();
}

TEST(LandblockInfo, DecodesHandWrittenRecord) {
  const auto bytes = full_record();
  // 16 header bytes, 2 x 32 stabs, a 40-byte building with two 12-byte portals, a 4 + 3 x 8 table.
  ASSERT_EQ(bytes.size(), 16u + 64u + 40u + 24u + 28u);
  auto info = LandblockInfo::unpack(bytes);
  ASSERT_TRUE(info) << info.error().to_string();
  EXPECT_EQ(info->id, 0x1234FFFEu);
  EXPECT_EQ(info->num_cells, 3u);
  ASSERT_EQ(info->objects.size(), 2u);
  EXPECT_EQ(info->objects[0].id, 0x02000010u);
  EXPECT_TRUE(common::same_bits(info->objects[0].frame, make_frame(1, 2, 3, 1, 0, 0, 0)));
  EXPECT_EQ(info->objects[1].id, 0x01000020u);
  EXPECT_TRUE(common::same_bits(info->objects[1].frame, make_frame(-4, 5.5f, 6, 0.5f, 0.5f, 0.5f, 0.5f)));
  EXPECT_EQ(info->pack_mask, 0x0101);
  ASSERT_EQ(info->buildings.size(), 1u);
  const auto& b = info->buildings[0];
  EXPECT_EQ(b.model_id, 0x02000030u);
  EXPECT_TRUE(common::same_bits(b.frame, make_frame(10, 20, 30, 0, 1, 0, 0)));
  EXPECT_EQ(b.num_leaves, 9u);
  ASSERT_EQ(b.portals.size(), 2u);
  EXPECT_EQ(b.portals[0].flags, 3);
  EXPECT_EQ(b.portals[0].other_cell_id, 0x0100);
  EXPECT_EQ(b.portals[0].other_portal_id, 2);
  EXPECT_EQ(b.portals[0].stab_list, (std::vector<uint16_t>{0x0107}));
  EXPECT_EQ(b.portals[1].flags, 4);
  EXPECT_EQ(b.portals[1].other_cell_id, 0x0101);
  EXPECT_EQ(b.portals[1].other_portal_id, 5);
  EXPECT_EQ(b.portals[1].stab_list, (std::vector<uint16_t>{0x0108, 0x0109}));
  ASSERT_TRUE(info->restriction_tables);
  // (5, 1) then (5, 2): the last occurrence wins and the map holds fewer entries than the count.
  EXPECT_EQ(info->restriction_tables->tables, (std::map<uint32_t, uint32_t>{{5, 2}, {7, 70}}));
}

TEST(LandblockInfo, TruncatedRecordNamesTheFieldChain) {
  const auto bytes = full_record();
  using V = std::vector<std::string>;
  const std::string frame_stab = "While parsing field 'frame' in Stab";
  const std::string objects = "While parsing field 'objects' in LandblockInfo";
  const std::string buildings = "While parsing field 'buildings' in LandblockInfo";
  const std::string portals = "While parsing field 'portals' in BuildInfo";
  struct Case {
    size_t length;
    V expected;
  };
  const Case cases[] = {
      {0, {"While parsing field 'id' in LandblockInfo"}},
      {7, {"While parsing field 'num_cells' in LandblockInfo"}},
      {11, {"While parsing field 'num_objects' in LandblockInfo"}},
      {14, {"While parsing field 'id' in Stab", objects}},
      {16, {"While parsing field 'x' in Vector3", "While parsing field 'origin' in Frame", frame_stab, objects}},
      {16 + 12 + 9,
       {"While parsing field 'y' in Quaternion", "While parsing field 'orientation' in Frame", frame_stab, objects}},
      {12 + 32 + 31, {"While parsing field 'z' in Quaternion", "While parsing field 'orientation' in Frame",
                      frame_stab, objects}},
      {77, {"While parsing field 'num_buildings' in LandblockInfo"}},
      {79, {"While parsing field 'pack_mask' in LandblockInfo"}},
      {82, {"While parsing field 'model_id' in BuildInfo", buildings}},
      {84, {"While parsing field 'x' in Vector3", "While parsing field 'origin' in Frame",
            "While parsing field 'frame' in BuildInfo", buildings}},
      {80 + 32 + 3, {"While parsing field 'num_leaves' in BuildInfo", buildings}},
      {80 + 36 + 2, {"While parsing field 'num_portals' in BuildInfo", buildings}},
      {121, {"While parsing field 'flags' in PortalInternal", portals, buildings}},
      {123, {"While parsing field 'other_cell_id' in PortalInternal", portals, buildings}},
      {125, {"While parsing field 'other_portal_id' in PortalInternal", portals, buildings}},
      {127, {"While parsing field 'num_stabs' in PortalInternal", portals, buildings}},
      {129, {"While parsing field 'stab_list' in PortalInternal", portals, buildings}},
      // Cut inside the first portal's padding: the skip passes, the next portal's flags fail.
      {131, {"While parsing field 'flags' in PortalInternal", portals, buildings}},
      {144, {"While parsing field 'count' in RestrictionTable",
             "While parsing field 'restriction_tables' in LandblockInfo"}},
      {146, {"While parsing field '_bucket_size' in RestrictionTable",
             "While parsing field 'restriction_tables' in LandblockInfo"}},
      {150, {"While parsing field 'tables' in RestrictionTable",
             "While parsing field 'restriction_tables' in LandblockInfo"}},
      {bytes.size() - 1, {"While parsing field 'tables' in RestrictionTable",
                          "While parsing field 'restriction_tables' in LandblockInfo"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    auto result = LandblockInfo::unpack(prefix(bytes, c.length));
    ASSERT_FALSE(result);
    const auto& err = read_error_of(result);
    EXPECT_EQ(err.kind(), common::ReadError::Kind::EndOfData);
    EXPECT_EQ(context_messages(err), c.expected);
  }
  // Every prefix fails, and the outermost entry always names a LandblockInfo field.
  for (size_t length = 0; length < bytes.size(); ++length) {
    auto result = LandblockInfo::unpack(prefix(bytes, length));
    ASSERT_FALSE(result) << "length " << length;
    const auto messages = context_messages(read_error_of(result));
    ASSERT_FALSE(messages.empty()) << "length " << length;
    EXPECT_NE(messages.back().find("in LandblockInfo"), std::string::npos) << "length " << length;
  }
}

TEST(LandblockInfo, FrameEntriesCarryTheLandblockLocation) {
  auto result = LandblockInfo::unpack(prefix(full_record(), 16 + 12 + 9));
  ASSERT_FALSE(result);
  EXPECT_EQ(context_locations(*result.error().read_error()),
            (std::vector<std::string>{"libs/common/src/math", "libs/dat/src/landblock", "libs/dat/src/landblock",
                                      "libs/dat/src/landblock"}));
}

TEST(LandblockInfo, OddStabCountPaddingMayLieBeyondTheEnd) {
  ByteWriter out;
  out.put_u32(0x0101FFFE);
  out.put_u32(0);
  out.put_u32(0);  // no objects
  out.put_u16(1);  // one building
  out.put_u16(0);  // pack_mask: no table
  out.put_u32(0x01000001);
  put_frame(out, 0, 0, 0, 1, 0, 0, 0);
  out.put_u32(0);
  out.put_u32(1);  // one portal
  for (uint16_t v : std::initializer_list<uint16_t>{1, 2, 3, 3, 10, 11, 12}) out.put_u16(v);  // three stabs, no padding written
  const auto bytes = out.take();
  auto info = LandblockInfo::unpack(bytes);
  ASSERT_TRUE(info) << info.error().to_string();
  ASSERT_EQ(info->buildings.size(), 1u);
  ASSERT_EQ(info->buildings[0].portals.size(), 1u);
  EXPECT_EQ(info->buildings[0].portals[0].stab_list, (std::vector<uint16_t>{10, 11, 12}));

  // With bit 0 set the table's count would have to come after the (missing) padding.
  auto with_table = bytes;
  with_table[14] = 1;
  auto result = LandblockInfo::unpack(with_table);
  ASSERT_FALSE(result);
  EXPECT_EQ(context_messages(*result.error().read_error()).front(), "While parsing field 'count' in RestrictionTable");
}

TEST(LandblockInfo, PortalLengthIsRoundedToFourBytes) {
  // num_stabs 1 and 2 both occupy 12 bytes, 3 and 4 both 16: the next portal starts right after.
  struct Case {
    uint16_t num_stabs;
    size_t portal_size;
  };
  for (const Case c : {Case{0, 8}, Case{1, 12}, Case{2, 12}, Case{3, 16}, Case{4, 16}}) {
    SCOPED_TRACE(::testing::Message() << "num_stabs " << c.num_stabs);
    ByteWriter out;
    out.put_u16(0xAAAA);
    out.put_u16(1);
    out.put_u16(2);
    out.put_u16(c.num_stabs);
    for (uint16_t i = 0; i < c.num_stabs; ++i) out.put_u16(static_cast<uint16_t>(100 + i));
    while (out.size() < c.portal_size) out.put_u16(0xFFFF);  // padding, must not be read
    // The following portal: flags 0x5555 and no stabs.
    for (uint16_t v : std::initializer_list<uint16_t>{0x5555, 0, 0, 0}) out.put_u16(v);
    const auto bytes = out.take();
    common::ByteCursor cursor(bytes);
    auto first = dat::PortalInternal::read(cursor);
    ASSERT_TRUE(first);
    EXPECT_EQ(cursor.position(), c.portal_size);
    EXPECT_EQ(first->stab_list.size(), c.num_stabs);
    auto second = dat::PortalInternal::read(cursor);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->flags, 0x5555);
    EXPECT_TRUE(second->stab_list.empty());
  }
}

TEST(LandblockInfo, TextRecordFailsInsideTheFirstStab) {
  const std::string text = "cell-a9b4-info";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  ASSERT_EQ(common::load_u32_le(&bytes[8]), 1852386612u);  // the declared object count
  auto result = LandblockInfo::unpack(bytes);
  ASSERT_FALSE(result);
  EXPECT_EQ(context_messages(*result.error().read_error()),
            (std::vector<std::string>{"While parsing field 'id' in Stab",
                                      "While parsing field 'objects' in LandblockInfo"}));
}

TEST(LandblockInfo, ThirdBuildingSecondPortalEndingInStabList) {
  LandblockInfo info;
  info.id = 0x0203FFFE;
  dat::BuildInfo building;
  building.model_id = 0x01000001;
  building.portals = {dat::PortalInternal{1, 2, 3, {4}}, dat::PortalInternal{5, 6, 7, {8, 9, 10}}};
  info.buildings = {building, building, building};
  const auto bytes = dat_testing::encode_landblock_info(info);
  ASSERT_TRUE(LandblockInfo::unpack(bytes));
  // Third building: header (40) + first portal (12); the second portal's fixed 8 bytes + one stab.
  const size_t cut = 16 + 2 * (40 + 12 + 16) + 40 + 12 + 8 + 2;
  auto result = LandblockInfo::unpack(prefix(bytes, cut));
  ASSERT_FALSE(result);
  const auto& err = *result.error().read_error();
  EXPECT_EQ(err.message(), "failed to fill whole buffer");
  EXPECT_EQ(context_messages(err), (std::vector<std::string>{"While parsing field 'stab_list' in PortalInternal",
                                                             "While parsing field 'portals' in BuildInfo",
                                                             "While parsing field 'buildings' in LandblockInfo"}));
}

TEST(LandblockInfo, RestrictionTableReadAlone) {
  struct Case {
    std::vector<uint32_t> pairs;
    uint16_t count;
    std::map<uint32_t, uint32_t> expected;
  };
  const Case cases[] = {
      {{}, 0, {}},
      {{5, 1, 5, 2}, 2, {{5, 2}}},
      {{5, 2, 5, 1}, 2, {{5, 1}}},
      {{1, 10, 2, 20, 1, 30, 3, 40}, 4, {{1, 30}, {2, 20}, {3, 40}}},
  };
  for (const auto& c : cases) {
    ByteWriter out;
    out.put_u16(c.count);
    out.put_u16(0x7777);
    for (uint32_t v : c.pairs) out.put_u32(v);
    const auto bytes = out.take();
    common::ByteCursor cursor(bytes);
    auto table = dat::RestrictionTable::read(cursor);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->tables, c.expected);
    EXPECT_EQ(cursor.position(), bytes.size());
  }
  // Half a pair: no map, cursor back at the table's start.
  ByteWriter out;
  out.put_u32(0xFFFFFFFF);  // bytes before the table
  out.put_u16(2);
  out.put_u16(0);
  for (uint32_t v : {5u, 1u, 5u}) out.put_u32(v);
  const auto bytes = out.take();
  common::ByteCursor cursor(bytes, 4);
  auto table = dat::RestrictionTable::read(cursor);
  ASSERT_FALSE(table);
  EXPECT_EQ(context_messages(table.error()),
            (std::vector<std::string>{"While parsing field 'tables' in RestrictionTable"}));
  EXPECT_EQ(cursor.position(), 4u);
}

TEST(LandblockInfo, EncoderRoundTrip) {
  LandblockInfo info;
  info.id = 0xA9B4FFFE;
  info.num_cells = 12;
  info.objects = {dat::Stab{0x02000001, make_frame(1, 2, 3, 1, 0, 0, 0)},
                  dat::Stab{0x01000005, make_frame(-1, -2, -3, 0, 0, 0, 1)}};
  info.pack_mask = 3;
  dat::BuildInfo b1{0x01000100, make_frame(7, 8, 9, 0.25f, 0.5f, 0.75f, 1), 4,
                    {dat::PortalInternal{1, 0x0100, 0, {}}, dat::PortalInternal{2, 0x0101, 1, {1, 2, 3}}}};
  dat::BuildInfo b2{0x02000200, make_frame(0, 0, 0, 1, 0, 0, 0), 0, {}};
  info.buildings = {b1, b2};
  info.restriction_tables = dat::RestrictionTable{{{1, 2}, {3, 4}}};

  const auto bytes = dat_testing::encode_landblock_info(info);
  EXPECT_EQ(bytes.size(), 16u + 64u + (40 + 8 + 16) + 40 + 4 + 16);
  auto decoded = LandblockInfo::unpack(bytes);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->id, info.id);
  EXPECT_EQ(decoded->num_cells, info.num_cells);
  ASSERT_EQ(decoded->objects.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(decoded->objects[i].id, info.objects[i].id);
    EXPECT_TRUE(common::same_bits(decoded->objects[i].frame, info.objects[i].frame));
  }
  EXPECT_EQ(decoded->pack_mask, 3);
  ASSERT_EQ(decoded->buildings.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const auto& got = decoded->buildings[i];
    const auto& want = info.buildings[i];
    EXPECT_EQ(got.model_id, want.model_id);
    EXPECT_TRUE(common::same_bits(got.frame, want.frame));
    EXPECT_EQ(got.num_leaves, want.num_leaves);
    ASSERT_EQ(got.portals.size(), want.portals.size());
    for (size_t p = 0; p < got.portals.size(); ++p) {
      EXPECT_EQ(got.portals[p].flags, want.portals[p].flags);
      EXPECT_EQ(got.portals[p].other_cell_id, want.portals[p].other_cell_id);
      EXPECT_EQ(got.portals[p].other_portal_id, want.portals[p].other_portal_id);
      EXPECT_EQ(got.portals[p].stab_list, want.portals[p].stab_list);
    }
  }
  ASSERT_TRUE(decoded->restriction_tables);
  EXPECT_EQ(decoded->restriction_tables->tables, info.restriction_tables->tables);
}

}  // namespace
