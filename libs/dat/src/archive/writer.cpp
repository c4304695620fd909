// QraStreamWriter: streams record bodies to the file as they are added and
// writes the namespace spans, the sorted index and the final header in
// finish(). The file layout is described in archive_format.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <zstd.h>

#include "archive/archive_format.h"
#include "common/try.h"
#include "dat/archive.h"

namespace dat {

namespace {

using common::IoError;

constexpr const char* kLoggerName = "corvanth_dat::archive";

static_assert(qra::kSpanCountSize + static_cast<uint64_t>(qra::kMaxEntries) * qra::kSpanSize <= UINT32_MAX,
              "metadata_size of an archive with the most records must fit in 32 bits");

// The archive module's logger, created on first use (or the one a host
// registered under the same name beforehand).
std::shared_ptr<spdlog::logger> archive_logger() {
  if (auto logger = spdlog::get(kLoggerName)) return logger;
  try {
    return spdlog::stderr_color_mt(kLoggerName);
  } catch (const spdlog::spdlog_ex&) {
    // Another thread registered it between the lookup and the creation.
    return spdlog::get(kLoggerName);
  }
}

void warn(const std::string& message) {
  try {
    if (auto logger = archive_logger()) logger->warn(message);
  } catch (...) {
    // Logging never turns into a failure of the write.
  }
}

std::expected<void, IoError> write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    // A regular file accepts at least one byte or reports why not; treat a
    // zero-byte write as an I/O error rather than spin.
    if (n == 0) return std::unexpected(IoError::from_errno(EIO));
    done += static_cast<size_t>(n);
  }
  return {};
}

std::expected<uint64_t, IoError> current_position(int fd) {
  const off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(pos);
}

// Buffers record writes in front of the file. A flush that a record write
// triggers is part of that record's write; flush() is the explicit one.
class BufferedFile {
 public:
  explicit BufferedFile(int fd) : fd_(fd) { buffer_.reserve(qra::kWriteBufferSize); }

  std::expected<void, IoError> write(std::span<const uint8_t> bytes) {
    if (buffer_.size() + bytes.size() > qra::kWriteBufferSize) TRY_VOID(flush());
    if (bytes.size() >= qra::kWriteBufferSize) return write_all(fd_, bytes);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return {};
  }

  std::expected<void, IoError> flush() {
    TRY_VOID(write_all(fd_, buffer_));
    buffer_.clear();
    return {};
  }

 private:
  int fd_;
  std::vector<uint8_t> buffer_;
};

// Encodes one record and writes it; a failure is the codec's error carrying
// the I/O failure.
template <typename Record>
DatResult<void> write_record(BufferedFile& out, const Record& record) {
  std::vector<uint8_t> bytes;
  bytes.reserve(Record::kSize);
  common::ByteWriter writer(bytes);
  record.write(writer);
  if (auto r = out.write(bytes); !r) return std::unexpected(DatError(common::ReadError::io(r.error())));
  return {};
}

DatResult<void> write_header(int fd, const QraHeader& header) {
  std::vector<uint8_t> bytes;
  common::ByteWriter writer(bytes);
  header.write(writer);
  if (auto r = write_all(fd, bytes); !r) return std::unexpected(DatError(common::ReadError::io(r.error())));
  return {};
}

QraHeader make_header(uint32_t entry_count, uint64_t index_offset, uint32_t metadata_size) {
  QraHeader h;
  h.magic = qra::kMagic;
  h.version = qra::kVersion;
  h.entry_count = entry_count;
  h.index_offset = index_offset;
  h.metadata_size = metadata_size;
  return h;
}

