// QraReader: validates the header and namespace spans once, then serves
// lookups by positional reads. The file layout is described in
// archive_format.h; the checks below run in a fixed order and their messages
// are part of the reader's contract.
#include <zstd.h>

#include <fmt/format.h>

#include "archive/archive_format.h"
#include "common/try.h"
#include "dat/archive.h"

namespace dat {

namespace {

DatError corruption(std::string message) { return DatError::corruption(std::move(message)); }

// Output granted up front when the frame does not state its content size.
constexpr size_t kInitialOutput = 128 * 1024;

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
};

}  // namespace

std::optional<std::vector<uint8_t>> decompress_zstd(std::span<const uint8_t> bytes, size_t expected) {
  // Streaming decompression bounded by `expected`: equivalent to one call into
  // a buffer of `expected` bytes, but the buffer only grows with the output
  // actually produced, so a hostile `size` field cannot force a huge
  // allocation.
  // No input holds no frame, and decompressing it in one call succeeds with
  // no output (the caller then compares that length with `size`).
  if (bytes.empty()) return std::vector<uint8_t>{};
  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
  if (!dctx) return std::nullopt;

  size_t capacity = std::min(expected, kInitialOutput);
  const unsigned long long stated = ZSTD_getFrameContentSize(bytes.data(), bytes.size());
  if (stated != ZSTD_CONTENTSIZE_ERROR && stated != ZSTD_CONTENTSIZE_UNKNOWN) {
    if (stated > expected) return std::nullopt;  // would overflow the buffer
    capacity = static_cast<size_t>(stated);
  }

  std::vector<uint8_t> out(capacity);
  size_t produced = 0;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    if (produced == out.size() && out.size() < expected) {
      const size_t grown = out.size() > expected / 2 ? expected : std::max(out.size() * 2, kInitialOutput);
      out.resize(std::min(grown, expected));
    }
    // Once `expected` bytes are out, a one-byte probe tells whether the data
    // holds more than the buffer could take.
    uint8_t probe = 0;
    const bool probing = produced == out.size();
    ZSTD_outBuffer dst = probing ? ZSTD_outBuffer{&probe, 1, 0} : ZSTD_outBuffer{out.data(), out.size(), produced};
    const size_t rc = ZSTD_decompressStream(dctx.get(), &dst, &in);
    if (ZSTD_isError(rc)) return std::nullopt;
    if (probing) {
      if (dst.pos != 0) return std::nullopt;
    } else {
      produced = dst.pos;
    }
    if (in.pos == in.size) {
      if (rc == 0) break;                             // every frame complete
      if (dst.pos < dst.size) return std::nullopt;    // truncated frame
    }
  }
  out.resize(produced);
  return out;
}

DatResult<QraReader> QraReader::open(const std::filesystem::path& path) {
  auto file = PositionalFile::open(path.string());
  if (!file) return std::unexpected(DatError::path_error(path.string(), file.error()));
  return from_source(std::move(*file));
}

DatResult<QraReader> QraReader::from_source(std::unique_ptr<FileExtPolyfill> source) {
  if (!source) return std::unexpected(DatError::other("QRA reader needs a source"));

  std::array<uint8_t, qra::kHeaderSize> raw{};
  TRY_VOID(source->read_exact_at_compat(raw, 0));
  common::ByteCursor cursor(raw);
  const QraHeader header = TRY(QraHeader::read(cursor));

  if (header.magic != qra::kMagic) return std::unexpected(DatError::invalid_magic("QRA"));
  if (header.version != qra::kVersion) return std::unexpected(DatError::unsupported_version(header.version));

  const uint64_t file_len = TRY(source->len_compat());

  const uint64_t index_size = static_cast<uint64_t>(header.entry_count) * qra::kEntrySize;
  if (index_size > UINT32_MAX) return std::unexpected(corruption("QRA index size overflow"));
  if (header.index_offset > UINT64_MAX - index_size) return std::unexpected(corruption("QRA index range overflow"));
  const uint64_t index_end = header.index_offset + index_size;
  if (index_end > file_len) {
    return std::unexpected(
        corruption(fmt::format("QRA index extends beyond file size ({} > {})", index_end, file_len)));
  }
  if (header.index_offset < header.metadata_size) return std::unexpected(corruption("QRA metadata offset underflow"));
  const uint64_t metadata_offset = header.index_offset - header.metadata_size;
  if (metadata_offset < qra::kHeaderSize) {
    return std::unexpected(
        corruption(fmt::format("QRA metadata offset {} is within header area", metadata_offset)));
  }
  if (header.entry_count != 0 && header.metadata_size == 0) {
    return std::unexpected(corruption("QRA v2 archives with entries must include namespace metadata"));
  }

  std::vector<QraNamespaceIndexEntry> spans;
  if (header.metadata_size != 0) {
    std::vector<uint8_t> metadata(header.metadata_size);
    TRY_VOID(source->read_exact_at_compat(metadata, metadata_offset));
    common::ByteCursor meta(metadata);
    const uint32_t count = TRY(meta.read_u32());  // a table shorter than 4 bytes fails here
    const uint64_t required = qra::kSpanCountSize + static_cast<uint64_t>(count) * qra::kSpanSize;
    if (header.metadata_size != required) {
      return std::unexpected(corruption(fmt::format(
          "QRA metadata size mismatch: header says {}, metadata contents require {}", header.metadata_size,
          required)));
    }
    spans.reserve(count);
    uint32_t expected_start = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const QraNamespaceIndexEntry span = TRY(QraNamespaceIndexEntry::read(meta));
      TRY(ResourceNamespace::from_bytes(span.ns));
      if (!spans.empty() && !(spans.back().ns < span.ns)) {
        return std::unexpected(corruption("QRA namespace metadata is not strictly sorted"));
      }
      if (span.start_index != expected_start) {
        return std::unexpected(corruption(fmt::format(
            "QRA namespace metadata is not contiguous: expected start {}, found {}", expected_start,
            span.start_index)));
      }
      if (span.entry_count > UINT32_MAX - span.start_index) {
        return std::unexpected(corruption("QRA namespace span overflow"));
      }
      const uint32_t end = span.start_index + span.entry_count;
      if (end > header.entry_count) {
        return std::unexpected(corruption(
            fmt::format("QRA namespace span exceeds total entry count ({} > {})", end, header.entry_count)));
      }
      spans.push_back(span);
      expected_start = end;
    }
    if (expected_start != header.entry_count) {
      return std::unexpected(corruption(fmt::format(
          "QRA namespace metadata covered {} entries but header declares {}", expected_start, header.entry_count)));
    }
  }

  return QraReader(std::move(source), header, std::move(spans), file_len);
}

