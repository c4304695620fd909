#pragma once
// Small helpers shared by the asset decoder tests.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/cursor.h"
#include "common/math.h"

namespace assets_test {

// The context messages of a read error, innermost first.
inline std::vector<std::string> context_messages(const common::ReadError& error) {
  std::vector<std::string> out;
  for (const auto& entry : error.context()) out.push_back(entry.message);
  return out;
}

inline std::vector<std::string> context_locations(const common::ReadError& error) {
  std::vector<std::string> out;
  for (const auto& entry : error.context()) out.push_back(entry.location);
  return out;
}

// Hand-written frame bytes: origin (x, y, z) then orientation (w, x, y, z).
inline void put_frame(common::ByteWriter& out, float ox, float oy, float oz, float w, float qx, float qy,
                      float qz) {
  for (float v : {ox, oy, oz, w, qx, qy, qz}) out.put_f32(v);
}

inline common::Frame make_frame(float ox, float oy, float oz, float w, float qx, float qy, float qz) {
  common::Frame f;
  f.origin = {ox, oy, oz};
  f.orientation = {w, qx, qy, qz};
  return f;
}

inline std::vector<uint8_t> prefix(const std::vector<uint8_t>& bytes, size_t length) {
  return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace assets_test
