#pragma once
// Positional-read sources and the DAT record decompressor.
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/io.h"

namespace dat {

// A source of bytes read at absolute offsets. Implementations never move a
// shared cursor, so one source may serve concurrent reads when its positional
// read is safe (files are).
class FileExtPolyfill {
 public:
  virtual ~FileExtPolyfill() = default;

  // Length of the source in bytes.
  virtual std::expected<uint64_t, common::IoError> len_compat() const = 0;

  // Fills the whole buffer from `offset`. An interrupted read is retried; a
  // read that returns no bytes before the buffer is full fails with the
  // unexpected-end error ("failed to fill whole buffer"); a zero-length buffer
  // succeeds at once.
  virtual std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t> buffer,
                                                                    uint64_t offset) const = 0;
};

// A read-only file read with pread. Owns the descriptor; closes it on destruction.
class PositionalFile final : public FileExtPolyfill {
 public:
  static std::expected<std::unique_ptr<PositionalFile>, common::IoError> open(const std::string& path);
  ~PositionalFile() override;
  PositionalFile(const PositionalFile&) = delete;
  PositionalFile& operator=(const PositionalFile&) = delete;

  std::expected<uint64_t, common::IoError> len_compat() const override;
  std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t> buffer,
                                                            uint64_t offset) const override;

 private:
  explicit PositionalFile(int fd) : fd_(fd) {}
  int fd_;
};

// An in-memory source (tests and fuzzing); owns its bytes.
class MemorySource final : public FileExtPolyfill {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::expected<uint64_t, common::IoError> len_compat() const override { return bytes_.size(); }
  std::expected<void, common::IoError> read_exact_at_compat(std::span<uint8_t> buffer,
                                                            uint64_t offset) const override;

 private:
  std::vector<uint8_t> bytes_;
};

// Decodes a compressed DAT record: a u32 decompressed length U, then a token
// stream of flag bytes (consumed from the most significant bit), literals and
// two-byte back-references (12-bit distance, length 2..17). Never fails: a
// malformed stream yields what was decoded up to the fault. The output holds
// at most U bytes and is allocated once.
std::vector<uint8_t> decompress_lrs(std::span<const uint8_t> input);

}  // namespace dat
