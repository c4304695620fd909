#pragma once
// The packed archive (".qra"): its fixed-layout records, the stream writer and
// the reader.
//
// File layout, little-endian, no padding:
//   [QraHeader 24][record bodies ...][u32 N][N x QraNamespaceIndexEntry 40][entry_count x QraEntry 60]
// The index is sorted by (namespace bytes, file_id); the spans name, per
// namespace in ascending byte order, the contiguous run of index positions
// holding its records.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/cursor.h"
#include "dat/error.h"
#include "dat/resource.h"
#include "dat/utils.h"

namespace dat {

// 24 bytes at offset 0: magic "QRA\0", version, entry_count, index_offset,
// metadata_size (the namespace metadata ends exactly at index_offset).
struct QraHeader {
  std::array<uint8_t, 4> magic{};
  uint32_t version = 0;
  uint32_t entry_count = 0;
  uint64_t index_offset = 0;
  uint32_t metadata_size = 0;

  static constexpr size_t kSize = 24;

  // Decodes field by field; a short buffer fails with the field's context
  // ("While parsing field 'magic' in QraHeader") and the cursor unmoved.
  static common::ReadResult<QraHeader> read(common::ByteCursor& cursor);
  // Appends exactly kSize bytes.
  void write(common::ByteWriter& out) const;

  friend bool operator==(const QraHeader&, const QraHeader&) = default;
};

// 40 bytes: one namespace's run of index positions.
struct QraNamespaceIndexEntry {
  ResourceNamespace::Bytes ns{};
  uint32_t start_index = 0;
  uint32_t entry_count = 0;

  static constexpr size_t kSize = 40;

  static common::ReadResult<QraNamespaceIndexEntry> read(common::ByteCursor& cursor);
  void write(common::ByteWriter& out) const;

  friend bool operator==(const QraNamespaceIndexEntry&, const QraNamespaceIndexEntry&) = default;
};

// 60 bytes: one index record. `ns` holds the 32 stored bytes as read,
// unvalidated; namespace_id() validates them.
struct QraEntry {
  ResourceNamespace::Bytes ns{};
  uint32_t file_id = 0;
  uint32_t type_id = 0;
  uint64_t offset = 0;     // absolute offset of the stored body
  uint32_t size = 0;       // length before compression
  uint32_t comp_size = 0;  // length of the stored body
  uint8_t flags = 0;
  uint8_t storage_id = 0;
  uint16_t reserved = 0;

  static constexpr size_t kSize = 60;
  // The body is one zstd frame that decompresses to `size` bytes.
  static constexpr uint8_t kFlagCompressed = 1;
  // A marker copied from the writer's caller; readers ignore it.
  static constexpr uint8_t kFlagMarker = 4;

  static common::ReadResult<QraEntry> read(common::ByteCursor& cursor);
  void write(common::ByteWriter& out) const;

  // The stored namespace through ResourceNamespace::from_bytes, or InvalidNamespace.
  DatResult<ResourceNamespace> namespace_id() const;

  friend bool operator==(const QraEntry&, const QraEntry&) = default;
};

// Writes an archive: bodies are streamed to the file as they are added (each
// compressed with zstd level 3 when that makes it strictly shorter); the
// index records and the set of keys seen stay in memory; finish() sorts the
// index and writes the namespace spans, the index and the final header.
//
// A writer destroyed without finish() closes its file, leaving the
// placeholder header (which readers reject). Not thread-safe: one owner
// calls add and finish. Move-only.
class QraStreamWriter {
 public:
  // Creates or truncates `path` (mode 0666 less the umask) and writes the
  // placeholder header. Io if the file cannot be opened, BinRead carrying the
  // I/O failure if the header cannot be written.
  static DatResult<QraStreamWriter> create(const std::filesystem::path& path);
  // Takes ownership of `fd`, open for writing on an empty file at offset 0,
  // and writes the placeholder header; the file is then written exactly as
  // by create(). For callers that open the file themselves (for example
  // exclusively, under a temporary name they rename once finished). The
  // descriptor is closed on failure and by finish().
  static DatResult<QraStreamWriter> adopt(int fd);

  QraStreamWriter(QraStreamWriter&& other) noexcept;
  QraStreamWriter& operator=(QraStreamWriter&& other) noexcept;
  QraStreamWriter(const QraStreamWriter&) = delete;
  QraStreamWriter& operator=(const QraStreamWriter&) = delete;
  ~QraStreamWriter();

  // Adds one record. Fails, writing nothing, with InvalidNamespace for a bad
  // label, DuplicateNamespacedId (label as passed) for a key added before,
  // and Other for a body of 4 GiB or more or a record beyond the most an
  // archive can index (71,582,788). A failing position query or body write
  // is Io; that key then stays taken and the record is not indexed.
  DatResult<void> add(std::string_view ns, uint32_t file_id, uint32_t type_id, std::vector<uint8_t> data);
  // The same, borrowing the body for the duration of the call.
  DatResult<void> add(std::string_view ns, uint32_t file_id, uint32_t type_id, std::span<const uint8_t> data);

