#pragma once
// Geometry records embedded in the game's asset records. Values are kept bit
// for bit as read: nothing here validates or normalises (NaN stays NaN).
#include "common/cursor.h"

namespace common {

// 12 bytes: x, y, z as f32.
struct Vector3 {
  static constexpr size_t kSize = 12;
  float x = 0, y = 0, z = 0;

  static ReadResult<Vector3> read(ByteCursor& cursor);
  void write(ByteWriter& out) const;
};

// 16 bytes, scalar part first: w, x, y, z as f32.
struct Quaternion {
  static constexpr size_t kSize = 16;
  float w = 1, x = 0, y = 0, z = 0;

  static ReadResult<Quaternion> read(ByteCursor& cursor);
  void write(ByteWriter& out) const;
};

// 16 bytes: center (Vector3), radius f32.
struct Sphere {
  static constexpr size_t kSize = 16;
  Vector3 center;
  float radius = 0;

  static ReadResult<Sphere> read(ByteCursor& cursor);
  void write(ByteWriter& out) const;
};

// 28 bytes: origin (Vector3), orientation (Quaternion). The asset records use
// it from two modules whose read errors name different locations, so the
// location is a parameter.
struct Frame {
  static constexpr size_t kSize = 28;
  Vector3 origin;
  Quaternion orientation;

  static ReadResult<Frame> read(ByteCursor& cursor, std::string_view location);
  void write(ByteWriter& out) const;
};

// Bitwise equality (so NaN payloads compare as stored).
bool same_bits(const Vector3& a, const Vector3& b);
bool same_bits(const Quaternion& a, const Quaternion& b);
bool same_bits(const Sphere& a, const Sphere& b);
bool same_bits(const Frame& a, const Frame& b);

}  // namespace common
