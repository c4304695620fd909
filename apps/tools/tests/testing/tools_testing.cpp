#include "tools_testing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <gtest/gtest.h>

#include "dat/archive.h"
#include "manifest/manifest.h"

namespace tools_testing {

namespace fs = std::filesystem;

std::expected<TempDir, common::IoError> TempDir::create() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) return std::unexpected(common::IoError::from_errno(ec.value()));
  std::string pattern = (base / "sharding-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected(common::IoError::from_errno(errno));
  return TempDir(fs::path(pattern));
}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) {
      std::error_code ec;
      fs::remove_all(path_, ec);
    }
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Directories made read-only by a test would block the removal.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> bytes_of(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<Record> fixture_records() {
  const std::vector<uint8_t> model_a = bytes_of("model-a-bytes-XXXXXX");
  return {
      {"eor/portal", 0x0E000002, bytes_of("chargen-stub")},
      {"eor/portal", 0x01000827, model_a},
      {"eor/portal", 0x01000828, model_a},  // a separate copy of the same bytes
      {"eor/cell", 0xA9B4FFFF, bytes_of("cell-a9b4-terrain")},
      {"eor/cell", 0xA9B4FFFE, bytes_of("cell-a9b4-info")},
      {"eor/cell", 0xA8B3FFFF, bytes_of("cell-a8b3-terrain")},
      {"eor/cell", 0x0000FFFF, bytes_of("cell-far")},
  };
}

void build_fixture_qra(const fs::path& path) {
  auto writer = dat::QraStreamWriter::create(path);
  ASSERT_TRUE(writer.has_value()) << "create fixture QRA: " << writer.error().debug_string();
  for (Record& record : fixture_records()) {
    auto added = writer->add(record.ns, record.file_id, 0, std::move(record.body));
    ASSERT_TRUE(added.has_value()) << added.error().debug_string();
  }
  auto finished = std::move(*writer).finish();
  ASSERT_TRUE(finished.has_value()) << "finalize fixture QRA: " << finished.error().debug_string();
}

void write_archive(const fs::path& path, const std::vector<Record>& records) {
  auto writer = dat::QraStreamWriter::create(path);
  ASSERT_TRUE(writer.has_value()) << "create archive: " << writer.error().debug_string();
  for (const Record& record : records) {
    auto added = writer->add(record.ns, record.file_id, 0, std::span<const uint8_t>(record.body));
    ASSERT_TRUE(added.has_value()) << added.error().debug_string();
  }
  auto finished = std::move(*writer).finish();
  ASSERT_TRUE(finished.has_value()) << "finish archive: " << finished.error().debug_string();
}

std::expected<std::vector<uint8_t>, int> read_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  std::vector<uint8_t> out;
  uint8_t buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return std::unexpected(err);
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

std::string read_text(const fs::path& path) {
  auto bytes = read_file(path);
  if (!bytes) return "<unreadable: " + common::os_error_text(bytes.error()) + ">";
  return std::string(bytes->begin(), bytes->end());
}

std::vector<std::string> tree_snapshot(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path rel = fs::relative(it->path(), root);
    if (it->is_symlink()) {
      out.push_back(rel.string() + " L " + fs::read_symlink(it->path()).string());
    } else if (it->is_directory()) {
      out.push_back(rel.string() + " D");
    } else {
      auto bytes = read_file(it->path());
      out.push_back(rel.string() + " F " +
                    (bytes ? std::to_string(bytes->size()) + ":" + manifest::sha256_hex(*bytes) : "?"));
    }
  }
  if (ec) out.push_back("<walk error " + ec.message() + ">");
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace tools_testing
