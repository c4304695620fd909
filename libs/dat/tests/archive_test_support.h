#pragma once
// Helpers shared by the archive tests: a per-test temporary directory, whole
// file I/O, the seven-record fixture archive, and little-endian patching of
// raw archive bytes.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "dat/archive.h"

namespace dat::test {

// A uniquely named directory under the system temporary directory, removed
// with everything below it when the object goes away (also on failure).
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qra-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

inline std::string text_of(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// The stored 32-byte form of a label (zero-filled), without validation.
inline ResourceNamespace::Bytes ns_bytes(std::string_view label) {
  ResourceNamespace::Bytes out{};
  std::memcpy(out.data(), label.data(), std::min(label.size(), out.size()));
  return out;
}

struct FixtureRecord {
  const char* ns;
  uint32_t file_id;
  const char* body;
};

// The seven records of the sharding fixture, in the order they are added.
inline constexpr FixtureRecord kFixtureRecords[] = {
    {"eor/portal", 0x0E000002, "chargen-stub"},
    {"eor/portal", 0x01000827, "model-a-bytes-XXXXXX"},
    {"eor/portal", 0x01000828, "model-a-bytes-XXXXXX"},
    {"eor/cell", 0xA9B4FFFF, "cell-a9b4-terrain"},
    {"eor/cell", 0xA9B4FFFE, "cell-a9b4-info"},
    {"eor/cell", 0xA8B3FFFF, "cell-a8b3-terrain"},
    {"eor/cell", 0x0000FFFF, "cell-far"},
};

// Writes the fixture archive; the first failing step's error, if any.
inline DatResult<void> build_fixture(const std::filesystem::path& path) {
  auto writer = QraStreamWriter::create(path);
  if (!writer) return std::unexpected(writer.error());
  for (const auto& r : kFixtureRecords) {
    if (auto added = writer->add(r.ns, r.file_id, 0, bytes_of(r.body)); !added) return added;
  }
  return std::move(*writer).finish();
}

inline void put_u32_at(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}
inline void put_u64_at(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
  for (size_t i = 0; i < 8; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}
inline uint32_t u32_at(const std::vector<uint8_t>& bytes, size_t offset) {
  return common::load_u32_le(bytes.data() + offset);
}
inline uint64_t u64_at(const std::vector<uint8_t>& bytes, size_t offset) {
  return common::load_u64_le(bytes.data() + offset);
}

// The header, span table and index of an archive file, decoded directly from
// its bytes with the record codec (independently of QraReader).
struct RawArchive {
  QraHeader header;
  std::vector<QraNamespaceIndexEntry> spans;
  std::vector<QraEntry> index;
};

inline RawArchive decode_raw(const std::vector<uint8_t>& bytes) {
  RawArchive out;
  common::ByteCursor cursor(bytes);
  auto header = QraHeader::read(cursor);
  if (!header) {
    ADD_FAILURE() << "header: " << header.error().to_string();
    return out;
  }
  out.header = *header;
  cursor.seek(header->index_offset - header->metadata_size);
  const uint32_t count = cursor.read_u32().value_or(0);
  for (uint32_t i = 0; i < count; ++i) {
    auto span = QraNamespaceIndexEntry::read(cursor);
    if (!span) {
      ADD_FAILURE() << "span " << i << ": " << span.error().to_string();
      return out;
    }
    out.spans.push_back(*span);
  }
  EXPECT_EQ(cursor.position(), header->index_offset) << "metadata must end at index_offset";
  for (uint32_t i = 0; i < header->entry_count; ++i) {
    auto entry = QraEntry::read(cursor);
    if (!entry) {
      ADD_FAILURE() << "entry " << i << ": " << entry.error().to_string();
      return out;
    }
    out.index.push_back(*entry);
  }
  EXPECT_EQ(cursor.position(), bytes.size()) << "the file must end with the index";
  return out;
}

inline std::vector<uint8_t> body_of(const std::vector<uint8_t>& file, const QraEntry& entry) {
  return {file.begin() + static_cast<std::ptrdiff_t>(entry.offset),
          file.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.comp_size)};
}

}  // namespace dat::test

// Asserts that a DatResult holds a value, printing the error's debug form otherwise.
#define ASSERT_OK(expr)                                                        \
  do {                                                                         \
    auto&& ok_result_ = (expr);                                                \
    ASSERT_TRUE(ok_result_.has_value()) << ok_result_.error().debug_string(); \
  } while (0)
