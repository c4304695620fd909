#pragma once
// Operating-system I/O failures as values, and the text forms used in messages.
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// One I/O failure: an operating-system error number, or the unexpected end of
// data ("failed to fill whole buffer") when a read could not deliver all the
// bytes asked for.
class IoError {
 public:
  static IoError from_errno(int code) { return IoError(code, false); }
  static IoError unexpected_eof() { return IoError(0, true); }

  bool is_unexpected_eof() const { return eof_; }
  int code() const { return code_; }

  // "No such file or directory (os error 2)" or "failed to fill whole buffer".
  std::string to_string() const;
  // "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }" style.
  std::string debug_string() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(int code, bool eof) : code_(code), eof_(eof) {}
  int code_;
  bool eof_;
};

// The system's description of an error number followed by " (os error N)".
std::string os_error_text(int code);

// The quoted debug form of a path or string: double quotes around it, with
// backslash escapes for quote, backslash, tab, carriage return, newline and
// other non-printable characters (\u{XX} for control bytes, \xNN for bytes that
// are not valid UTF-8).
std::string debug_quoted(std::string_view text);

}  // namespace common
