#include "common/cursor.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(ByteCursor, ReadsLittleEndianAndAdvances) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF};
  ByteCursor c(bytes);
  EXPECT_EQ(c.read_u16().value(), 0x0201);
  EXPECT_EQ(c.read_u32().value(), 0x06050403u);
  EXPECT_EQ(c.position(), 6u);
  EXPECT_EQ(c.read_u8().value(), 0x07);
  EXPECT_EQ(c.remaining(), 2u);
  auto tail = c.read_u32();
  ASSERT_FALSE(tail);
  EXPECT_EQ(tail.error().kind(), ReadError::Kind::EndOfData);
  EXPECT_EQ(tail.error().to_string(), "failed to fill whole buffer");
}

TEST(ByteCursor, PositionBeyondEndFailsEveryRead) {
  const std::vector<uint8_t> bytes = {1, 2, 3};
  ByteCursor c(bytes, 10);
  EXPECT_EQ(c.remaining(), 0u);
  EXPECT_FALSE(c.read_u8());
  EXPECT_TRUE(c.read_span(0));
  c.seek(0);
  c.skip(UINT64_MAX);
  EXPECT_EQ(c.position(), UINT64_MAX);
  EXPECT_FALSE(c.read_u8());
}

TEST(ByteWriter, WritesLittleEndian) {
  ByteWriter w;
  w.put_u16(0x0201);
  w.put_u32(0x06050403);
  w.put_u64(0x0E0D0C0B0A090807ull);
  w.put_i32(-1);
  const std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(w.bytes(), expected);
}

TEST(ReadError, ContextAccumulatesInnermostFirst) {
  auto e = ReadError::end_of_data();
  e.add_field_context("y", "Quaternion", "libs/common/src/math");
  e.add_field_context("orientation", "Frame", "libs/dat/src/graphics");
  ASSERT_EQ(e.context().size(), 2u);
  EXPECT_EQ(e.context()[0].message, "While parsing field 'y' in Quaternion");
  EXPECT_EQ(e.context()[1].message, "While parsing field 'orientation' in Frame");
  const auto text = e.to_string();
  EXPECT_EQ(text.find("failed to fill whole buffer"), 0u);
  EXPECT_LT(text.find("'y' in Quaternion"), text.find("'orientation' in Frame"));
}

}  // namespace
}  // namespace common
