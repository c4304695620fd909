#include "common/io.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace common {

namespace {

std::string errno_description(int code) {
  char buf[256];
  // GNU strerror_r returns the message pointer, which may or may not be buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return msg;
}

const char* errno_kind(int code) {
  switch (code) {
    case ENOENT: return "NotFound";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EEXIST: return "AlreadyExists";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case ENOSPC: return "StorageFull";
    case EROFS: return "ReadOnlyFilesystem";
    default: return "Uncategorized";
  }
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 if invalid.
size_t utf8_sequence_length(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
  else if (b0 >= 0xE0 && b0 <= 0xEF) len = 3;
  else if (b0 >= 0xF0 && b0 <= 0xF4) len = 4;
  else return 0;
  if (i + len > s.size()) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  if (b0 == 0xE0 && b1 < 0xA0) return 0;
  if (b0 == 0xED && b1 > 0x9F) return 0;
  if (b0 == 0xF0 && b1 < 0x90) return 0;
  if (b0 == 0xF4 && b1 > 0x8F) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return len;
}

}  // namespace

std::string os_error_text(int code) {
  return fmt::format("{} (os error {})", errno_description(code), code);
}

std::string IoError::to_string() const {
  if (eof_) return "failed to fill whole buffer";
  return os_error_text(code_);
}

std::string IoError::debug_string() const {
  if (eof_) return "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }";
  return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", code_, errno_kind(code_),
                     debug_quoted(errno_description(code_)));
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\0': out += "\\0"; ++i; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", c);
      ++i;
      continue;
    }
    const size_t len = utf8_sequence_length(text, i);
    if (len == 0) {
      out += fmt::format("\\x{:02X}", c);
      ++i;
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  out.push_back('"');
  return out;
}

}  // namespace common
