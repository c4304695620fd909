#include "dat/graphics.h"

namespace dat {

common::ReadResult<common::Frame> read_graphics_frame(common::ByteCursor& cursor) {
  return common::Frame::read(cursor, kGraphicsLocation);
}

}  // namespace dat