// Compresses `data` as one zstd frame. Returns the frame only when it is
// strictly shorter than `data`; the output buffer is capped below the record
// length, so a frame that would not be shorter is abandoned as soon as it
// fills it. On a compressor failure returns nothing and sets `error`.
std::optional<std::vector<uint8_t>> compress_if_smaller(ZSTD_CCtx* cctx, std::span<const uint8_t> data,
                                                        std::string& error) {
  if (cctx == nullptr) {
    error = "could not allocate a compression context";
    return std::nullopt;
  }
  if (data.empty()) return std::nullopt;  // no frame is shorter than nothing
  size_t rc = ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only);
  if (ZSTD_isError(rc)) {
    error = ZSTD_getErrorName(rc);
    return std::nullopt;
  }
  std::vector<uint8_t> out(data.size() - 1);
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  ZSTD_outBuffer dst{out.data(), out.size(), 0};
  for (;;) {
    rc = ZSTD_compressStream2(cctx, &dst, &in, ZSTD_e_end);
    if (ZSTD_isError(rc)) {
      error = ZSTD_getErrorName(rc);
      return std::nullopt;
    }
    if (rc == 0) break;
    if (dst.pos == dst.size) return std::nullopt;  // not shorter than the record
  }
  out.resize(dst.pos);
  return out;
}

}  // namespace

size_t QraStreamWriter::KeyHash::operator()(const std::pair<ResourceNamespace::Bytes, uint32_t>& key) const noexcept {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the 32 namespace bytes and the id
  for (uint8_t b : key.first) h = (h ^ b) * 1099511628211ull;
  for (int i = 0; i < 4; ++i) h = (h ^ ((key.second >> (8 * i)) & 0xFF)) * 1099511628211ull;
  return static_cast<size_t>(h);
}

QraStreamWriter::QraStreamWriter(int fd) : fd_(fd) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx != nullptr &&
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, qra::kCompressionLevel))) {
    ZSTD_freeCCtx(cctx);
    cctx = nullptr;
  }
  cctx_ = cctx;
}

QraStreamWriter::QraStreamWriter(QraStreamWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      entries_(std::move(other.entries_)),
      seen_keys_(std::move(other.seen_keys_)),
      compress_(other.compress_),
      cctx_(std::exchange(other.cctx_, nullptr)) {}

QraStreamWriter& QraStreamWriter::operator=(QraStreamWriter&& other) noexcept {
  if (this != &other) {
    close_file();
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_));
    fd_ = std::exchange(other.fd_, -1);
    entries_ = std::move(other.entries_);
    seen_keys_ = std::move(other.seen_keys_);
    compress_ = other.compress_;
    cctx_ = std::exchange(other.cctx_, nullptr);
  }
  return *this;
}

QraStreamWriter::~QraStreamWriter() {
  close_file();
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_));
}

void QraStreamWriter::close_file() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

DatResult<QraStreamWriter> QraStreamWriter::create(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(DatError(IoError::from_errno(errno)));
  return adopt(fd);
}

DatResult<QraStreamWriter> QraStreamWriter::adopt(int fd) {
  if (fd < 0) return std::unexpected(DatError(IoError::from_errno(EBADF)));
  QraStreamWriter writer(fd);  // owns fd from here on, closes it on failure
  TRY_VOID(write_header(writer.fd_, make_header(0, 0, 0)));
  return writer;
}

DatResult<void> QraStreamWriter::add(std::string_view ns, uint32_t file_id, uint32_t type_id,
                                     std::vector<uint8_t> data) {
  return write_entry(ns, file_id, type_id, std::span<const uint8_t>(data), false);
}

DatResult<void> QraStreamWriter::add(std::string_view ns, uint32_t file_id, uint32_t type_id,
                                     std::span<const uint8_t> data) {
  return write_entry(ns, file_id, type_id, data, false);
}