DatResult<QraEntry> QraReader::read_entry_at(uint32_t index) const {
  std::array<uint8_t, qra::kEntrySize> raw{};
  const uint64_t offset = header_.index_offset + static_cast<uint64_t>(index) * qra::kEntrySize;
  if (offset < header_.index_offset) return std::unexpected(DatError(common::IoError::unexpected_eof()));
  TRY_VOID(source_->read_exact_at_compat(raw, offset));
  common::ByteCursor cursor(raw);
  return TRY(QraEntry::read(cursor));
}

DatResult<std::vector<QraEntry>> QraReader::read_index() const {
  // entry_count * 60 was checked to fit in 32 bits when the reader was built.
  std::vector<uint8_t> raw(static_cast<size_t>(header_.entry_count) * qra::kEntrySize);
  TRY_VOID(source_->read_exact_at_compat(raw, header_.index_offset));
  std::vector<QraEntry> entries;
  entries.reserve(header_.entry_count);
  common::ByteCursor cursor(raw);
  for (uint32_t i = 0; i < header_.entry_count; ++i) entries.push_back(TRY(QraEntry::read(cursor)));
  return entries;
}

DatResult<std::vector<uint8_t>> QraReader::read_entry_data(const QraEntry& entry) const {
  if (entry.offset > UINT64_MAX - entry.comp_size) {
    return std::unexpected(corruption(fmt::format("Entry offset overflow for 0x{:08X}: offset {} + comp_size {}",
                                                  entry.file_id, entry.offset, entry.comp_size)));
  }
  if (entry.offset + entry.comp_size > file_len_) {
    return std::unexpected(corruption(
        fmt::format("Entry range out of bounds for 0x{:08X}: offset {} + comp_size {} > file_len {}", entry.file_id,
                    entry.offset, entry.comp_size, file_len_)));
  }
  std::vector<uint8_t> stored(entry.comp_size);
  TRY_VOID(source_->read_exact_at_compat(stored, entry.offset));
  if ((entry.flags & QraEntry::kFlagCompressed) == 0) return stored;

  auto data = decompress_zstd(stored, entry.size);
  if (!data) return std::unexpected(DatError::decompression_failed(entry.file_id));
  if (data->size() != entry.size) {
    return std::unexpected(corruption(fmt::format("Decompressed size mismatch for 0x{:08X}: expected {}, got {}",
                                                  entry.file_id, entry.size, data->size())));
  }
  return std::move(*data);
}

template <typename EntryAt>
DatResult<std::vector<uint8_t>> QraReader::lookup(std::string_view ns, uint32_t file_id, EntryAt&& entry_at) const {
  const ResourceNamespace wanted = TRY(ResourceNamespace::create(ns));
  if (spans_.empty()) return std::unexpected(DatError::not_found(file_id));

  size_t base = 0;
  size_t size = spans_.size();
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (!(spans_[mid].ns > wanted.bytes())) base = mid;
    size -= half;
  }
  const QraNamespaceIndexEntry& span = spans_[base];
  if (span.ns != wanted.bytes()) return std::unexpected(DatError::not_found(file_id));

  if (span.entry_count == 0) return std::unexpected(DatError::not_found(file_id));
  uint32_t lo = span.start_index;
  if (span.entry_count - 1 > UINT32_MAX - span.start_index) return std::unexpected(DatError::not_found(file_id));
  uint32_t hi = span.start_index + (span.entry_count - 1);

  // The span decides the namespace; the entries' own namespace bytes are not compared.
  while (lo <= hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const QraEntry entry = TRY(entry_at(mid));
    if (entry.file_id == file_id) return read_entry_data(entry);
    if (entry.file_id > file_id) {
      if (mid == span.start_index) break;
      hi = mid - 1;
    } else {
      if (mid == UINT32_MAX) break;
      lo = mid + 1;
    }
  }
  return std::unexpected(DatError::not_found(file_id));
}

DatResult<std::vector<uint8_t>> QraReader::get_file_in_namespace(std::string_view ns, uint32_t file_id) const {
  return lookup(ns, file_id, [this](uint32_t i) { return read_entry_at(i); });
}

DatResult<std::vector<uint8_t>> QraReader::get_file_in_namespace_indexed(std::span<const QraEntry> index,
                                                                         std::string_view ns,
                                                                         uint32_t file_id) const {
  return lookup(ns, file_id, [index](uint32_t i) -> DatResult<QraEntry> {
    // A position the loaded index does not hold is where reading the file
    // would have run out of bytes.
    if (i >= index.size()) return std::unexpected(DatError(common::IoError::unexpected_eof()));
    return index[i];
  });
}

}  // namespace dat
