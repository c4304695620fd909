#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "common/try.h"
#include "dat/error.h"

namespace dat {
namespace {

using common::IoError;
using common::ReadError;
using K = DatError::Kind;

ReadError field_error() {
  auto e = ReadError::end_of_data();
  e.add_field_context("block_size", "DatHeader", "libs/dat/src/db");
  return e;
}

TEST(DatError, DisplayTextOfEveryKind) {
  struct Case {
    DatError error;
    K kind;
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {DatError(IoError::unexpected_eof()), K::Io, "Io", "IO error: failed to fill whole buffer"},
      {DatError(IoError::from_errno(ENOENT)), K::Io, "Io", "IO error: No such file or directory (os error 2)"},
      {DatError(field_error()), K::BinRead, "BinRead",
       "Binary read error: failed to fill whole buffer (While parsing field 'block_size' in DatHeader at "
       "libs/dat/src/db)"},
      {DatError::not_found(0x0E000002), K::NotFound, "NotFound", "File ID 0E000002 not found in provider"},
      {DatError::not_found(0xFFFF), K::NotFound, "NotFound", "File ID 0000FFFF not found in provider"},
      {DatError::duplicate_id(0x12), K::DuplicateId, "DuplicateId", "Duplicate File ID 00000012 detected"},
      {DatError::duplicate_namespaced_id("eor/cell", 0xA9B4FFFF), K::DuplicateNamespacedId, "DuplicateNamespacedId",
       "Duplicate namespaced file eor/cell:A9B4FFFF detected"},
      {DatError::invalid_magic("QRA"), K::InvalidMagic, "InvalidMagic", "Invalid magic for format: QRA"},
      {DatError::unsupported_version(3), K::UnsupportedVersion, "UnsupportedVersion", "Unsupported version: 3"},
      {DatError::unsupported_version(4294967295u), K::UnsupportedVersion, "UnsupportedVersion",
       "Unsupported version: 4294967295"},
      {DatError::invalid_namespace("namespace label cannot be empty"), K::InvalidNamespace, "InvalidNamespace",
       "Invalid namespace: namespace label cannot be empty"},
      {DatError::corruption("QRA index size overflow"), K::Corruption, "Corruption",
       "Corruption detected: QRA index size overflow"},
      {DatError::decompression_failed(0xAB), K::DecompressionFailed, "DecompressionFailed",
       "Failed to recover compressed file 000000AB"},
      {DatError::path_error("/tmp/missing.dat", IoError::from_errno(ENOENT)), K::PathError, "PathError",
       "Failed to open file at /tmp/missing.dat: No such file or directory (os error 2)"},
      {DatError::other("no records"), K::Other, "Other", "Other error: no records"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_STREQ(c.error.kind_name(), c.name) << c.text;
    EXPECT_EQ(c.error.to_string(), c.text);
  }
}

TEST(DatError, DebugForms) {
  const std::pair<DatError, std::string> cases[] = {
      {DatError::not_found(0x0E000002), "NotFound(234881026)"},
      {DatError::unsupported_version(1), "UnsupportedVersion(1)"},
      {DatError::corruption("bad \"span\""), "Corruption(\"bad \\\"span\\\"\")"},
      {DatError::duplicate_namespaced_id("eor/cell", 0xA9B4FFFF),
       "DuplicateNamespacedId { namespace: \"eor/cell\", file_id: 2847211519 }"},
      {DatError::path_error("/tmp/x.dat", IoError::from_errno(ENOENT)),
       "PathError { path: \"/tmp/x.dat\", source: Os { code: 2, kind: NotFound, message: \"No such file or "
       "directory\" } }"},
      {DatError(IoError::unexpected_eof()), "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })"},
  };
  for (const auto& [error, debug] : cases) EXPECT_EQ(error.debug_string(), debug);
}

TEST(DatError, PayloadsAreKeptAndOwned) {
  std::string ns = "eor/portal";
  const DatError dup = DatError::duplicate_namespaced_id(ns, 7);
  ns.assign("changed");
  EXPECT_EQ(dup.text(), "eor/portal");
  EXPECT_EQ(dup.file_id(), 7u);

  const DatError path = DatError::path_error("/a/b", IoError::from_errno(EACCES));
  const DatError copy = path;
  EXPECT_EQ(copy.text(), "/a/b");
  EXPECT_EQ(copy.io_error(), IoError::from_errno(EACCES));

  const DatError read = DatError(field_error());
  ASSERT_NE(read.read_error(), nullptr);
  EXPECT_EQ(read.read_error()->context().size(), 1u);
  EXPECT_EQ(DatError::not_found(1).read_error(), nullptr);
}

// Lower-layer failures pass up unchanged through the conversions.
DatResult<int> through_io(bool fail) {
  std::expected<int, IoError> inner = fail ? std::expected<int, IoError>(std::unexpected(IoError::from_errno(EISDIR)))
                                           : std::expected<int, IoError>(5);
  return TRY(inner) + 1;
}

DatResult<void> through_codec() {
  common::ReadResult<void> inner = std::unexpected(field_error());
  TRY_VOID(inner);
  return {};
}

TEST(DatError, ConversionsFromLowerLayers) {
  EXPECT_EQ(through_io(false), 6);
  auto io = through_io(true);
  ASSERT_FALSE(io);
  EXPECT_EQ(io.error().kind(), K::Io);
  EXPECT_EQ(io.error().to_string(), "IO error: Is a directory (os error 21)");

  auto codec = through_codec();
  ASSERT_FALSE(codec);
  EXPECT_EQ(codec.error().kind(), K::BinRead);
  EXPECT_EQ(codec.error().io_error(), IoError::unexpected_eof());
}

}  // namespace
}  // namespace dat
