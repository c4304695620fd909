#pragma once
// Test support shared by the shard tool's test executables: a self-removing
// temporary directory, the seven-record fixture archive, and small archive
// and file helpers.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/io.h"

namespace tools_testing {

// A uniquely named directory under the system's temporary directory, removed
// with everything below it when the owner goes out of scope (also when the
// test fails). Move-only.
class TempDir {
 public:
  static std::expected<TempDir, common::IoError> create();

  TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }

 private:
  explicit TempDir(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

// One record of a test archive.
struct Record {
  std::string ns;
  uint32_t file_id = 0;
  std::vector<uint8_t> body;
};

std::vector<uint8_t> bytes_of(std::string_view text);

// The seven fixture records, in the order they are written to fixture.qra.
std::vector<Record> fixture_records();

// Writes the fixture archive to `path`. Fails the calling test (fatally) on
// any writer error; wrap calls in ASSERT_NO_FATAL_FAILURE.
void build_fixture_qra(const std::filesystem::path& path);

// Writes `records` in the given order to a new archive at `path`; fatal
// failure of the calling test on error.
void write_archive(const std::filesystem::path& path, const std::vector<Record>& records);

// Whole file contents, or the error number.
std::expected<std::vector<uint8_t>, int> read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);

// Every path below `root` (relative, sorted), with "L <target>" for links and
// "F <size>:<sha256>" for files, "D" for directories: a snapshot to compare
// two runs by.
std::vector<std::string> tree_snapshot(const std::filesystem::path& root);

}  // namespace tools_testing
