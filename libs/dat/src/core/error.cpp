#include "dat/error.h"

#include <fmt/format.h>

namespace dat {

DatError::DatError(common::IoError error) : kind_(Kind::Io), io_(error) {}

DatError::DatError(common::ReadError error)
    : kind_(Kind::BinRead), io_(error.io_error()), read_(std::move(error)) {}

DatError DatError::not_found(uint32_t file_id) {
  DatError e(Kind::NotFound);
  e.id_ = file_id;
  return e;
}
DatError DatError::duplicate_id(uint32_t file_id) {
  DatError e(Kind::DuplicateId);
  e.id_ = file_id;
  return e;
}
DatError DatError::duplicate_namespaced_id(std::string ns, uint32_t file_id) {
  DatError e(Kind::DuplicateNamespacedId);
  e.text_ = std::move(ns);
  e.id_ = file_id;
  return e;
}
DatError DatError::invalid_magic(std::string format) {
  DatError e(Kind::InvalidMagic);
  e.text_ = std::move(format);
  return e;
}
DatError DatError::unsupported_version(uint32_t version) {
  DatError e(Kind::UnsupportedVersion);
  e.id_ = version;
  return e;
}
DatError DatError::invalid_namespace(std::string message) {
  DatError e(Kind::InvalidNamespace);
  e.text_ = std::move(message);
  return e;
}
DatError DatError::corruption(std::string message) {
  DatError e(Kind::Corruption);
  e.text_ = std::move(message);
  return e;
}
DatError DatError::decompression_failed(uint32_t file_id) {
  DatError e(Kind::DecompressionFailed);
  e.id_ = file_id;
  return e;
}
DatError DatError::path_error(std::string path, common::IoError source) {
  DatError e(Kind::PathError);
  e.text_ = std::move(path);
  e.io_ = source;
  return e;
}
DatError DatError::other(std::string message) {
  DatError e(Kind::Other);
  e.text_ = std::move(message);
  return e;
}

const char* DatError::kind_name() const {
  switch (kind_) {
    case Kind::Io: return "Io";
    case Kind::BinRead: return "BinRead";
    case Kind::NotFound: return "NotFound";
    case Kind::DuplicateId: return "DuplicateId";
    case Kind::DuplicateNamespacedId: return "DuplicateNamespacedId";
    case Kind::InvalidMagic: return "InvalidMagic";
    case Kind::UnsupportedVersion: return "UnsupportedVersion";
    case Kind::InvalidNamespace: return "InvalidNamespace";
    case Kind::Corruption: return "Corruption";
    case Kind::DecompressionFailed: return "DecompressionFailed";
    case Kind::PathError: return "PathError";
    case Kind::Other: return "Other";
  }
  return "Other";
}

std::string DatError::to_string() const {
  switch (kind_) {
    case Kind::Io: return "IO error: " + io_.to_string();
    case Kind::BinRead: return "Binary read error: " + read_->to_string();
    case Kind::NotFound: return fmt::format("File ID {:08X} not found in provider", id_);
    case Kind::DuplicateId: return fmt::format("Duplicate File ID {:08X} detected", id_);
    case Kind::DuplicateNamespacedId:
      return fmt::format("Duplicate namespaced file {}:{:08X} detected", text_, id_);
    case Kind::InvalidMagic: return "Invalid magic for format: " + text_;
    case Kind::UnsupportedVersion: return fmt::format("Unsupported version: {}", id_);
    case Kind::InvalidNamespace: return "Invalid namespace: " + text_;
    case Kind::Corruption: return "Corruption detected: " + text_;
    case Kind::DecompressionFailed: return fmt::format("Failed to recover compressed file {:08X}", id_);
    case Kind::PathError: return fmt::format("Failed to open file at {}: {}", text_, io_.to_string());
    case Kind::Other: return "Other error: " + text_;
  }
  return text_;
}

std::string DatError::debug_string() const {
  switch (kind_) {
    case Kind::Io: return fmt::format("Io({})", io_.debug_string());
    case Kind::BinRead: return fmt::format("BinRead({})", read_->debug_string());
    case Kind::NotFound:
    case Kind::DuplicateId:
    case Kind::DecompressionFailed:
    case Kind::UnsupportedVersion: return fmt::format("{}({})", kind_name(), id_);
    case Kind::DuplicateNamespacedId:
      return fmt::format("DuplicateNamespacedId {{ namespace: {}, file_id: {} }}", common::debug_quoted(text_), id_);
    case Kind::InvalidMagic:
    case Kind::InvalidNamespace:
    case Kind::Corruption:
    case Kind::Other: return fmt::format("{}({})", kind_name(), common::debug_quoted(text_));
    case Kind::PathError:
      return fmt::format("PathError {{ path: {}, source: {} }}", common::debug_quoted(text_), io_.debug_string());
  }
  return kind_name();
}

}  // namespace dat
