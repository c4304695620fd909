#include "common/io.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace common {
namespace {

TEST(IoError, TextForms) {
  EXPECT_EQ(IoError::unexpected_eof().to_string(), "failed to fill whole buffer");
  EXPECT_EQ(IoError::from_errno(ENOENT).to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(ENOTDIR), "Not a directory (os error 20)");
}

TEST(DebugQuoted, EscapesLikeADebugString) {
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp/dist", "\"/tmp/dist\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
      {std::string("nul\0x", 5), "\"nul\\0x\""},
      {"\x01", "\"\\u{1}\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"bad\xFF", "\"bad\\xFF\""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(debug_quoted(in), out) << in;
}

}  // namespace
}  // namespace common
