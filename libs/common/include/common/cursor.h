#pragma once
// A bounds-checked little-endian byte cursor, the read error it produces, and
// the record-reader convention every fixed-layout decoder follows.
//
// Convention for a declarative record:
//
//   ReadResult<Vector3> Vector3::read(ByteCursor& cursor) {
//     RecordScope scope(cursor, "Vector3", kLocation);
//     Vector3 v;
//     v.x = READ_FIELD(scope, "x", cursor.read_f32());
//     ...
//   }
//
// A failing field wraps its error in "While parsing field 'x' in Vector3",
// puts the cursor back where the record began and returns. Context entries
// therefore accumulate innermost first.
#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/io.h"

namespace common {

struct ContextEntry {
  std::string message;   // "While parsing field 'x' in Vector3"
  std::string location;  // source module of the record, e.g. "libs/common/src/math"
  friend bool operator==(const ContextEntry&, const ContextEntry&) = default;
};

// The error of the binary record codec: an underlying failure plus the chain
// of field contexts, innermost first.
class ReadError {
 public:
  enum class Kind {
    EndOfData,  // ran out of bytes; text is "failed to fill whole buffer" unless given
    Io,         // an operating-system failure underneath a record read or write
    Custom,     // a decoder's own check failed (message + stream position)
    Assertion,  // a decoder's assertion failed (message + stream position)
  };

  static ReadError end_of_data(std::string text = "failed to fill whole buffer");
  static ReadError io(IoError error);
  static ReadError custom(std::string message, uint64_t position);
  static ReadError assertion(std::string message, uint64_t position);

  Kind kind() const { return kind_; }
  // The underlying failure's own text, without context.
  const std::string& message() const { return message_; }
  uint64_t position() const { return position_; }
  const std::vector<ContextEntry>& context() const { return context_; }
  // The I/O failure for kinds EndOfData and Io (an unexpected end for EndOfData).
  IoError io_error() const { return io_; }

  // Appends "While parsing field '{field}' in {record}" at `location`.
  void add_field_context(std::string_view field, std::string_view record, std::string_view location);

  // The failure followed by its context entries, innermost first, e.g.
  // "failed to fill whole buffer (While parsing field 'z' in Vector3 at libs/common/src/math)".
  std::string to_string() const;
  std::string debug_string() const;

 private:
  ReadError(Kind kind, std::string message, uint64_t position, IoError io)
      : kind_(kind), message_(std::move(message)), position_(position), io_(io) {}

  Kind kind_;
  std::string message_;
  uint64_t position_;
  IoError io_;
  std::vector<ContextEntry> context_;
};

template <typename T>
using ReadResult = std::expected<T, ReadError>;

inline uint16_t load_u16_le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_u64_le(const uint8_t* p) {
  return static_cast<uint64_t>(load_u32_le(p)) | (static_cast<uint64_t>(load_u32_le(p + 4)) << 32);
}

// Reads little-endian values from a borrowed buffer. The position is 64-bit
// and may lie beyond the end of the buffer (a read there fails). The buffer
// must outlive the cursor.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> data, uint64_t position = 0)
      : data_(data), position_(position) {}

  uint64_t position() const { return position_; }
  void seek(uint64_t position) { position_ = position; }
  // Moves forward without reading; may pass the end (only the next read fails).
  void skip(uint64_t count) {
    position_ = (count > UINT64_MAX - position_) ? UINT64_MAX : position_ + count;
  }
  std::span<const uint8_t> data() const { return data_; }
  // Bytes between min(position, length) and the end.
  uint64_t remaining() const { return position_ >= data_.size() ? 0 : data_.size() - position_; }

  // Borrows the next `count` bytes (valid as long as the buffer is).
  ReadResult<std::span<const uint8_t>> read_span(uint64_t count) {
    if (remaining() < count) return std::unexpected(ReadError::end_of_data());
    auto out = data_.subspan(static_cast<size_t>(position_), static_cast<size_t>(count));
    position_ += count;
    return out;
  }
  ReadResult<void> read_into(std::span<uint8_t> out) {
    auto bytes = read_span(out.size());
    if (!bytes) return std::unexpected(std::move(bytes).error());
    if (!out.empty()) std::memcpy(out.data(), bytes->data(), out.size());
    return {};
  }
  ReadResult<uint8_t> read_u8() {
    auto b = read_span(1);
    if (!b) return std::unexpected(std::move(b).error());
    return (*b)[0];
  }
  ReadResult<uint16_t> read_u16() {
    auto b = read_span(2);
    if (!b) return std::unexpected(std::move(b).error());
    return load_u16_le(b->data());
  }
  ReadResult<uint32_t> read_u32() {
    auto b = read_span(4);
    if (!b) return std::unexpected(std::move(b).error());
    return load_u32_le(b->data());
  }
  ReadResult<int32_t> read_i32() {
    auto v = read_u32();
    if (!v) return std::unexpected(std::move(v).error());
    return static_cast<int32_t>(*v);
  }
  ReadResult<uint64_t> read_u64() {
    auto b = read_span(8);
    if (!b) return std::unexpected(std::move(b).error());
    return load_u64_le(b->data());
  }
  ReadResult<float> read_f32() {
    auto v = read_u32();
    if (!v) return std::unexpected(std::move(v).error());
    return std::bit_cast<float>(*v);
  }

 private:
  std::span<const uint8_t> data_;
  uint64_t position_;
};

// Appends little-endian values to a growable buffer.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(std::vector<uint8_t>& out) : out_(&out) {}

  void put_u8(uint8_t v) { buf().push_back(v); }
  void put_u16(uint16_t v) { put_le(v, 2); }
  void put_u32(uint32_t v) { put_le(v, 4); }
  void put_i32(int32_t v) { put_le(static_cast<uint32_t>(v), 4); }
  void put_u64(uint64_t v) { put_le(v, 8); }
  void put_f32(float v) { put_u32(std::bit_cast<uint32_t>(v)); }
  void put_bytes(std::span<const uint8_t> bytes) { buf().insert(buf().end(), bytes.begin(), bytes.end()); }
  void put_zeros(size_t count) { buf().insert(buf().end(), count, 0); }

  std::vector<uint8_t>& bytes() { return buf(); }
  std::vector<uint8_t> take() { return std::move(buf()); }
  size_t size() const { return out_ ? out_->size() : own_.size(); }

 private:
  std::vector<uint8_t>& buf() { return out_ ? *out_ : own_; }
  void put_le(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) buf().push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t>* out_ = nullptr;
  std::vector<uint8_t> own_;
};

// Remembers where a declarative record began; `fail` restores the cursor and
// adds the field's context entry.
class RecordScope {
 public:
  RecordScope(ByteCursor& cursor, std::string_view record, std::string_view location)
      : cursor_(cursor), start_(cursor.position()), record_(record), location_(location) {}

  ReadError fail(ReadError error, std::string_view field) const {
    cursor_.seek(start_);
    error.add_field_context(field, record_, location_);
    return error;
  }
  uint64_t start() const { return start_; }

 private:
  ByteCursor& cursor_;
  uint64_t start_;
  std::string_view record_;
  std::string_view location_;
};

}  // namespace common

// Reads one field of a declarative record; on failure returns from the
// enclosing function with the error wrapped in the field's context.
#define READ_FIELD(scope, field, expr)                                          \
  ({                                                                            \
    auto&& field_result_ = (expr);                                              \
    if (!field_result_) {                                                       \
      return std::unexpected((scope).fail(std::move(field_result_).error(), field)); \
    }                                                                           \
    std::move(*field_result_);                                                  \
  })
