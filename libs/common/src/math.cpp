#include "common/math.h"

#include <bit>

namespace common {

namespace {
constexpr std::string_view kLocation = "libs/common/src/math";

bool same(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }
}  // namespace

ReadResult<Vector3> Vector3::read(ByteCursor& cursor) {
  RecordScope scope(cursor, "Vector3", kLocation);
  Vector3 v;
  v.x = READ_FIELD(scope, "x", cursor.read_f32());
  v.y = READ_FIELD(scope, "y", cursor.read_f32());
  v.z = READ_FIELD(scope, "z", cursor.read_f32());
  return v;
}

void Vector3::write(ByteWriter& out) const {
  out.put_f32(x);
  out.put_f32(y);
  out.put_f32(z);
}

ReadResult<Quaternion> Quaternion::read(ByteCursor& cursor) {
  RecordScope scope(cursor, "Quaternion", kLocation);
  Quaternion q;
  q.w = READ_FIELD(scope, "w", cursor.read_f32());
  q.x = READ_FIELD(scope, "x", cursor.read_f32());
  q.y = READ_FIELD(scope, "y", cursor.read_f32());
  q.z = READ_FIELD(scope, "z", cursor.read_f32());
  return q;
}

void Quaternion::write(ByteWriter& out) const {
  out.put_f32(w);
  out.put_f32(x);
  out.put_f32(y);
  out.put_f32(z);
}

ReadResult<Sphere> Sphere::read(ByteCursor& cursor) {
  RecordScope scope(cursor, "Sphere", kLocation);
  Sphere s;
  s.center = READ_FIELD(scope, "center", Vector3::read(cursor));
  s.radius = READ_FIELD(scope, "radius", cursor.read_f32());
  return s;
}

void Sphere::write(ByteWriter& out) const {
  center.write(out);
  out.put_f32(radius);
}

ReadResult<Frame> Frame::read(ByteCursor& cursor, std::string_view location) {
  RecordScope scope(cursor, "Frame", location);
  Frame f;
  f.origin = READ_FIELD(scope, "origin", Vector3::read(cursor));
  f.orientation = READ_FIELD(scope, "orientation", Quaternion::read(cursor));
  return f;
}

void Frame::write(ByteWriter& out) const {
  origin.write(out);
  orientation.write(out);
}

bool same_bits(const Vector3& a, const Vector3& b) {
  return same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z);
}
bool same_bits(const Quaternion& a, const Quaternion& b) {
  return same(a.w, b.w) && same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z);
}
bool same_bits(const Sphere& a, const Sphere& b) {
  return same_bits(a.center, b.center) && same(a.radius, b.radius);
}
bool same_bits(const Frame& a, const Frame& b) {
  return same_bits(a.origin, b.origin) && same_bits(a.orientation, b.orientation);
}

}  // namespace common
