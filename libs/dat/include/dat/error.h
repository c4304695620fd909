#pragma once
// DatError: the one error type of the data library. Twelve kinds, each with a
// fixed display text; see to_string().
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "common/cursor.h"
#include "common/io.h"

namespace dat {

class DatError {
 public:
  enum class Kind {
    Io,
    BinRead,
    NotFound,
    DuplicateId,
    DuplicateNamespacedId,
    InvalidMagic,
    UnsupportedVersion,
    InvalidNamespace,
    Corruption,
    DecompressionFailed,
    PathError,
    Other,
  };

  // Conversions used wherever a lower-level failure passes through unchanged.
  DatError(common::IoError error);    // NOLINT: implicit by design -> Io
  DatError(common::ReadError error);  // NOLINT: implicit by design -> BinRead

  static DatError io(common::IoError error) { return DatError(error); }
  static DatError bin_read(common::ReadError error) { return DatError(std::move(error)); }
  static DatError not_found(uint32_t file_id);
  static DatError duplicate_id(uint32_t file_id);
  static DatError duplicate_namespaced_id(std::string ns, uint32_t file_id);
  static DatError invalid_magic(std::string format);
  static DatError unsupported_version(uint32_t version);
  static DatError invalid_namespace(std::string message);
  static DatError corruption(std::string message);
  static DatError decompression_failed(uint32_t file_id);
  static DatError path_error(std::string path, common::IoError source);
  static DatError other(std::string message);

  Kind kind() const { return kind_; }
  // Name of the kind as written in the debug form ("NotFound", ...).
  const char* kind_name() const;

  // Payload accessors; each is meaningful only for the kinds that carry it.
  uint32_t file_id() const { return id_; }        // NotFound, DuplicateId, DuplicateNamespacedId, DecompressionFailed
  uint32_t version() const { return id_; }        // UnsupportedVersion
  const std::string& text() const { return text_; }  // namespace, format, message, or path
  const common::IoError& io_error() const { return io_; }  // Io, PathError
  const common::ReadError* read_error() const { return read_ ? &*read_ : nullptr; }  // BinRead

  // Display text, e.g. "File ID 0E000002 not found in provider".
  std::string to_string() const;
  // Debug form: the kind name and its payload, e.g. "NotFound(234881026)" or
  // "PathError { path: \"/x\", source: Os { ... } }".
  std::string debug_string() const;

 private:
  explicit DatError(Kind kind) : kind_(kind), io_(common::IoError::unexpected_eof()) {}

  Kind kind_;
  uint32_t id_ = 0;
  std::string text_;
  common::IoError io_;
  std::optional<common::ReadError> read_;
};

template <typename T>
using DatResult = std::expected<T, DatError>;

}  // namespace dat
