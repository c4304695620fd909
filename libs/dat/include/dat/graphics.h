#pragma once
// The asset-graphics module: the Frame used inside setup-model records.
//
// The geometry itself is common::Frame (28 bytes: origin Vector3, orientation
// Quaternion); what this module adds is the location that its read errors
// carry, so a failure inside a setup model's frame names this module.
#include <string_view>

#include "common/cursor.h"
#include "common/math.h"

namespace dat {

// Location carried by the context entries of frames read through this module.
inline constexpr std::string_view kGraphicsLocation = "libs/dat/src/graphics";

// Reads one 28-byte Frame by the record-reader convention: on failure the
// cursor is back at the frame's first byte and the error carries the field
// entries ("... in Vector3"/"... in Quaternion", then "... in Frame").
common::ReadResult<common::Frame> read_graphics_frame(common::ByteCursor& cursor);

}  // namespace dat
