#include "common/math.h"

#include <cmath>
#include <gtest/gtest.h>

namespace common {
namespace {

std::vector<uint8_t> floats(std::initializer_list<float> values) {
  ByteWriter w;
  for (float v : values) w.put_f32(v);
  return w.take();
}

std::vector<std::string> messages(const ReadError& e) {
  std::vector<std::string> out;
  for (const auto& c : e.context()) out.push_back(c.message);
  return out;
}

TEST(Geometry, Vector3ExactAndShort) {
  auto bytes = floats({1.0f, 2.0f, 3.0f});
  ByteCursor c(bytes);
  auto v = Vector3::read(c);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->z, 3.0f);
  EXPECT_EQ(c.position(), 12u);

  bytes.pop_back();
  ByteCursor short_cursor(bytes);
  auto fail = Vector3::read(short_cursor);
  ASSERT_FALSE(fail);
  EXPECT_EQ(fail.error().message(), "failed to fill whole buffer");
  EXPECT_EQ(messages(fail.error()), std::vector<std::string>{"While parsing field 'z' in Vector3"});
  EXPECT_EQ(short_cursor.position(), 0u);
}

TEST(Geometry, QuaternionScalarFirst) {
  auto bytes = floats({1.0f, 0.0f, 0.0f, 0.0f});
  ByteCursor c(bytes);
  auto q = Quaternion::read(c);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->w, 1.0f);
  EXPECT_EQ(q->x, 0.0f);
}

TEST(Geometry, FrameShortInsideQuaternionRestoresToFrameStart) {
  // 4 bytes of padding before the frame, then origin and w, x of the orientation.
  auto bytes = floats({9.0f, 1.0f, 2.0f, 3.0f, 1.0f, 0.0f});
  ByteCursor c(bytes, 4);
  auto f = Frame::read(c, "libs/dat/src/graphics");
  ASSERT_FALSE(f);
  EXPECT_EQ(messages(f.error()), (std::vector<std::string>{"While parsing field 'y' in Quaternion",
                                                            "While parsing field 'orientation' in Frame"}));
  EXPECT_EQ(f.error().context()[1].location, "libs/dat/src/graphics");
  EXPECT_EQ(c.position(), 4u);
}

TEST(Geometry, SphereKeepsNegativeAndNaNRadius) {
  for (float r : {-2.5f, std::nanf("")}) {
    auto bytes = floats({0, 0, 0, r});
    ByteCursor c(bytes);
    auto s = Sphere::read(c);
    ASSERT_TRUE(s);
    Sphere expected{{0, 0, 0}, r};
    EXPECT_TRUE(same_bits(*s, expected));
  }
}

TEST(Geometry, CursorPastEndFailsOnFirstField) {
  auto bytes = floats({1, 2, 3});
  ByteCursor c(bytes, 100);
  auto v = Vector3::read(c);
  ASSERT_FALSE(v);
  EXPECT_EQ(messages(v.error()), std::vector<std::string>{"While parsing field 'x' in Vector3"});
  EXPECT_EQ(c.position(), 100u);
}

TEST(Geometry, WriteThenReadRoundTrips) {
  Frame f{{1.5f, -2.0f, 3.25f}, {0.5f, 0.5f, -0.5f, 0.5f}};
  ByteWriter w;
  f.write(w);
  ASSERT_EQ(w.size(), Frame::kSize);
  ByteCursor c(w.bytes());
  auto back = Frame::read(c, "x");
  ASSERT_TRUE(back);
  EXPECT_TRUE(same_bits(*back, f));
}

}  // namespace
}  // namespace common
