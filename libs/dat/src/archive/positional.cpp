#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dat/utils.h"

namespace dat {

std::expected<std::unique_ptr<PositionalFile>, common::IoError> PositionalFile::open(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(common::IoError::from_errno(errno));
  // A directory opens read-only like a file; its first read then fails with
  // EISDIR, which the reader reports as the read failure it is.
  return std::unique_ptr<PositionalFile>(new PositionalFile(fd));
}

PositionalFile::~PositionalFile() { ::close(fd_); }

std::expected<uint64_t, common::IoError> PositionalFile::len_compat() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::unexpected(common::IoError::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

std::expected<void, common::IoError> PositionalFile::read_exact_at_compat(std::span<uint8_t> buffer,
                                                                          uint64_t offset) const {
  size_t done = 0;
  while (done < buffer.size()) {
    if (offset > static_cast<uint64_t>(INT64_MAX) - done) {
      return std::unexpected(common::IoError::unexpected_eof());
    }
    const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(common::IoError::from_errno(errno));
    }
    if (n == 0) return std::unexpected(common::IoError::unexpected_eof());
    done += static_cast<size_t>(n);
  }
  return {};
}

std::expected<void, common::IoError> MemorySource::read_exact_at_compat(std::span<uint8_t> buffer,
                                                                        uint64_t offset) const {
  if (buffer.empty()) return {};
  if (offset > bytes_.size() || bytes_.size() - offset < buffer.size()) {
    return std::unexpected(common::IoError::unexpected_eof());
  }
  std::memcpy(buffer.data(), bytes_.data() + offset, buffer.size());
  return {};
}

}  // namespace dat
