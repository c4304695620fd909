#include "error.h"

#include <fmt/format.h>

namespace tools {

ToolError ToolError::dat_open(std::filesystem::path path, std::string message) {
  ToolError e(Kind::DatOpen);
  e.path_ = std::move(path);
  e.text_ = std::move(message);
  return e;
}

ToolError ToolError::dat_read(uint32_t id, dat::DatError source) {
  ToolError e(Kind::DatRead);
  e.id_ = id;
  e.dat_ = std::move(source);
  return e;
}

ToolError ToolError::qra_write(std::filesystem::path path, std::string message) {
  ToolError e(Kind::QraWrite);
  e.path_ = std::move(path);
  e.text_ = std::move(message);
  return e;
}

ToolError ToolError::io(common::IoError error) {
  ToolError e(Kind::Io);
  e.io_ = error;
  return e;
}

ToolError ToolError::progress_template(std::string message) {
  ToolError e(Kind::ProgressTemplate);
  e.text_ = std::move(message);
  return e;
}

ToolError ToolError::validation(std::string message) {
  ToolError e(Kind::Validation);
  e.text_ = std::move(message);
  return e;
}

ToolError ToolError::asset_derivation(std::string message) {
  ToolError e(Kind::AssetDerivation);
  e.text_ = std::move(message);
  return e;
}

const char* ToolError::kind_name() const {
  switch (kind_) {
    case Kind::DatOpen: return "DatOpen";
    case Kind::DatRead: return "DatRead";
    case Kind::QraWrite: return "QraWrite";
    case Kind::Io: return "Io";
    case Kind::ProgressTemplate: return "ProgressTemplate";
    case Kind::Validation: return "Validation";
    case Kind::AssetDerivation: return "AssetDerivation";
  }
  return "Unknown";
}

std::string ToolError::message() const {
  switch (kind_) {
    case Kind::DatOpen:
    case Kind::QraWrite:
      return path_.string() + ": " + text_;
    case Kind::DatRead:
      return fmt::format("read 0x{:x}: {}", id_, dat_ ? dat_->to_string() : std::string());
    case Kind::Io:
      return io_ ? io_->to_string() : std::string();
    case Kind::ProgressTemplate:
    case Kind::Validation:
    case Kind::AssetDerivation:
      return text_;
  }
  return text_;
}

std::string ToolError::debug_string() const {
  switch (kind_) {
    case Kind::DatOpen:
    case Kind::QraWrite:
      return fmt::format("{} {{ path: {}, message: {} }}", kind_name(), common::debug_quoted(path_.string()),
                         common::debug_quoted(text_));
    case Kind::DatRead:
      return fmt::format("DatRead {{ id: {}, source: {} }}", id_, dat_ ? dat_->debug_string() : std::string());
    case Kind::Io:
      return fmt::format("Io({})", io_ ? io_->debug_string() : std::string());
    case Kind::ProgressTemplate:
    case Kind::Validation:
    case Kind::AssetDerivation:
      return fmt::format("{}({})", kind_name(), common::debug_quoted(text_));
  }
  return kind_name();
}

}  // namespace tools