DatResult<void> QraStreamWriter::write_entry(std::string_view ns, uint32_t file_id, uint32_t type_id,
                                             std::span<const uint8_t> data, bool marker) {
  const ResourceNamespace ns_id = TRY(ResourceNamespace::create(ns));
  if (fd_ < 0) return std::unexpected(DatError::other("QRA writer has no open file (moved from)"));
  // Refused before the key is taken: the writer is left exactly as it was.
  if (data.size() > qra::kMaxRecordSize) {
    return std::unexpected(DatError::other(
        fmt::format("record {}:0x{:08X} is {} bytes; a QRA record must be smaller than 4 GiB", ns, file_id,
                    data.size())));
  }
  if (entries_.size() >= qra::kMaxEntries) {
    return std::unexpected(DatError::other(fmt::format(
        "record {}:0x{:08X} refused: a QRA archive holds at most {} records", ns, file_id, qra::kMaxEntries)));
  }
  if (!seen_keys_.emplace(ns_id.bytes(), file_id).second) {
    return std::unexpected(DatError::duplicate_namespaced_id(std::string(ns), file_id));
  }

  QraEntry entry;
  entry.ns = ns_id.bytes();
  entry.file_id = file_id;
  entry.type_id = type_id;
  entry.size = static_cast<uint32_t>(data.size());
  entry.flags = marker ? qra::kFlagMarker : 0;

  std::optional<std::vector<uint8_t>> compressed;
  if (compress_) {
    std::string error;
    compressed = compress_if_smaller(static_cast<ZSTD_CCtx*>(cctx_), data, error);
    if (!error.empty()) warn(fmt::format("Compression failed for {}:0x{:08X}: {}", ns, file_id, error));
  }
  std::span<const uint8_t> stored = data;
  if (compressed) {
    stored = *compressed;
    entry.flags = static_cast<uint8_t>(entry.flags | qra::kFlagCompressed);
  }
  entry.comp_size = static_cast<uint32_t>(stored.size());

  entry.offset = TRY(current_position(fd_));
  TRY_VOID(write_all(fd_, stored));
  entries_.push_back(entry);
  return {};
}

DatResult<void> QraStreamWriter::finish() && {
  if (fd_ < 0) return std::unexpected(DatError::other("QRA writer has no open file (moved from)"));
  // The file is closed on every path out of here; only a successful run
  // reports a failing close.
  struct CloseOnExit {
    QraStreamWriter& writer;
    ~CloseOnExit() { writer.close_file(); }
  } close_on_exit{*this};

  std::stable_sort(entries_.begin(), entries_.end(), [](const QraEntry& a, const QraEntry& b) {
    if (a.ns != b.ns) return a.ns < b.ns;
    return a.file_id < b.file_id;
  });

  std::vector<QraNamespaceIndexEntry> spans;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i == 0 || entries_[i].ns != entries_[i - 1].ns) {
      QraNamespaceIndexEntry span;
      span.ns = entries_[i].ns;
      span.start_index = static_cast<uint32_t>(i);
      spans.push_back(span);
    }
    ++spans.back().entry_count;
  }

  const uint64_t metadata_start = TRY(current_position(fd_));
  BufferedFile out(fd_);
  {
    std::vector<uint8_t> count;
    common::ByteWriter writer(count);
    writer.put_u32(static_cast<uint32_t>(spans.size()));
    if (auto r = out.write(count); !r) return std::unexpected(DatError(common::ReadError::io(r.error())));
  }
  for (const auto& span : spans) TRY_VOID(write_record(out, span));
  TRY_VOID(out.flush());

  const uint64_t index_offset = TRY(current_position(fd_));
  for (const auto& entry : entries_) TRY_VOID(write_record(out, entry));
  TRY_VOID(out.flush());

  if (::lseek(fd_, 0, SEEK_SET) < 0) return std::unexpected(DatError(IoError::from_errno(errno)));
  TRY_VOID(write_header(fd_, make_header(static_cast<uint32_t>(entries_.size()), index_offset,
                                         static_cast<uint32_t>(index_offset - metadata_start))));

  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(DatError(IoError::from_errno(errno)));
  return {};
}

}  // namespace dat
