#include "common/cursor.h"

#include <fmt/format.h>

namespace common {

ReadError ReadError::end_of_data(std::string text) {
  return ReadError(Kind::EndOfData, std::move(text), 0, IoError::unexpected_eof());
}

ReadError ReadError::io(IoError error) {
  if (error.is_unexpected_eof()) return end_of_data();
  return ReadError(Kind::Io, error.to_string(), 0, error);
}

ReadError ReadError::custom(std::string message, uint64_t position) {
  return ReadError(Kind::Custom, std::move(message), position, IoError::unexpected_eof());
}

ReadError ReadError::assertion(std::string message, uint64_t position) {
  return ReadError(Kind::Assertion, std::move(message), position, IoError::unexpected_eof());
}

void ReadError::add_field_context(std::string_view field, std::string_view record,
                                  std::string_view location) {
  context_.push_back(ContextEntry{fmt::format("While parsing field '{}' in {}", field, record),
                                  std::string(location)});
}

std::string ReadError::to_string() const {
  std::string out = message_;
  if (kind_ == Kind::Custom || kind_ == Kind::Assertion) {
    out += fmt::format(" at position {}", position_);
  }
  if (!context_.empty()) {
    out += " (";
    for (size_t i = 0; i < context_.size(); ++i) {
      if (i > 0) out += "; ";
      out += context_[i].message;
      out += " at ";
      out += context_[i].location;
    }
    out += ")";
  }
  return out;
}

std::string ReadError::debug_string() const {
  const char* kind = "EndOfData";
  switch (kind_) {
    case Kind::EndOfData: kind = "EndOfData"; break;
    case Kind::Io: kind = "Io"; break;
    case Kind::Custom: kind = "Custom"; break;
    case Kind::Assertion: kind = "Assertion"; break;
  }
  std::string out = fmt::format("{} {{ message: {}, pos: {}", kind, debug_quoted(message_), position_);
  if (!context_.empty()) {
    out += ", context: [";
    for (size_t i = 0; i < context_.size(); ++i) {
      if (i > 0) out += ", ";
      out += debug_quoted(context_[i].message);
    }
    out += "]";
  }
  out += " }";
  return out;
}

}  // namespace common