  // Writes spans, index and final header and closes the file. Io for a
  // failing position query, flush, seek or close; BinRead carrying the I/O
  // failure for a failing record write. A failure leaves a partial file.
  DatResult<void> finish() &&;

  // Number of records indexed so far.
  size_t entry_count() const { return entries_.size(); }

 private:
  struct KeyHash {
    size_t operator()(const std::pair<ResourceNamespace::Bytes, uint32_t>& key) const noexcept;
  };

  explicit QraStreamWriter(int fd);
  DatResult<void> write_entry(std::string_view ns, uint32_t file_id, uint32_t type_id,
                              std::span<const uint8_t> data, bool marker);
  void close_file() noexcept;

  int fd_ = -1;
  std::vector<QraEntry> entries_;
  std::unordered_set<std::pair<ResourceNamespace::Bytes, uint32_t>, KeyHash> seen_keys_;
  bool compress_ = true;
  // Compression context reused across records (owned; freed with the writer).
  void* cctx_ = nullptr;
};

// Decompresses zstd data into at most `expected` bytes. Nothing when the
// data is not valid zstd or would decompress to more than `expected` bytes; a
// shorter result is returned as is (an empty input gives an empty result, as
// a one-call decompression of nothing does). Memory grows with the output
// actually produced, not with `expected`.
std::optional<std::vector<uint8_t>> decompress_zstd(std::span<const uint8_t> bytes, size_t expected);

// Reads an archive by absolute offsets. The header and the namespace spans
// are validated once when the reader is built; each lookup then reads only
// the index records and body it needs. All members are const and hold no
// cursor, so concurrent calls are safe when the source's positional read is
// (files are). Move-only.
class QraReader {
 public:
  // Opens `path` read-only; PathError if it cannot be opened, otherwise as
  // from_source (the file is closed again on failure).
  static DatResult<QraReader> open(const std::filesystem::path& path);
  // Takes ownership of `source` and validates header and spans: Io for a
  // short source or failing length, InvalidMagic("QRA"), UnsupportedVersion,
  // Corruption for size/offset/span faults, InvalidNamespace for a bad span
  // namespace, BinRead for a span table shorter than 4 bytes.
  static DatResult<QraReader> from_source(std::unique_ptr<FileExtPolyfill> source);

  const QraHeader& header() const { return header_; }
  // Validated spans in file order (strictly ascending namespaces).
  const std::vector<QraNamespaceIndexEntry>& namespace_spans() const { return spans_; }
  // Length of the source, taken once when the reader was built.
  uint64_t file_len() const { return file_len_; }

  // The index record at `index`. The bound is not checked against
  // entry_count: a position beyond it reads whatever lies there or fails with
  // the unexpected-end Io error.
  DatResult<QraEntry> read_entry_at(uint32_t index) const;
  // The record's bytes, decompressed when stored compressed. Corruption for a
  // body range outside the file or a decompressed length other than `size`,
  // DecompressionFailed for invalid zstd data, Io for a read failure.
  DatResult<std::vector<uint8_t>> read_entry_data(const QraEntry& entry) const;
  // Finds (label, file_id) by binary search over the spans and then over the
  // span's index records. InvalidNamespace for a bad label, NotFound when
  // absent.
  DatResult<std::vector<uint8_t>> get_file_in_namespace(std::string_view ns, uint32_t file_id) const;

  // Reads the whole index in one positional read (entry_count * 60 bytes)
  // and decodes it: for bulk ingestion without one read per entry. Same
  // results as read_entry_at over 0..entry_count-1.
  DatResult<std::vector<QraEntry>> read_index() const;
  // The same lookup as get_file_in_namespace (same binary search, same
  // errors, same results) but searching an index already loaded with
  // read_index() instead of reading entries from the file.
  DatResult<std::vector<uint8_t>> get_file_in_namespace_indexed(std::span<const QraEntry> index,
                                                                std::string_view ns, uint32_t file_id) const;

 private:
  QraReader(std::unique_ptr<FileExtPolyfill> source, QraHeader header,
            std::vector<QraNamespaceIndexEntry> spans, uint64_t file_len)
      : source_(std::move(source)), header_(header), spans_(std::move(spans)), file_len_(file_len) {}

  template <typename EntryAt>
  DatResult<std::vector<uint8_t>> lookup(std::string_view ns, uint32_t file_id, EntryAt&& entry_at) const;

  std::unique_ptr<FileExtPolyfill> source_;
  QraHeader header_;
  std::vector<QraNamespaceIndexEntry> spans_;
  uint64_t file_len_ = 0;
};

}  // namespace dat
